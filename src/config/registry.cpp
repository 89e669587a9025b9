// The operation registry and the installation of actions.
//
// Threading: the registry is filled during static initialisation and only
// read afterwards, without a lock. installAction runs on the main thread
// (configuration file) and on robot reader threads (the "register" control
// command); it holds `lock` only while it appends records.
#include <iostream>
#include <memory>
#include <mutex>

#include "bridge/midi.h"
#include "vaxo/printable.h"

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
                                     const std::vector<std::string>& params, int robotMask)
{
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
  std::unique_ptr<Operation> operation(creator != nullptr ? creator() : nullptr);
  if (!operation)
  {
    if (debugLevel > 1)
      std::cerr << "Factory creation failed for " << vaxo::printable(name) << std::endl;
    return nullptr;
  }

  operation->midi = this;
  if (!operation->setup(params))
  {
    if (debugLevel > 2)
      std::cerr << "Setup failed for " << vaxo::printable(name) << std::endl;
    return nullptr;
  }

  if (debugLevel > 3)
    std::cerr << "Installing a nnew " << vaxo::printable(name) << " on " << channelMask << " with filter "
              << static_cast<unsigned>(filterValue) << '/' << static_cast<unsigned>(filterMask)
              << std::endl;

  const Action record{filterValue, filterMask, parameterValue, parameterMask, operation.get(),
                      robotMask};
  {
    std::lock_guard<Lockable> guard(lock);
    int appended = 0;
    try
    {
      for (int slot = 0; slot < slotCount; ++slot)
      {
        if ((channelMask >> slot) & 1u)
        {
          if (debugLevel > 10)
            std::cerr << " on channel " << slot << std::endl;
          actions[slot].push_back(record);
          ++appended;
        }
      }
    }
    catch (...)
    {
      // No record may outlive the operation released below: take back the
      // ones this installation appended (always the last of their slot).
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
  return operation.release();
}
