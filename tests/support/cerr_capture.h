#pragma once
// Captures what the code under test writes to std::cerr, for trace checks.
// Swaps std::cerr's buffer for the lifetime of the object; use it on one
// thread while no other thread writes lines. notara's lines reach std::cerr
// through the writer thread of log/stderr_line.h: the capture waits for it
// before it swaps the buffer and before it reads what was written.
#include <iostream>
#include <sstream>
#include <string>

#include "log/stderr_line.h"
#include "vaxo/line_writer.h"

namespace notara::test
{
  /// The client library's lines go through notara's writer in every test
  /// that captures std::cerr, as they do in notara: one thread writes the
  /// buffer a capture swaps in.
  inline const bool libraryLinesThroughTheWriter = (VSetLineWriter(&notara::writeStderrLine), true);

  /// Redirects std::cerr into a string until destroyed.
  class CerrCapture
  {
  public:
    /// Starts capturing; the destructor puts the old buffer back.
    CerrCapture() : saved_((notara::flushStderr(), std::cerr.rdbuf(buffer_.rdbuf()))) {}
    ~CerrCapture()
    {
      notara::flushStderr();
      std::cerr.rdbuf(saved_);
    }
    CerrCapture(const CerrCapture&) = delete;
    CerrCapture& operator=(const CerrCapture&) = delete;

    /// Everything written so far, the lines queued before the call among it.
    std::string text() const
    {
      notara::flushStderr();
      return buffer_.str();
    }

    /// Forgets what was written so far.
    void clear()
    {
      notara::flushStderr();
      buffer_.str(std::string());
    }

  private:
    std::ostringstream buffer_;
    std::streambuf* saved_;
  };
}
