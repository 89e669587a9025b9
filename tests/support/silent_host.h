#pragma once
// A host that doesn't answer, on 127.0.0.1: a listener that never accepts,
// whose accept queue is full, so that the system drops further connection
// attempts (SYNs) without a word and a client waits for its time-out.
//
// Threading: use from one thread; no threads, no callbacks.
#include <memory>

namespace notara::test
{
  /// A port on 127.0.0.1 whose connection attempts get no answer.
  class SilentHost
  {
  public:
    /// Listens with a backlog of 0 and fills the queue with connections of its own.
    SilentHost();
    ~SilentHost();
    SilentHost(const SilentHost&) = delete;
    SilentHost& operator=(const SilentHost&) = delete;

    /// The port that doesn't answer.
    unsigned port() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
  };
}
