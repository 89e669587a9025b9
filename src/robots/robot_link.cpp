// RobotLink: connection events, the uploads on every connection, and the
// lines that say a robot was lost, is back, or doesn't read.
#include "robots/robot_link.h"

#include <winsock2.h>

#include <iostream>

#include "bridge/midi.h"
#include "libgantry/error.h"
#include "libgantry/utime.h"
#include "robots/script.h"

namespace
{
  /// The control tag's callback: the bridge's control handler, told which
  /// robot's server the message came from.
  class ControlCallback : public VCallbackWrapper
  {
  public:
    ControlCallback(Midi& midi, int slot) : midi_(midi), slot_(slot) {}
    VCallbackAction operator()(const VMessage& msg) override { return midi_.onControl(msg, slot_); }

  private:
    Midi& midi_;
    int slot_;
  };
}

RobotLink::RobotLink(Midi& midi, int slot, const std::string& host, unsigned port)
    : midi_(midi),
      slot_(slot),
      name_("Robot " + std::to_string(slot) + " at " + host + ":" + std::to_string(port)),
      host_(host),
      port_(port),
      stateSince_(libgantry::utime())
{
  client_ = std::make_unique<VSyncClient>(
      host, port, [this](VLinkEvent event, const std::string& detail) { onLinkEvent(event, detail); });
  client_->setCallback(new ControlCallback(midi, slot), "midictl");
  client_->setErrorCallback(new VCallbackWrapperF(onClientError));
}

RobotLink::~RobotLink() = default;

void RobotLink::start()
{
  client_->connect();
}

std::uint64_t RobotLink::dropped() const
{
  return client_->textsDroppedDisconnected() + client_->textsDroppedQueueFull();
}

void RobotLink::writeLine(const std::string& text) const
{
  // One write per line, so that lines of other threads don't cut into it.
  std::cerr << name_ + " " + text + "\n" << std::flush;
}

void RobotLink::onLinkEvent(VLinkEvent event, const std::string& detail)
{
  if (event == VLinkEvent::Connected)
  {
    // Nagle's algorithm would hold back the short per-event texts. The
    // value is an int of length sizeof(int): Linux rejects a shorter option
    // with EINVAL, and Winsock reads the same four bytes as its BOOL.
    const int noDelay = 1;
    if (setsockopt(client_->socketDescriptor(), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay),
                   sizeof(noDelay)) != 0)
      libgantry::perror("setsockopt");

    // A notara.vx that registers actions does so on every connection: what
    // the last one registered goes first, so that one copy stays.
    midi_.withdrawActions(slot_);
    // The uploads are the connection's first bytes; notara.vx is read again
    // each time, so an edited script reaches a robot that comes back.
    client_->send("%s", robotScript);
    client_->sendFile("notara.vx");

    connections_.fetch_add(1, std::memory_order_relaxed);
    setState(State::up);
    backoff_.reset();
    if (down_)
    {
      down_ = false;
      writeLine("back; it missed " + std::to_string(dropped() - droppedAtLoss_) + " texts");
    }
    return;
  }

  setState(State::down);
  if (!down_)
  {
    down_ = true;
    droppedAtLoss_ = dropped();
    writeLine("lost (" + detail + "); connecting again, its texts are dropped meanwhile");
  }
  client_->connect(backoff_.next());
}

void RobotLink::setState(State state)
{
  if (state_.exchange(state, std::memory_order_relaxed) != state)
    stateSince_.store(libgantry::utime(), std::memory_order_relaxed);
}

RobotLink::View RobotLink::view() const
{
  return {slot_,
          host_,
          port_,
          state_.load(std::memory_order_relaxed),
          stateSince_.load(std::memory_order_relaxed),
          connections_.load(std::memory_order_relaxed),
          queuedSeen_.load(std::memory_order_relaxed),
          dropped()};
}

void RobotLink::reportDrops()
{
  // Stalled: texts wait and the queue has not shrunk since the last look,
  // a second ago. The I/O thread's Connected or loss overrides it.
  const std::size_t queued = client_->queuedBytes();
  queuedSeen_.store(queued, std::memory_order_relaxed);
  if (client_->isConnected())
  {
    const bool stalledNow = queued > 0 && lastQueued_ > 0 && queued >= lastQueued_;
    State expected = stalledNow ? State::up : State::stalled;
    if (state_.compare_exchange_strong(expected, stalledNow ? State::stalled : State::up, std::memory_order_relaxed))
      stateSince_.store(libgantry::utime(), std::memory_order_relaxed);
  }
  lastQueued_ = queued;

  const std::uint64_t full = client_->textsDroppedQueueFull();
  const std::uint64_t fresh = full - reportedFull_;
  reportedFull_ = full;
  if (fresh > 0)
  {
    stallDrops_ += fresh;
    stalled_ = true;
    writeLine("doesn't read: " + std::to_string(fresh) + " texts dropped in the last second (its queue of " +
              std::to_string(VSyncClient::defaultQueueLimit) + " bytes is full)");
    return;
  }
  if (!stalled_)
    return;
  if (!client_->isConnected())
  {
    // The "lost" line has taken over.
    stalled_ = false;
    stallDrops_ = 0;
  }
  else if (client_->queuedBytes() == 0)
  {
    writeLine("reads again; " + std::to_string(stallDrops_) + " texts were dropped");
    stalled_ = false;
    stallDrops_ = 0;
  }
}
