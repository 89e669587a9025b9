#pragma once
// Who installed each action, the bound on what the robots' servers may
// register, and the withdrawal of the actions that one robot registered.
//
// Owners (the `owner` field of Midi::Action):
// - Midi::configurationOwner: the configuration file. Never withdrawn, not
//   bounded: the file is the user's own.
// - a robot slot, 0..31: registered by a server on that robot's connection.
//   Bounded by recordLimit; withdrawn when the robot connects again.
// - unknownRobot: registered by a control message that came on no robot's
//   connection. Bounded by recordLimit like a robot; never withdrawn.
//
// Threading: every member runs with the bridge's lock (Midi::lock) held; the
// callers take it. The lock is re-entrant, so a withdrawal may even run on
// the MIDI thread inside a dispatch walk (from an operation's execute); the
// operations it withdraws are then kept until the outermost walk ends, so
// no operation is freed while a walk can be executing it.
#include <array>
#include <cstddef>
#include <string>
#include <vector>

#include "bridge/midi.h"

/// The owners' record counts, the registration bound and withdrawal.
class ActionOwners
{
public:
  /// Most action records that one owner other than the configuration may
  /// hold in the tables; an action on n channel slots holds n records.
  static constexpr std::size_t recordLimit = 1024;
  /// Owner of actions registered by a control message on no robot's
  /// connection.
  static constexpr int unknownRobot = Midi::slotCount;

  /// The action tables, as Midi holds them.
  using Tables = std::array<std::vector<Midi::Action>, Midi::slotCount>;

  ActionOwners() = default;
  /// Frees operations still kept for a walk (none once every walk ended).
  ~ActionOwners();
  ActionOwners(const ActionOwners&) = delete;
  ActionOwners& operator=(const ActionOwners&) = delete;

  /// True when `owner` may add `records` more records to the tables.
  bool admits(int owner, std::size_t records) const;
  /// Counts `records` records that `owner` added.
  void add(int owner, std::size_t records);
  /// Records that `owner` holds (0 for the configuration, which isn't counted).
  std::size_t held(int owner) const;
  /// True at the first refusal of `owner` since its last withdrawal; a
  /// refusal is reported once, not once per registration.
  bool firstRefusal(int owner);
  /// "robot N", or what else `owner` stands for, for messages.
  static std::string describe(int owner);

  /// Removes every record of robot slot `robotSlot` from `tables`, keeping
  /// the order of the others, and frees their operations (after the
  /// outermost walk when one is running). The number of operations.
  std::size_t withdraw(Tables& tables, int robotSlot);

  /// Marks a dispatch walk, from after the lock is taken until the walk ends.
  class Walk
  {
  public:
    /// Starts a walk.
    explicit Walk(ActionOwners& owners) noexcept;
    /// Ends it; the outermost walk frees what was withdrawn meanwhile.
    ~Walk();
    Walk(const Walk&) = delete;
    Walk& operator=(const Walk&) = delete;

  private:
    ActionOwners& owners_;
  };

private:
  static bool counted(int owner) { return owner >= 0 && owner <= unknownRobot; }
  void freeRetired() noexcept;

  std::array<std::size_t, unknownRobot + 1> held_{};
  std::array<bool, unknownRobot + 1> refusalReported_{};
  int walkDepth_ = 0;
  std::vector<Midi::Operation*> retired_;  // withdrawn during a walk
};
