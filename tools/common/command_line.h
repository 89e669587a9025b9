#pragma once
// The command line of the tools: options as "--name value" or
// "--name=value", flags without a value, and plain arguments, walked in
// order. Errors are std::invalid_argument with the caller's prefix.
//
// Threading: one thread; no state shared.
#include <cstddef>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace toolcommon
{
  /// Walks the arguments of a command line one at a time.
  class CommandLine
  {
  public:
    /// Walks `args` (without the program's name); `where` starts each error.
    CommandLine(const std::vector<std::string>& args, std::string where)
      : args_(args), where_(std::move(where))
    {
    }

    /// Steps to the next argument; false when there is none.
    bool next()
    {
      if (++i_ >= args_.size())
        return false;
      name_ = args_[i_];
      inlineValue_.reset();
      if (name_.rfind("--", 0) == 0)
        if (const auto eq = name_.find('='); eq != std::string::npos)
        {
          inlineValue_ = name_.substr(eq + 1);
          name_.resize(eq);
        }
      return true;
    }

    /// The argument, without a value given after '='.
    const std::string& name() const { return name_; }
    /// The argument as it was written.
    const std::string& whole() const { return args_[i_]; }
    /// The option's value: the one after '=', else the next argument.
    std::string value()
    {
      if (inlineValue_)
        return *inlineValue_;
      if (i_ + 1 >= args_.size())
        throw std::invalid_argument(where_ + name_ + " needs a value");
      return args_[++i_];
    }
    /// Refuses a value given after '=' to a flag.
    void noValue() const
    {
      if (inlineValue_)
        throw std::invalid_argument(where_ + name_ + " takes no value");
    }

  private:
    const std::vector<std::string>& args_;
    const std::string where_;
    std::size_t i_ = static_cast<std::size_t>(-1);
    std::string name_;
    std::optional<std::string> inlineValue_;
  };
}
