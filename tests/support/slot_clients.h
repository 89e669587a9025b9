#pragma once
// The clients of a bridge's robot links, made by a factory given to
// Midi's constructor, and a way to find the client of a slot afterwards:
// in-memory clients by default, or the real ones (connectingClient) for
// tests that look at a client's socket. The links own the clients. Header
// only, so that the benchmarks use it without the test support library.
//
// Threading: the factory runs on the thread that adds the robots; `at` may
// be called from any thread (the list is guarded by a mutex).
#include <cstddef>
#include <functional>
#include <initializer_list>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "bridge/midi.h"
#include "support/memory_client.h"

namespace notara::test
{
  /// Makes the client that a robot link's own factory would: one that
  /// connects in the background and tells `handler` of its events.
  inline std::unique_ptr<VSyncClient> connectingClient(int, const std::string& host, unsigned port,
                                                       VLinkHandler handler)
  {
    return std::make_unique<VSyncClient>(host, port, std::move(handler));
  }

  /// Makes the clients of the robot links, `Client`s made by `make`.
  template <class Client = MemoryClient>
  class SlotClients
  {
  public:
    /// Makes the client of one slot.
    using Maker = std::function<std::unique_ptr<Client>(int slot, const std::string& host, unsigned port,
                                                        VLinkHandler handler)>;

    /// Clients made by `make`; by default, each a default-constructed Client.
    explicit SlotClients(Maker make = [](int, const std::string&, unsigned, VLinkHandler) {
      return std::make_unique<Client>();
    })
        : make_(std::move(make))
    {
    }

    /// The factory to give Midi's constructor; valid while this object lives.
    RobotClientFactory factory()
    {
      return [this](int slot, const std::string& host, unsigned port,
                    VLinkHandler handler) -> std::unique_ptr<VSyncClient> {
        std::unique_ptr<Client> client = make_(slot, host, port, std::move(handler));
        std::lock_guard<std::mutex> guard(mutex_);
        made_[slot] = client.get();
        return client;
      };
    }

    /// The client of the last link made for `slot`, or null; owned by the link.
    Client* at(int slot) const
    {
      std::lock_guard<std::mutex> guard(mutex_);
      const auto found = made_.find(slot);
      return found == made_.end() ? nullptr : found->second;
    }

    /// Fills `slots` of `midi` (made with factory()) with links to in-memory
    /// clients, and returns the first slot's client.
    Client* fill(Midi& midi, std::initializer_list<int> slots)
    {
      for (const int slot : slots)
        midi.addRobot(static_cast<unsigned>(slot), "memory", 0);
      return slots.size() == 0 ? nullptr : at(*slots.begin());
    }

  private:
    Maker make_;
    mutable std::mutex mutex_;
    std::map<int, Client*> made_;
  };
}
