#pragma once
// The shape of a thread's entry point that nothing may leave and that must
// not end for good on an error: the body runs until it says it is done;
// what it throws is handed to a report, as text, and the body runs again.
//
// Threading: runs on the thread it is the entry point of; no lock of its own.
#include <exception>

namespace notara
{
  /// What the exception being handled says: its what(), or "unknown
  /// exception". Only inside a catch block; the text lives as long as the
  /// exception is handled.
  inline const char* currentExceptionText() noexcept
  {
    try
    {
      throw;
    }
    catch (const std::exception& e)
    {
      return e.what();
    }
    catch (...)
    {
      return "unknown exception";
    }
  }

  /// Runs `body` until it returns true; each time it throws, `failed` gets
  /// the exception's text (and must not throw), then `body` runs again.
  template <class Body, class Failed>
  void runUntilDone(Body&& body, Failed&& failed) noexcept
  {
    for (;;)
    {
      try
      {
        if (body())
          return;
      }
      catch (...)
      {
        failed(currentExceptionText());
      }
    }
  }
}
