#pragma once
// Splits one connection's script text into statements.
//
// A statement ends at a ',' or a ';' that stands outside parentheses,
// brackets, braces and double-quoted strings; inside a string a backslash
// escapes the next character. Bytes arrive in arbitrary pieces, so the text
// after the last separator is kept until later bytes complete it.
// Not thread-safe; each connection owns one splitter and uses it on the
// server's I/O thread.
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace vaxosim
{
  /// An explicit state machine over the bytes of one script stream.
  class StatementSplitter
  {
  public:
    /// Feeds `bytes`; appends each statement they complete to `out`, without
    /// its separator and without surrounding blanks. Empty statements (such
    /// as the gap in ",,") are skipped.
    void feed(std::string_view bytes, std::vector<std::string>& out);

    /// The text received after the last separator, not yet a statement.
    const std::string& pending() const { return pending_; }

    /// True when the pending text holds more than blanks.
    bool hasPending() const;

  private:
    enum class State
    {
      code,          // outside strings
      inString,      // between double quotes
      stringEscape,  // right after a backslash inside a string
    };

    void finishStatement(std::vector<std::string>& out);

    State state_ = State::code;
    // Nesting of (), [] and {} together; a stray closer never takes it
    // below zero, so one typo can't swallow every later separator.
    std::size_t depth_ = 0;
    std::string pending_;
  };
}
