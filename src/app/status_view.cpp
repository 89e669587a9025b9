#include "app/status_view.h"

#include "app/build_info.h"
#include "bridge/midi.h"
#include "libgantry/utime.h"

StatusView::StatusView(Midi& midi, std::string device)
    : midi_(midi), device_(std::move(device)), startUs_(libgantry::utime())
{
}

status::Snapshot StatusView::snapshot()
{
  const std::int64_t now = libgantry::utime();
  status::Snapshot s;
  s.version = NOTARA_VERSION;
  s.uptimeS = static_cast<double>(now - startUs_) / 1e6;
  s.midiDevice = device_;
  s.midiOpen = midi_.isOpen();
  s.midiEvents = midi_.eventsRead();
  s.midiDropped = midi_.messagesDropped();
  s.clockRunning = midi_.clockRunning.load(std::memory_order_relaxed);
  if (const std::int64_t interval = midi_.beatInterval.load(std::memory_order_relaxed); interval > 0)
    s.bpm = 60e6 / static_cast<double>(interval);
  s.parameter = midi_.parameter.load(std::memory_order_relaxed);
  s.debug = midi_.debugLevel.load(std::memory_order_relaxed);
  for (const RobotLink::View& view : midi_.robots.views())
  {
    status::RobotStatus robot;
    robot.slot = view.slot;
    robot.host = view.host;
    robot.port = view.port;
    robot.state = view.state == RobotLink::State::up ? "up" : view.state == RobotLink::State::stalled ? "stalled" : "down";
    robot.queuedBytes = view.queuedBytes;
    robot.sent = midi_.robots.sent(static_cast<std::size_t>(view.slot));
    robot.dropped = view.dropped;
    robot.connections = view.connections;
    robot.sinceS = static_cast<double>(now - view.sinceUs) / 1e6;
    s.robots.push_back(std::move(robot));
  }
  s.latency = midi_.latency.read();
  s.recent = midi_.recent.read(startUs_);
  return s;
}
