#include "vaxo-sim/statement_splitter.h"

namespace vaxosim
{
  namespace
  {
    bool isBlank(char c)
    {
      return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
    }
  }

  void StatementSplitter::feed(std::string_view bytes, std::vector<std::string>& out)
  {
    for (char c : bytes)
    {
      switch (state_)
      {
      case State::code:
        if ((c == ',' || c == ';') && depth_ == 0)
        {
          finishStatement(out);
          continue;  // the separator belongs to no statement
        }
        if (c == '"')
          state_ = State::inString;
        else if (c == '(' || c == '[' || c == '{')
          ++depth_;
        else if ((c == ')' || c == ']' || c == '}') && depth_ > 0)
          --depth_;
        break;
      case State::inString:
        if (c == '\\')
          state_ = State::stringEscape;
        else if (c == '"')
          state_ = State::code;
        break;
      case State::stringEscape:
        state_ = State::inString;
        break;
      }
      pending_.push_back(c);
    }
  }

  bool StatementSplitter::hasPending() const
  {
    for (char c : pending_)
      if (!isBlank(c))
        return true;
    return false;
  }

  void StatementSplitter::finishStatement(std::vector<std::string>& out)
  {
    std::size_t begin = 0;
    std::size_t end = pending_.size();
    while (begin < end && isBlank(pending_[begin]))
      ++begin;
    while (end > begin && isBlank(pending_[end - 1]))
      --end;
    if (end > begin)
      out.emplace_back(pending_, begin, end - begin);
    pending_.clear();
  }
}
