// The operation registry and the installation of actions.
//
// Threading: the registry is filled during static initialisation and only
// read afterwards, without a lock. installAction runs on the main thread
// (configuration file) and on robot reader threads (the "register" control
// command); it holds `lock` only while it checks the owner's bound and
// appends records.
#include <algorithm>
#include <bitset>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "bridge/midi.h"
#include "bridge/actionowners.h"
#include "vaxo/printable.h"
#include "log/stderr_line.h"

namespace
{
  // "DirectMap, EmitMap, ...": the names of the registered kinds, sorted,
  // since the order of registration is the linker's.
  std::string kindNames()
  {
    std::vector<std::string> sorted;
    if (Midi::operationRegistry != nullptr)
      for (const Midi::OperationRegistration* registration : *Midi::operationRegistry)
        sorted.push_back(registration->name);
    std::sort(sorted.begin(), sorted.end());
    std::string names;
    for (const std::string& name : sorted)
      names += (names.empty() ? "" : ", ") + name;
    return names.empty() ? "none" : names;
  }
}

// Constant-initialised, so it is null before any dynamic initialiser runs,
// whichever translation unit registers first.
std::vector<Midi::OperationRegistration*>* Midi::operationRegistry = nullptr;

Midi::OperationRegistration::OperationRegistration(const char* name, OperationCreator creator)
  : name(name), creator(creator)
{
  // Never freed: registrations are read until the process ends.
  if (operationRegistry == nullptr)
    operationRegistry = new std::vector<OperationRegistration*>;
  operationRegistry->push_back(this);
}

Midi::Operation* Midi::installAction(std::uint32_t channelMask, std::uint8_t filterValue,
                                     std::uint8_t filterMask, std::uint32_t parameterValue,
                                     std::uint32_t parameterMask, const std::string& name,
                                     const std::vector<std::string>& params, int robotMask,
                                     int owner, std::string* failure)
{
  // The traces below are the debug levels'; the failure is for the
  // caller's own line, which every level shows.
  const auto fail = [failure](std::string why) -> Operation* {
    if (failure != nullptr)
      *failure = std::move(why);
    return nullptr;
  };

  // A server on no robot slot counts as one more robot that never reconnects.
  if (owner != configurationOwner && (owner < 0 || owner >= slotCount))
    owner = ActionOwners::unknownRobot;

  OperationCreator creator = nullptr;
  if (operationRegistry != nullptr)
  {
    for (const OperationRegistration* registration : *operationRegistry)
    {
      if (registration->name == name)
      {
        creator = registration->creator;
        break;
      }
    }
  }

  // Owned here until every record is in place: a rejected operation, one
  // whose setup throws, and one whose records can't be stored are released.
  std::shared_ptr<Operation> operation(creator != nullptr ? creator() : nullptr);
  if (!operation)
  {
    if (debugLevel > 1)
      notara::StderrLine() << "Factory creation failed for " << vaxo::printable(name);
    if (creator != nullptr)
      return fail("operation " + vaxo::printable(name) + " could not be made");
    return fail("unknown operation " + vaxo::printable(name) + "; the operations are " + kindNames() +
                " (case counts)");
  }

  operation->midi = this;
  if (!operation->setup(params))
  {
    if (debugLevel > 2)
      notara::StderrLine() << "Setup failed for " << vaxo::printable(name);
    const std::string& why = operation->refusal();
    return fail(why.empty() ? vaxo::printable(name) + " refused its " + std::to_string(params.size()) +
                                  (params.size() == 1 ? " parameter" : " parameters")
                            : why);
  }

  // An operation on no channel slot is reached by no event. A server's
  // registration of one installs nothing; the configuration's still
  // succeeds, as it always has, and the bridge keeps the operation so that
  // it is freed with the bridge rather than leaked.
  const std::size_t records = std::bitset<slotCount>(channelMask).count();
  if (records == 0 && owner != configurationOwner)
    return fail("channel mask 0 puts it on no channel slot");

  if (debugLevel > 3)
    notara::StderrLine() << "Installing a nnew " << vaxo::printable(name) << " on " << channelMask << " with filter "
              << static_cast<unsigned>(filterValue) << '/' << static_cast<unsigned>(filterMask);

  if (records == 0)
  {
    std::lock_guard<Lockable> guard(lock);
    owners->keep(std::move(operation));
    return owners->kept().back().get();
  }

  const Action record{filterValue, filterMask, parameterValue, parameterMask, operation,
                      robotMask, owner};
  std::size_t held = 0;
  bool reportRefusal = false;
  {
    std::lock_guard<Lockable> guard(lock);
    // Checked and counted under the lock, so that registrations on two
    // connections at once can't pass the bound together.
    if (owners->admits(owner, records))
    {
      appendRecords(channelMask, record);
      owners->add(owner, records);
      return operation.get();
    }
    held = owners->held(owner);
    reportRefusal = owners->firstRefusal(owner);
  }

  fail(ActionOwners::describe(owner) + " holds " + std::to_string(held) +
       " registered action records and may hold at most " + std::to_string(ActionOwners::recordLimit));
  // One line when an owner first meets its bound, not one per registration.
  if (reportRefusal)
    notara::StderrLine() << "Midi::installAction: " << ActionOwners::describe(owner) << " holds " << held
              << " registered action records and may hold at most "
              << ActionOwners::recordLimit << ": " << vaxo::printable(name) << " on " << records
              << (records == 1 ? " channel slot" : " channel slots")
              << " refused; later refusals show only as \"Registering action: 0\""
              << (owner == ActionOwners::unknownRobot ? "" : " until its actions are withdrawn");
  return nullptr;
}

void Midi::appendRecords(std::uint32_t channelMask, const Action& record)
{
  int appended = 0;
  try
  {
    for (int slot = 0; slot < slotCount; ++slot)
    {
      if ((channelMask >> slot) & 1u)
      {
        if (debugLevel > 10)
          notara::StderrLine() << " on channel " << slot;
        actions[slot].push_back(record);
        ++appended;
      }
    }
  }
  catch (...)
  {
    // No record may outlive the operation that the caller releases: take
    // back the ones appended here (always the last of their slot).
    for (int slot = 0; slot < slotCount && appended > 0; ++slot)
    {
      if ((channelMask >> slot) & 1u)
      {
        actions[slot].pop_back();
        --appended;
      }
    }
    throw;
  }
}
