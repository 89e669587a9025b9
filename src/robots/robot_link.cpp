// RobotLink: connection events, the uploads on every connection, and the
// lines that say a robot was lost, is back, or doesn't read.
#include "robots/robot_link.h"

#include <winsock2.h>

#include <iostream>

#include "bridge/midi.h"
#include "libgantry/error.h"
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

RobotLink::RobotLink(Midi& midi, int slot, const std::string& host, unsigned port, std::chrono::milliseconds maxAge)
    : midi_(midi), slot_(slot), name_("Robot " + std::to_string(slot) + " at " + host + ":" + std::to_string(port))
{
  VQueuePolicy policy;
  policy.maxAge = maxAge;
  client_ = std::make_unique<VSyncClient>(
      host, port, [this](VLinkEvent event, const std::string& detail) { onLinkEvent(event, detail); },
      VSyncClient::defaultQueueLimit, 2, policy);
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

    backoff_.reset();
    if (down_)
    {
      down_ = false;
      writeLine("back; it missed " + std::to_string(dropped() - droppedAtLoss_) + " texts");
    }
    else if (!everConnected_ && dropped() > 0)
    {
      // Texts sent before the first connection was made never reached it.
      writeLine("connected; it missed " + std::to_string(dropped()) + " texts while connecting");
    }
    everConnected_ = true;
    return;
  }

  if (!down_)
  {
    down_ = true;
    // Before the first connection, every text dropped so far was missed.
    droppedAtLoss_ = everConnected_ ? dropped() : 0;
    writeLine("lost (" + detail + "); connecting again, its texts are dropped meanwhile");
  }
  client_->connect(backoff_.next());
}

void RobotLink::reportDrops()
{
  const std::uint64_t old = client_->textsDroppedOld();
  if (old != reportedOld_)
  {
    writeLine("dropped " + std::to_string(old - reportedOld_) + " texts older than " +
              std::to_string(client_->maxAge().count()) + " ms");
    reportedOld_ = old;
  }

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
