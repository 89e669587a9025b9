// RobotLink: connection events, the uploads on every connection, and the
// lines that say a robot was lost, is back, or doesn't read.
#include "robots/robot_link.h"

#include <winsock2.h>

#include <chrono>
#include <iostream>

#include "libgantry/error.h"
#include "log/stderr_line.h"
#include "robots/script.h"
#include "vaxo/printable.h"

namespace
{
  /// The control tag's callback: the owner's control handler, told which
  /// robot's server the message came from.
  class ControlCallback : public VCallbackWrapper
  {
  public:
    ControlCallback(RobotEvents& events, int slot) : events_(events), slot_(slot) {}
    VCallbackAction operator()(const VMessage& msg) override { return events_.controlArrived(msg, slot_); }

  private:
    RobotEvents& events_;
    int slot_;
  };

  std::int64_t steadyTicks()
  {
    return std::chrono::steady_clock::now().time_since_epoch().count();
  }
}

VCallbackAction onClientError(const VMessage& msg)
{
  // Runs on a reader thread of the client library: nothing may leave it.
  try
  {
    // The text is the server's: escaped, it can't steer the terminal.
    notara::writeStderrLine("Vaxo error: " + vaxo::printable(msg.message));
  }
  catch (...)
  {
  }
  return V_CONTINUE;
}

RobotLink::RobotLink(RobotEvents& events, int slot, const std::string& host, unsigned port,
                     const RobotClientFactory& clients, std::chrono::milliseconds maxAge)
    : events_(events),
      slot_(slot),
      host_(host),
      port_(port),
      address_(host + ":" + std::to_string(port)),
      name_("Robot " + std::to_string(slot) + " at " + address_),
      sinceTicks_(steadyTicks())
{
  VLinkHandler handler = [this](VLinkEvent event, const std::string& detail) { onLinkEvent(event, detail); };
  if (clients)
    client_ = clients(slot, host, port, std::move(handler));
  else
  {
    VQueuePolicy policy;
    policy.maxAge = maxAge;
    client_ = std::make_unique<VSyncClient>(host, port, std::move(handler), VSyncClient::defaultQueueLimit, 2, policy);
  }
  client_->setCallback(new ControlCallback(events, slot), "midictl");
  client_->setErrorCallback(new VCallbackWrapperF(onClientError));
}

RobotLink::~RobotLink() = default;

void RobotLink::start()
{
  client_->connect();
}

void RobotLink::send(const std::string& text)
{
  if (client_->rawSend(text.data(), text.size()) == 0)
    textsSent_.fetch_add(1, std::memory_order_relaxed);
}

RobotLinkView RobotLink::view() const
{
  RobotLinkView view;
  view.slot = slot_;
  view.address = address_;
  view.host = host_;
  view.port = port_;
  view.state = state_.load(std::memory_order_relaxed);
  view.since = std::chrono::steady_clock::time_point(
      std::chrono::steady_clock::duration(sinceTicks_.load(std::memory_order_relaxed)));
  view.queuedBytes = client_->queuedBytes();
  view.textsSent = textsSent_.load(std::memory_order_relaxed);
  view.textsDropped = dropped();
  view.maxAge = client_->maxAge();
  view.textsDroppedOld = client_->textsDroppedOld();
  view.textsReplaced = client_->textsReplaced();
  view.writeLatency = client_->writeLatency().read();
  view.writeLatencySumMicros = client_->writeLatency().sumMicros();
  view.connections = connections_.load(std::memory_order_relaxed);
  return view;
}

void RobotLink::setState(RobotLinkView::State state)
{
  if (state_.exchange(state, std::memory_order_relaxed) != state)
    sinceTicks_.store(steadyTicks(), std::memory_order_relaxed);
}

std::uint64_t RobotLink::dropped() const
{
  return client_->textsDroppedDisconnected() + client_->textsDroppedQueueFull();
}

void RobotLink::writeLine(const std::string& text) const
{
  notara::writeStderrLine(name_ + " " + text);
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
      notara::writeStderrLine(libgantry::describeLastError("setsockopt"));

    connections_.fetch_add(1, std::memory_order_relaxed);
    setState(RobotLinkView::State::up);
    // A notara.vx that registers actions does so on every connection: what
    // the last one registered goes first, so that one copy stays.
    events_.robotConnected(slot_);
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

  setState(RobotLinkView::State::down);
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
