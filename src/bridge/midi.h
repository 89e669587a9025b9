#pragma once
// The bridge object: the MIDI input device, the 32 action tables, the robot
// slots, the debug level, the parameter word and the tempo state.
//
// Threading:
// - the main thread runs start-up: parseConfig, addRobot, installAction;
// - the MIDI input threads (the bridge's own device's, and each further
//   input's, bridge/inputs.h) run onMessage and dispatchFrom; dispatchFrom
//   takes the dispatch mutex, which only they take, for the event, or
//   beginRound takes it for a round of messages in hand until endRound,
//   so that one event at a time is dispatched (handleRealtime, the event ring, every
//   Operation::execute, the latter with `lock` held too); "the MIDI thread"
//   below is whichever input thread holds it;
// - each robot connection's I/O thread runs onControl (through
//   RobotEvents::controlArrived) and onClientError, with no lock held
//   (installAction takes `lock` for its appends only), and the robot's
//   reconnections (robots/robot_link.h);
// - withdrawActions runs on the I/O thread of a robot that connects (again,
//   through RobotEvents::robotConnected); it takes `lock`, so it waits for a
//   dispatch walk to end;
// - send never waits for a robot: robots/robot_links.h says how;
// - the views (inputView, clockView, settingsView, robotViews) run on any
//   thread but the MIDI thread; they read relaxed atomics, and take no lock
//   the MIDI thread takes;
// - a text sink and a time source given to the constructor (the renderer's)
//   are called where send and handleRealtime run, with the locks held there
//   (bridge/text_sink.h says which).
// `lock` guards `actions` and `owners` and nothing else. debugLevel,
// parameter and the robot slots are atomics; the realtime members belong to
// the MIDI thread, which mirrors what clockView shows in atomics.
#include <array>
#include <atomic>
#include <charconv>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <iosfwd>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <type_traits>
#include <vector>

#include "bridge/bridge_views.h"
#include "bridge/input_line.h"
#include "bridge/inputs.h"
#include "bridge/lockable.h"
#include "midi/midiin.h"
#include "robots/robot_events.h"
#include "robots/robot_links.h"
#include "status/event_ring.h"
#include "status/latency_histogram.h"
#include "vaxo/callback.h"
#include "vaxo/client.h"

class ActionOwners;
class TextSink;
class TimeSource;
class VSyncClient;

/// The bridge between one MIDI input device and up to 32 robots.
class Midi : public MidiIn, private RobotEvents
{
public:
  /// An operation that an action executes on a matching event.
  class Operation
  {
  public:
    /// The bridge; set by installAction before setup.
    Midi* midi = nullptr;
    /// Takes the action's parameter list; true when accepted.
    virtual bool setup(const std::vector<std::string>& params);
    /// Acts on one matching event; `slot` is the channel slot (0..31).
    virtual void execute(int robotMask, int kind, int slot, int data1, int data2) = 0;
    /// Releases the kind's members too when a rejected operation is discarded.
    virtual ~Operation() = default;
    /// Why the last setup refused its parameters, beginning with the kind's
    /// name; empty when it took them or when the kind gives no reason.
    const std::string& refusal() const { return refusal_; }

  protected:
    /// A setup's way to refuse: keeps `why` for refusal() and gives false.
    bool refuse(std::string why);
    /// Refuses `given` parameters: "`kind`: needs `usage`, got N parameters".
    bool refuseCount(const char* kind, const char* usage, std::size_t given);

  private:
    std::string refusal_;
  };

  /// Makes a new operation of one kind, or null.
  using OperationCreator = Operation* (*)();

  /// One entry of the operation registry; constructing one registers it.
  class OperationRegistration
  {
  public:
    /// Appends {name, creator} to the registry (created on first use).
    OperationRegistration(const char* name, OperationCreator creator);
    /// The name, compared exactly.
    std::string name;
    /// Makes an operation of this kind.
    OperationCreator creator;
  };

  /// The registry, in registration order; null until the first registration.
  static std::vector<OperationRegistration*>* operationRegistry;

  /// Owner of actions that come from the configuration file; never withdrawn.
  static constexpr int configurationOwner = -1;

  /// One record of an action table.
  struct Action
  {
    std::uint8_t filterValue;      ///< data1 AND filterMask must equal this
    std::uint8_t filterMask;       ///< mask applied to data1
    std::uint32_t parameterValue;  ///< parameter AND parameterMask must equal this
    std::uint32_t parameterMask;   ///< mask applied to the parameter word
    /// Executed on a match; shared by the records of one action (one per
    /// channel slot), freed with the last of them.
    std::shared_ptr<Operation> operation;
    int robotMask;                 ///< robots addressed (bit i = slot i)
    /// Who installed it: configurationOwner, or the robot slot whose server
    /// registered it (see ActionOwners).
    int owner = configurationOwner;
  };

  /// Number of channel slots and of robot slots.
  static constexpr int slotCount = 32;

