#pragma once
// The small expression language of call arguments and list templates:
// numbers in JSON form, double-quoted strings with JSON escapes, lists in
// [], the words true, false and null, and identifiers (letters, digits,
// '_' and '.') that a resolver turns into values.
// Not thread-safe; a parser is made for one text and used once.
#include <cstddef>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace vaxosim
{
  /// The JSON type of every value the server handles; it keeps object keys
  /// in the order written, so lines go out as documented.
  using Json = nlohmann::ordered_json;

  /// A text that is not a well-formed expression; what() says where and why.
  class ExpressionError : public std::runtime_error
  {
  public:
    using std::runtime_error::runtime_error;
  };

  /// Parses expressions from one text, left to right.
  class ExpressionParser
  {
  public:
    /// Gives the value of an identifier, or nothing when it is unknown.
    using Resolver = std::function<std::optional<Json>(std::string_view name)>;

    /// Parses `text`; identifiers are looked up through `resolver` (without
    /// one, every identifier is unknown).
    explicit ExpressionParser(std::string_view text, Resolver resolver = {});

    /// Parses the whole text as a comma-separated list of expressions (an
    /// empty or blank text gives none). Throws ExpressionError.
    std::vector<Json> parseArguments();

    /// Parses one expression starting at the current position, leaving the
    /// position after it. Throws ExpressionError.
    Json parseExpression();

    /// Parses the whole text as one expression. Throws ExpressionError.
    Json parseWhole();

    /// The current offset into the text.
    std::size_t position() const { return pos_; }

    /// True when only blanks are left.
    bool atEnd();

  private:
    Json parseList(std::size_t depth);
    Json parseValue(std::size_t depth);
    Json parseNumber();
    Json parseString();
    Json parseIdentifier();
    void skipBlanks();
    [[noreturn]] void fail(const std::string& what) const;

    std::string_view text_;
    Resolver resolver_;
    std::size_t pos_ = 0;
  };

  /// True for the characters an identifier starts with.
  bool isIdentifierStart(char c);
  /// True for the characters an identifier goes on with (dots included, so
  /// midi.setDebug is one name).
  bool isIdentifierChar(char c);
}
