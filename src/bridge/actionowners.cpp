#include "bridge/actionowners.h"

#include <algorithm>

ActionOwners::~ActionOwners()
{
  freeRetired();
}

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

  // One operation can have records in several slots; each is freed once.
  std::vector<Midi::Operation*> withdrawn;
  for (const auto& table : tables)
    for (const Midi::Action& action : table)
      if (action.owner == robotSlot)
        withdrawn.push_back(action.operation);
  std::sort(withdrawn.begin(), withdrawn.end());
  withdrawn.erase(std::unique(withdrawn.begin(), withdrawn.end()), withdrawn.end());
  // Room for the retired ones first, so that nothing below can fail with
  // records removed and their operations neither freed nor kept.
  if (walkDepth_ > 0)
    retired_.reserve(retired_.size() + withdrawn.size());

  for (auto& table : tables)
    table.erase(std::remove_if(table.begin(), table.end(),
                               [robotSlot](const Midi::Action& action) {
                                 return action.owner == robotSlot;
                               }),
                table.end());
  held_[static_cast<std::size_t>(robotSlot)] = 0;
  refusalReported_[static_cast<std::size_t>(robotSlot)] = false;

  // The caller holds the lock, so no walk on another thread is executing
  // them; a walk on this thread (the lock is re-entrant) may be, and keeps
  // them until it ends.
  if (walkDepth_ > 0)
    retired_.insert(retired_.end(), withdrawn.begin(), withdrawn.end());
  else
    for (Midi::Operation* operation : withdrawn)
      delete operation;
  return withdrawn.size();
}

void ActionOwners::freeRetired() noexcept
{
  for (Midi::Operation* operation : retired_)
    delete operation;
  retired_.clear();
}

ActionOwners::Walk::Walk(ActionOwners& owners) noexcept : owners_(owners)
{
  ++owners_.walkDepth_;
}

ActionOwners::Walk::~Walk()
{
  if (--owners_.walkDepth_ == 0 && !owners_.retired_.empty())
    owners_.freeRetired();
}
