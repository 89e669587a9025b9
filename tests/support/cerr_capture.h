#pragma once
// Captures what the code under test writes to std::cerr, for trace checks.
// Swaps std::cerr's buffer for the lifetime of the object; use it on one
// thread while no other thread writes to std::cerr.
#include <iostream>
#include <sstream>
#include <string>

namespace notara::test
{
  /// Redirects std::cerr into a string until destroyed.
  class CerrCapture
  {
  public:
    /// Starts capturing; the destructor puts the old buffer back.
    CerrCapture() : saved_(std::cerr.rdbuf(buffer_.rdbuf())) {}
    ~CerrCapture() { std::cerr.rdbuf(saved_); }
    CerrCapture(const CerrCapture&) = delete;
    CerrCapture& operator=(const CerrCapture&) = delete;

    /// Everything written so far.
    std::string text() const { return buffer_.str(); }

    /// Forgets what was written so far.
    void clear() { buffer_.str(std::string()); }

  private:
    std::ostringstream buffer_;
    std::streambuf* saved_;
  };
}
