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
// the MIDI thread inside a dispatch walk (from an operation's execute). It
// then only marks the records (owner `withdrawn`, which the walk skips),
// which keep their operations; the outermost walk, as it ends, removes the
// marked records, and with the last record of an operation the operation
// goes. So no operation is freed while a walk can be executing it, and no
// record moves under a walk: the walk neither skips nor repeats one.
#include <array>
#include <cstddef>
#include <memory>
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
  /// Owner of a record withdrawn during a walk, until the walk ends; a
  /// walk skips such records.
  static constexpr int withdrawn = -2;

  /// The action tables, as Midi holds them.
  using Tables = std::array<std::vector<Midi::Action>, Midi::slotCount>;

  ActionOwners() = default;
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
  /// the order of the others, and with them their operations. During a
  /// walk it marks them `withdrawn` instead; the outermost walk's end
  /// removes them. The number of operations.
  std::size_t withdraw(Tables& tables, int robotSlot);

  /// Keeps an operation that the configuration installed on no channel
  /// slot: no record refers to it, and it is freed with the bridge.
  void keep(std::shared_ptr<Midi::Operation> operation) { kept_.push_back(std::move(operation)); }
  /// The operations kept so far, oldest first.
  const std::vector<std::shared_ptr<Midi::Operation>>& kept() const { return kept_; }

  /// Marks a dispatch walk over `tables`, from after the lock is taken
  /// until the walk ends.
  class Walk
  {
  public:
    /// Starts a walk.
    Walk(ActionOwners& owners, Tables& tables) noexcept;
    /// Ends it; the outermost walk removes the records withdrawn meanwhile.
    ~Walk();
    Walk(const Walk&) = delete;
    Walk& operator=(const Walk&) = delete;

  private:
    ActionOwners& owners_;
    Tables& tables_;
  };

private:
  static bool counted(int owner) { return owner >= 0 && owner <= unknownRobot; }
  void removeWithdrawn(Tables& tables) noexcept;

  std::array<std::size_t, unknownRobot + 1> held_{};
  std::array<bool, unknownRobot + 1> refusalReported_{};
  int walkDepth_ = 0;
  bool withdrewInWalk_ = false;  // records were marked during the walk under way
  std::vector<std::shared_ptr<Midi::Operation>> kept_;  // on no channel slot
};
