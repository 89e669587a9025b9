#include "vaxo-sim/expression_parser.h"

#include <cmath>

namespace vaxosim
{
  namespace
  {
    // Deeper lists are refused rather than risking the stack; the clients
    // drop lines nested deeper than this anyway.
    constexpr std::size_t maxDepth = 64;

    bool isDigit(char c) { return c >= '0' && c <= '9'; }

    // The text shown for a character in an error message.
    std::string describeChar(char c)
    {
      static const char hex[] = "0123456789abcdef";
      auto u = static_cast<unsigned char>(c);
      if (u < 0x20 || u == 0x7f)
        return std::string("byte 0x") + hex[u >> 4] + hex[u & 15];
      return std::string("'") + c + "'";
    }
  }

  bool isIdentifierStart(char c)
  {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
  }

  bool isIdentifierChar(char c)
  {
    return isIdentifierStart(c) || isDigit(c) || c == '.';
  }

  ExpressionParser::ExpressionParser(std::string_view text, Resolver resolver)
    : text_(text), resolver_(std::move(resolver))
  {
  }

  std::vector<Json> ExpressionParser::parseArguments()
  {
    std::vector<Json> values;
    if (atEnd())
      return values;
    for (;;)
    {
      values.push_back(parseExpression());
      skipBlanks();
      if (pos_ == text_.size())
        return values;
      if (text_[pos_] != ',')
        fail("expected ',' between arguments, found " + describeChar(text_[pos_]));
      ++pos_;
    }
  }

  Json ExpressionParser::parseExpression()
  {
    return parseValue(0);
  }

  Json ExpressionParser::parseWhole()
  {
    Json value = parseExpression();
    if (!atEnd())
      fail("unexpected " + describeChar(text_[pos_]) + " after the expression");
    return value;
  }

  bool ExpressionParser::atEnd()
  {
    skipBlanks();
    return pos_ == text_.size();
  }

  Json ExpressionParser::parseValue(std::size_t depth)
  {
    skipBlanks();
    if (pos_ == text_.size())
      fail("expected a value, found the end of the text");
    char c = text_[pos_];
    if (c == '[')
      return parseList(depth + 1);
    if (c == '"')
      return parseString();
    if (c == '-' || isDigit(c))
      return parseNumber();
    if (isIdentifierStart(c))
      return parseIdentifier();
    fail("expected a value, found " + describeChar(c));
  }

  Json ExpressionParser::parseList(std::size_t depth)
  {
    if (depth > maxDepth)
      fail("lists nested deeper than " + std::to_string(maxDepth) + " levels");
    ++pos_;  // '['
    Json list = Json::array();
    skipBlanks();
    if (pos_ < text_.size() && text_[pos_] == ']')
    {
      ++pos_;
      return list;
    }
    for (;;)
    {
      list.push_back(parseValue(depth));
      skipBlanks();
      if (pos_ == text_.size())
        fail("unterminated list: expected ',' or ']'");
      if (text_[pos_] == ']')
      {
        ++pos_;
        return list;
      }
      if (text_[pos_] != ',')
        fail("expected ',' or ']' in a list, found " + describeChar(text_[pos_]));
      ++pos_;
    }
  }

  Json ExpressionParser::parseNumber()
  {
    std::size_t begin = pos_;
    // Take the whole run of number characters, then let the JSON parser
    // decide; so 1.2.3 is reported as one bad number, not as 1.2 and junk.
    while (pos_ < text_.size() &&
           (isDigit(text_[pos_]) || text_[pos_] == '-' || text_[pos_] == '+' || text_[pos_] == '.' ||
            text_[pos_] == 'e' || text_[pos_] == 'E'))
      ++pos_;
    std::string token(text_.substr(begin, pos_ - begin));
    Json number;
    try
    {
      number = Json::parse(token);
    }
    catch (const Json::exception&)
    {
      pos_ = begin;
      fail("bad number '" + token + "'");
    }
    if (!number.is_number() || (number.is_number_float() && !std::isfinite(number.get<double>())))
    {
      pos_ = begin;
      fail("bad number '" + token + "'");
    }
    return number;
  }

  Json ExpressionParser::parseString()
  {
    std::size_t begin = pos_;
    ++pos_;  // opening quote
    while (pos_ < text_.size() && text_[pos_] != '"')
      pos_ += (text_[pos_] == '\\') ? 2 : 1;
    if (pos_ >= text_.size())
    {
      pos_ = begin;
      fail("unterminated string");
    }
    ++pos_;  // closing quote
    // The JSON parser decodes the escapes and checks the UTF-8.
    try
    {
      return Json::parse(text_.substr(begin, pos_ - begin));
    }
    catch (const Json::exception&)
    {
      pos_ = begin;
      fail("bad string literal (control character, bad escape or invalid UTF-8)");
    }
  }

  Json ExpressionParser::parseIdentifier()
  {
    std::size_t begin = pos_;
    while (pos_ < text_.size() && isIdentifierChar(text_[pos_]))
      ++pos_;
    std::string_view name = text_.substr(begin, pos_ - begin);
    if (name == "true")
      return true;
    if (name == "false")
      return false;
    if (name == "null")
      return nullptr;
    std::optional<Json> value;
    if (resolver_)
      value = resolver_(name);
    if (!value)
    {
      pos_ = begin;
      fail("unknown identifier " + std::string(name));
    }
    return *value;
  }

  void ExpressionParser::skipBlanks()
  {
    while (pos_ < text_.size() &&
           (text_[pos_] == ' ' || text_[pos_] == '\t' || text_[pos_] == '\n' || text_[pos_] == '\r'))
      ++pos_;
  }

  void ExpressionParser::fail(const std::string& what) const
  {
    throw ExpressionError(what + " at offset " + std::to_string(pos_));
  }
}
