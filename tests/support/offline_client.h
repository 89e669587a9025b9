#pragma once
// The base of the in-memory robot clients of the tests and the benchmarks:
// a client without a connection whose raw send hands each text to keep()
// and always succeeds. Header only, so that the benchmarks use it without
// the test support library.
//
// Threading: keep() runs on the sending thread, with no lock of the base's
// held; a subclass that is sent to from several threads locks its own.
#include <cstddef>

#include "vaxo/client.h"

namespace notara::test
{
  /// An unconnected client that keeps what is sent to it in its own way.
  class OfflineClient : public VSyncClient
  {
  public:
    OfflineClient() : VSyncClient(Unconnected{}) {}

    /// Hands the text to keep(); nothing is ever refused.
    int rawSend(const void* data, std::size_t size) override
    {
      keep(static_cast<const char*>(data), size);
      return 0;
    }

  protected:
    /// Keeps one text of `size` bytes.
    virtual void keep(const char* text, std::size_t size) = 0;
  };
}