  Midi();
  /// A bridge whose robot links get their clients from `clients` (tests
  /// and benchmarks send to clients of their own), whose texts go to `sink`
  /// instead of the robot links and whose tempo measurement reads `time`
  /// instead of the system clock; null for the real ones. Both must outlive
  /// the bridge.
  explicit Midi(RobotClientFactory clients, TextSink* sink = nullptr, TimeSource* time = nullptr);
  ~Midi();
  Midi(const Midi&) = delete;
  Midi& operator=(const Midi&) = delete;

  /// Trace threshold: a trace with threshold N is written when above N.
  std::atomic<int> debugLevel;
  /// midi.tick events per 24 clocks; always 1.
  int ticksPerBeat;
  /// The parameter word that every action's filter tests.
  std::atomic<std::uint32_t> parameter;
  /// The action tables, by channel slot; guarded by `lock`.
  std::array<std::vector<Action>, slotCount> actions;
  /// Guards `actions` and `owners`.
  Lockable lock;
  /// The owners' record counts, the registration bound and the operations
  /// withdrawn during a walk; guarded by `lock`.
  std::unique_ptr<ActionOwners> owners;
  /// The robot slots and their links; declared after `lock`, `actions` and
  /// `owners`, so that the links, whose threads use them, stop first.
  RobotLinks robots;
  /// Clocks counted modulo 24 (MIDI thread only).
  int clockCount;
  /// True between a start and a stop (MIDI thread only).
  bool running;
  /// Microseconds at the first clock of the current beat; 0 for none.
  std::int64_t lastBeatTime = 0;
  /// The last MIDI events but clocks and the texts each sent per robot;
  /// the MIDI thread writes it, any thread reads it.
  status::EventRing recent;
  /// Time from the MIDI callback to a text handed to the robots' sockets,
  /// for the texts the MIDI thread sends.
  status::LatencyHistogram latency;

  /// Microseconds at the callback of the event being dispatched (MIDI thread only).
  std::int64_t eventStart = 0;
  /// True on the MIDI thread while it dispatches an event.
  static bool dispatchingEvent();

  /// The clock's state now: running, and the last tempo measured.
  ClockView clockView() const;
  /// The parameter word and the debug level now.
  SettingsView settingsView() const;
  /// Each filled robot slot's link now, in slot order.
  std::vector<RobotLinkView> robotViews() const { return robots.views(); }

  /// Dispatches one event of the bridge's own device (input 0), or of the
  /// renderer: dispatchFrom(0, ...).
  void onMessage(std::uint8_t kind, std::uint8_t channel, std::uint8_t data1,
                 std::uint8_t data2) override;

  /// The one dispatch entry of every input: input `input` (0 the first)
  /// sent the event. Its channel messages take the input's channel, when
  /// one was given; the clock's messages count from the first input only
  /// (the others' are counted and ignored). Then traces, realtime
  /// messages, the slot's actions, one event at a time.
  void dispatchFrom(int input, std::uint8_t kind, std::uint8_t channel, std::uint8_t data1,
                    std::uint8_t data2);

  /// More events of the calling input thread follow (a round of messages
  /// in hand): the dispatch mutex is kept until endRound, so that the
  /// round is dispatched whole without handing the mutex to another input
  /// between its events, and the robots' texts wait for one send each.
  void beginRound();
  /// Writes the texts the round held and lets the dispatch mutex go.
  void endRound();

  /// Input `input`'s channel messages are taken as channel `channel` from
  /// now on (-1: their own). Any thread; before the input opens.
  void setInputChannel(int input, int channel);

  /// The inputs after the first, which the bridge has.
  Inputs& extraInputs() { return inputs_; }
  /// Names the first input (the device as named or numbered) and the
  /// channel its channel messages take; the thread that starts notara.
  void setFirstInput(const InputLine& line);
  /// The `input` lines of the configuration read last, in order (the
  /// thread that reads the configuration).
  std::vector<InputLine> inputLines;

  /// Every input, the first first.
  std::vector<InputView> inputViews() const;

  /// Handles a system message (clock, start, stop) given its low nibble.
  void handleRealtime(std::uint8_t subtype);

  /// Reads the configuration; false when the stream is unusable from the
  /// start. Raises std::runtime_error for a malformed line.
  bool parseConfig(std::istream& in);

  /// Opens a robot in slot `index`: binds the callbacks and connects in the
  /// background; each connection uploads the script text and notara.vx, and
  /// a lost one is made again (a configuration check only records it, see
  /// RobotLinks::recordOnly). 1 on success, -1 for an index above 31.
  int addRobot(unsigned index, const std::string& host, unsigned port);

  /// More events are in hand: the robots' texts wait and go out together
  /// at onInputEnd (input thread; see VSyncClient::holdSends).
  void onMoreInput() override;
  /// Writes what onMoreInput held, one write per robot (input thread).
  void onInputEnd() override;

  /// How long a text may wait in a robot's queue before it is dropped, for
  /// robots added from now on (0: no limit); set by a `maxage` line. The
  /// thread that reads the configuration only (main, then the reloader).
  std::chrono::milliseconds robotMaxAge = VQueuePolicy().maxAge;

