#include "bridge/actionowners.h"

#include <algorithm>

bool ActionOwners::admits(int owner, std::size_t records) const
{
  if (!counted(owner))
    return true;
  const std::size_t current = held_[static_cast<std::size_t>(owner)];
  return records <= recordLimit && current <= recordLimit - records;
}

void ActionOwners::add(int owner, std::size_t records)
{
  if (counted(owner))
    held_[static_cast<std::size_t>(owner)] += records;
}

std::size_t ActionOwners::held(int owner) const
{
  return counted(owner) ? held_[static_cast<std::size_t>(owner)] : 0;
}

bool ActionOwners::firstRefusal(int owner)
{
  if (!counted(owner))
    return true;
  bool& reported = refusalReported_[static_cast<std::size_t>(owner)];
  const bool first = !reported;
  reported = true;
  return first;
}

std::string ActionOwners::describe(int owner)
{
  if (owner == Midi::configurationOwner)
    return "the configuration";
  if (owner >= 0 && owner < Midi::slotCount)
    return "robot " + std::to_string(owner);
  return "the control channel without a robot slot";
}

std::size_t ActionOwners::withdraw(Tables& tables, int robotSlot)
{
  if (robotSlot < 0 || robotSlot >= Midi::slotCount)
    return 0;

  // One operation can have records in several slots; each counts once.
  std::vector<const Midi::Operation*> operations;
  for (const auto& table : tables)
    for (const Midi::Action& action : table)
      if (action.owner == robotSlot)
        operations.push_back(action.operation.get());
  std::sort(operations.begin(), operations.end());
  operations.erase(std::unique(operations.begin(), operations.end()), operations.end());

  // During a walk the records stay where they are, marked, so that the
  // walk's indices keep pointing at the records they pointed at.
  if (walkDepth_ > 0)
  {
    for (auto& table : tables)
      for (Midi::Action& action : table)
        if (action.owner == robotSlot)
          action.owner = withdrawn;
    withdrewInWalk_ = withdrewInWalk_ || !operations.empty();
  }
  else
  {
    for (auto& table : tables)
      table.erase(std::remove_if(table.begin(), table.end(),
                                 [robotSlot](const Midi::Action& action) {
                                   return action.owner == robotSlot;
                                 }),
                  table.end());
  }
  held_[static_cast<std::size_t>(robotSlot)] = 0;
  refusalReported_[static_cast<std::size_t>(robotSlot)] = false;

  // The caller holds the lock, so no walk on another thread is executing
  // them; a walk on this thread (the lock is re-entrant) may be, and the
  // marked records keep them until it ends.
  return operations.size();
}

void ActionOwners::removeWithdrawn(Tables& tables) noexcept
{
  // Removing shrinks the tables and moves records: it allocates nothing.
  for (auto& table : tables)
    table.erase(std::remove_if(table.begin(), table.end(),
                               [](const Midi::Action& action) { return action.owner == withdrawn; }),
                table.end());
}

ActionOwners::Walk::Walk(ActionOwners& owners, Tables& tables) noexcept : owners_(owners), tables_(tables)
{
  ++owners_.walkDepth_;
}

ActionOwners::Walk::~Walk()
{
  if (--owners_.walkDepth_ == 0 && owners_.withdrewInWalk_)
  {
    owners_.withdrewInWalk_ = false;
    owners_.removeWithdrawn(tables_);
  }
}
