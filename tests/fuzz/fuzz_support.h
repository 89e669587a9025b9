#pragma once
// What the libFuzzer harnesses share: a bridge with in-memory robots that
// releases everything it installed, standard error caught in a string, and
// the checks every harness makes. A failed check prints what failed and
// aborts, which libFuzzer reports as a crash with the input that caused it.
//
// Threading: the harnesses run one input at a time on libFuzzer's thread.
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <set>
#include <string>
#include <string_view>
#include <typeinfo>
#include <vector>

#include "bridge/midi.h"
#include "support/cerr_capture.h"
#include "support/memory_client.h"
#include "support/slot_clients.h"

namespace notara::fuzz
{
  /// Prints `what` and the text it concerns, and aborts.
  [[noreturn]] inline void fail(const std::string& what, std::string_view text = {})
  {
    std::fprintf(stderr, "fuzz check failed: %s: [%.*s]\n", what.c_str(), static_cast<int>(text.size()),
                 text.data());
    std::abort();
  }

  /// A bridge whose robot slots `slots` hold in-memory clients; its action
  /// tables free their operations with it.
  struct Bridge
  {
    explicit Bridge(std::vector<int> slots = {0, 1, 31}) : robotSlots(std::move(slots))
    {
      for (const int slot : robotSlots)
        clients.push_back(made.fill(midi, {slot}));
    }
    ~Bridge() = default;
    Bridge(const Bridge&) = delete;
    Bridge& operator=(const Bridge&) = delete;

    /// Every operation an action record points to.
    std::set<Midi::Operation*> operations()
    {
      std::set<Midi::Operation*> all;
      for (const auto& table : midi.actions)
        for (const Midi::Action& action : table)
          all.insert(action.operation.get());
      return all;
    }

    /// Every record points to an operation that is still alive: reading
    /// its dynamic type reads its memory, which AddressSanitizer checks.
    void checkRecordsLive()
    {
      for (Midi::Operation* operation : operations())
      {
        if (operation == nullptr)
          fail("an action record without an operation");
        if (typeid(*operation).name() == nullptr)
          fail("an operation without a type");
      }
    }

    /// Every text sent is a complete statement: it ends in ",".
    void checkSends()
    {
      for (notara::test::MemoryClient* client : clients)
      {
        for (const std::string& text : client->sends())
          if (text.empty() || text.back() != ',')
            fail("a text sent does not end in \",\"", text);
        client->clear();
      }
    }

    notara::test::SlotClients<> made;
    Midi midi{made.factory()};
    std::vector<int> robotSlots;
    /// The clients of robotSlots, in order; the robot links own them.
    std::vector<notara::test::MemoryClient*> clients;
  };
}
