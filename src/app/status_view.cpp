#include "app/status_view.h"

#include "app/build_info.h"
#include "app/config_reloader.h"
#include "bridge/midi.h"
#include "libgantry/utime.h"
#include "vaxo/latency_histogram.h"

StatusView::StatusView(Midi& midi) : midi_(midi), startUs_(libgantry::utime()) {}

status::Snapshot StatusView::snapshot()
{
  const std::int64_t nowUs = libgantry::utime();
  const auto now = std::chrono::steady_clock::now();
  status::Snapshot s;
  s.version = NOTARA_VERSION;
  s.uptimeS = static_cast<double>(nowUs - startUs_) / 1e6;

  const MidiInputView input = midi_.inputView();
  s.midiDevice = input.device;
  s.midiOpen = input.state == MidiInputView::State::open;
  s.midiEvents = input.eventsRead;
  s.midiDropped = input.dropped;
  s.midiReceived = input.received;
  s.midiPeriodsMissed = input.periodsMissed;

  for (const InputView& view : midi_.inputViews())
  {
    status::InputStatus input;
    input.index = view.index;
    input.name = view.line.name;
    input.channel = view.line.channel;
    input.device = view.midi.device;
    input.state = toString(view.midi.state);
    input.received = view.midi.received;
    input.events = view.midi.eventsRead;
    input.dropped = view.midi.dropped;
    input.periodsMissed = view.midi.periodsMissed;
    input.clocksIgnored = view.clocksIgnored;
    s.inputs.push_back(std::move(input));
  }

  const ClockView clock = midi_.clockView();
  s.clockRunning = clock.running;
  if (clock.bpm)
    s.bpm = static_cast<double>(*clock.bpm);
  const SettingsView settings = midi_.settingsView();
  s.parameter = settings.parameter;
  s.debug = settings.debugLevel;

  for (const RobotLinkView& view : midi_.robotViews())
  {
    status::RobotStatus robot;
    robot.slot = view.slot;
    robot.host = view.host;
    robot.port = view.port;
    robot.queuedBytes = view.queuedBytes;
    robot.sent = view.textsSent;
    robot.dropped = view.textsDropped;
    robot.connections = view.connections;
    robot.latency = status::snapshotOf(view.writeLatency, view.writeLatencySumMicros);

    // Stalled: connected, texts waiting, and the queue has not shrunk for
    // stallTime; judged from what the snapshots saw of it.
    QueueSeen& seen = queues_[static_cast<std::size_t>(view.slot) % queues_.size()];
    if (view.state != RobotLinkView::State::up || view.queuedBytes == 0 || view.queuedBytes < seen.bytes ||
        seen.moved == std::chrono::steady_clock::time_point{})
      seen.moved = now;
    seen.bytes = view.queuedBytes;
    const bool stalled = view.state == RobotLinkView::State::up && now - seen.moved >= stallTime;
    if (stalled && !seen.stalled)
      seen.stalledSince = seen.moved + stallTime;
    seen.stalled = stalled;

    std::chrono::steady_clock::time_point since = view.since;
    if (stalled)
    {
      robot.state = "stalled";
      since = seen.stalledSince;
    }
    else
      robot.state = view.state == RobotLinkView::State::up ? "up" : "down";
    robot.sinceS = std::chrono::duration<double>(now - since).count();
    s.robots.push_back(std::move(robot));
  }

  if (const ConfigReloader* reloader = config_.load())
  {
    const ConfigView config = reloader->view();
    s.config = status::ConfigStatus{config.file, config.loadedAtS, config.reloads, config.error};
  }
  s.latency = midi_.latency.read();
  s.recent = midi_.recent.read(startUs_);
  return s;
}