  /// Sends `text` unchanged to every filled robot slot selected by
  /// `robotMask` (or to the sink); a robot that is down or doesn't read drops it.
  void send(int robotMask, const std::string& text);

  /// Sends "name=value," to the robots of `robotMask`.
  template <class T>
  void sendValue(int robotMask, const std::string& name, const T& value);

  /// Stores the parameter word and publishes it as midi.parameter.
  void setParameter(int value);

  /// Creates operation `name`, sets it up from `params` and appends one
  /// record per slot of `channelMask`, owned by `owner`: configurationOwner,
  /// or the robot slot (0..31) whose server registered the action. The
  /// operation, or null. An owner other than the configuration is bounded
  /// (ActionOwners::recordLimit records; refused with one line), and its
  /// installation on no channel slot releases the operation and gives null.
  /// When it gives null, `failure` (if given) is set to why, for a line
  /// that reports it.
  Operation* installAction(std::uint32_t channelMask, std::uint8_t filterValue,
                           std::uint8_t filterMask, std::uint32_t parameterValue,
                           std::uint32_t parameterMask, const std::string& name,
                           const std::vector<std::string>& params, int robotMask,
                           int owner = configurationOwner, std::string* failure = nullptr);

  /// Handles a control message that arrived on robot slot `robotSlot`'s
  /// connection; actions it registers belong to that slot. A slot outside
  /// 0..31 stands for no robot's connection: its actions are never
  /// withdrawn and are bounded together (ActionOwners::unknownRobot).
  /// Always V_CONTINUE.
  VCallbackAction onControl(const VMessage& msg, int robotSlot);

  /// Puts the actions of `staged` (a bridge that read a configuration with
  /// its robots only recorded) in place of those this bridge's
  /// configuration installed, and withdraws what the robots of
  /// `goneRobots` (bit i = slot i) registered; the other robots'
  /// registrations stay, after the configuration's as before. One swap
  /// under `lock`, so a dispatch sees the old tables or the new ones; the
  /// old operations are freed after it. `staged` is left without actions.
  /// The number of records in force. Any thread but the MIDI thread, with
  /// no lock held.
  std::size_t adoptActions(Midi& staged, std::uint32_t goneRobots);

  /// Removes every action that robot slot `robotSlot` registered and frees
  /// their operations once no dispatch walk can be executing them. Returns
  /// the number of operations withdrawn. Thread-safe (takes `lock`).
  std::size_t withdrawActions(int robotSlot);

private:
  /// Microseconds from the time source, or from the system clock.
  std::int64_t now();

  TextSink* sink_;
  TimeSource* time_;

  /// Appends `record` to every slot of `channelMask` (`lock` held); on an
  /// error takes back what it appended and passes the error on.
  void appendRecords(std::uint32_t channelMask, const Action& record);

  // RobotEvents: a robot's registrations go when it connects again; its
  // control messages go to onControl.
  void robotConnected(int slot) override { withdrawActions(slot); }
  VCallbackAction controlArrived(const VMessage& msg, int slot) override { return onControl(msg, slot); }

  // The events of the bridge's own device, past the input's rules.
  void dispatch(std::uint8_t kind, std::uint8_t channel, std::uint8_t data1, std::uint8_t data2);

  // The first input's line; the status reads it while start-up sets it.
  mutable std::mutex firstInputMutex_;
  InputLine firstInput_;

  // One event at a time from all inputs (input threads only).
  std::mutex dispatchMutex_;
  // Per input: the channel its messages take (-1: their own), and the
  // clock messages ignored.
  std::array<std::atomic<int>, Inputs::maxInputs> inputChannels_;
  std::array<std::atomic<std::uint64_t>, Inputs::maxInputs> clocksIgnored_;

  // What clockView reads, stored by the MIDI thread (relaxed).
  std::atomic<bool> clockRunning_{false};
  std::atomic<std::int64_t> lastBpm_{noTempo};
  static constexpr std::int64_t noTempo = -1;

  // The inputs after the first; declared last, so that they stop before
  // anything their threads use goes.
  Inputs inputs_{*this};
};

template <class T>
void Midi::sendValue(int robotMask, const std::string& name, const T& value)
{
  // The value as a default output stream writes it ("%g": six significant
  // digits, no trailing zeros; integers in decimal), formatted on the stack
  // so that the text sent is the only allocation.
  static_assert(std::is_arithmetic_v<T> && !std::is_same_v<T, bool>,
                "Midi::sendValue: the value must be a number");
  char digits[40];
  std::size_t length = 0;
  if constexpr (std::is_floating_point_v<T>)
    length = static_cast<std::size_t>(
        std::snprintf(digits, sizeof digits, "%g", static_cast<double>(value)));
  else
    length = static_cast<std::size_t>(std::to_chars(digits, digits + sizeof digits, value).ptr - digits);

  std::string text;
  text.reserve(name.size() + length + 2);
  text.append(name).append(1, '=').append(digits, length).append(1, ',');
  send(robotMask, text);
}
