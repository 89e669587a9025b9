// One open MIDI input device: JACK through a client of our own, the ALSA
// sequencer through RtMidi.
#include "midiinport.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <exception>
#include <iostream>
#include <system_error>

#include "shortmessage.h"
#include "log/stderr_line.h"
#include "log/thread_entry.h"

namespace
{
  std::int64_t nowNanos()
  {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
  }
}

MidiInPort::MidiInPort(Callback callback, DWORD_PTR instance, JackCalls& jack,
                       std::size_t queueCapacity, bool moreData)
  : callback_(callback), instance_(instance), jack_(jack), moreData_(moreData), queue_(queueCapacity)
{
  static_assert(std::atomic<bool>::is_always_lock_free &&
                  std::atomic<std::size_t>::is_always_lock_free,
                "the MIDI system's thread must not take a lock");
  if (sem_init(&wakeup_, 0, 0) != 0)
    throw std::system_error(errno, std::generic_category(), "MidiInPort::MidiInPort: sem_init");
  try
  {
    delivery_ = std::thread(&MidiInPort::deliverLoop, this);
  }
  catch (...)
  {
    sem_destroy(&wakeup_);
    throw;
  }
}

MidiInPort::~MidiInPort()
{
  close();
  sem_destroy(&wakeup_);
}

void MidiInPort::open(const MidiPortRef& port)
{
  // Set before the MIDI system's thread starts: the delivery thread reads
  // it only after a message of that thread woke it.
  portName_ = port.name;
  if (port.api == RtMidi::UNIX_JACK)
  {
    JackMidiInput::Sink& sink = *this;
    jackInput_ = std::make_unique<JackMidiInput>(jack_, port.name, sink);
    api_ = port.api;
    return;
  }
  auto input = std::make_unique<RtMidiIn>(port.api, "notara");
  input->setErrorCallback(&MidiSystem::ignoreError);
  // System exclusive is dropped, as on Windows without input buffers;
  // timing clock and active sensing are short messages like any other.
  input->ignoreTypes(true, false, false);
  input->setCallback(&MidiInPort::onInput, this);

  // The listing client and this object each ask the API for its ports, so
  // the port is found again by name rather than trusted by number.
  const unsigned int ports = input->getPortCount();
  unsigned int index = 0;
  while (index < ports && input->getPortName(index) != port.name)
    ++index;
  if (index == ports)
    throw RtMidiError("MidiInPort::open: port vanished: " + port.name,
                      RtMidiError::INVALID_DEVICE);
  input->openPort(index, "notara in");
  if (!input->isPortOpen())
    throw RtMidiError("MidiInPort::open: can't open port " + port.name,
                      RtMidiError::DRIVER_ERROR);
  input_ = std::move(input);
  api_ = port.api;
}

void MidiInPort::start()
{
  startNanos_.store(nowNanos());
  // Messages queued before this start are not delivered after it.
  run_.fetch_add(1);
  running_.store(true);
}

void MidiInPort::stop()
{
  running_.store(false);
  dropped_.store(0);
  unreadable_.store(0);
  missed_.store(0);
}

void MidiInPort::close()
{
  running_.store(false);
  // Closing the JACK client or destroying the RtMidi object ends its
  // thread, so nothing is queued after this.
  jackInput_.reset();
  input_.reset();
  quit_.store(true);
  wake();
  if (delivery_.joinable())
    delivery_.join();
}

void MidiInPort::notify(UINT msg, DWORD param1, DWORD param2)
{
  if (callback_ != nullptr)
    callback_(handle(), msg, instance_, param1, param2);
}

bool MidiInPort::onDeliveryThread() const
{
  return std::this_thread::get_id() == delivery_.get_id();
}

void MidiInPort::onInput(double, std::vector<unsigned char>* message, void* userData)
{
  // RtMidi's thread must never see an exception; nothing here throws.
  auto* port = static_cast<MidiInPort*>(userData);
  port->beginPeriod();
  port->receive(message->data(), message->size());
  port->endPeriod();
}

void MidiInPort::beginPeriod() noexcept
{
  // One look at the state and the clock for the whole period.
  periodRunning_ = running_.load();
  periodRun_ = run_.load();
  periodTime_ = static_cast<DWORD>((nowNanos() - startNanos_.load()) / 1000000);
  periodQueued_ = false;
}

void MidiInPort::receive(const unsigned char* bytes, std::size_t size) noexcept
{
  if (!periodRunning_)
    return;
  received_.fetch_add(1, std::memory_order_relaxed);
  DWORD word = 0;
  ShortMessageKind kind = ShortMessageKind::invalid;
  if (size > 0)
    kind = packShortMessage(bytes, size, word);
  if (kind == ShortMessageKind::dropped)
    return;
  if (kind == ShortMessageKind::data)
    push({MIM_DATA, word, periodTime_, periodRun_});
  else
    push({MIM_ERROR, word, static_cast<DWORD>(size), periodRun_});
}

void MidiInPort::unreadable() noexcept
{
  if (!periodRunning_)
    return;
  received_.fetch_add(1, std::memory_order_relaxed);
  unreadable_.fetch_add(1);
  periodQueued_ = true;
}

void MidiInPort::missedPeriods(std::uint32_t periods) noexcept
{
  // Counted while the input runs only, as every other loss; the wake-up
  // comes with the period that follows (its endPeriod), or with the next
  // event.
  if (!running_.load())
    return;
  missed_.fetch_add(periods);
  periodQueued_ = true;
  wake();
}

void MidiInPort::xrun() noexcept
{
  xruns_.fetch_add(1, std::memory_order_relaxed);
}

void MidiInPort::endPeriod() noexcept
{
  if (periodQueued_)
    wake();
}

void MidiInPort::push(const Queued& item) noexcept
{
  if (!queue_.push(item))
    dropped_.fetch_add(1);
  periodQueued_ = true;
}

void MidiInPort::wake()
{
  // The push before this and the delivery thread's store of sleeping_ true
  // before its look at the queue make a store-then-load on each side: with
  // a sequentially consistent fence on both, at least one of them sees the
  // other's store, so a message is never left behind a sleep.
  std::atomic_thread_fence(std::memory_order_seq_cst);
  if (sleeping_.exchange(false))
    sem_post(&wakeup_);
}

void MidiInPort::deliverLoop()
{
  // The thread's entry point: nothing may leave it, and an error must not
  // end the input for good: it is reported and the loop goes on.
  notara::runUntilDone(
      [this] {
        deliverUntilQuit();
        return true;
      },
      [this](const char* what) { reportDeliveryError(what); });
  try
  {
    // What was lost after the last look, before the close.
    reportLosses();
  }
  catch (...)
  {
  }
}

void MidiInPort::reportDeliveryError(const char* what) noexcept
{
  try
  {
    notara::StderrLine() << "MidiInPort::deliverLoop: " << what << "; delivering on";
  }
  catch (...)
  {
  }
  // A fault that comes back at once must not spin a core.
  std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

void MidiInPort::deliverUntilQuit()
{
  {
    while (!quit_.load())
    {
      deliverQueued();
      sleeping_.store(true);
      // Pairs with the fence in wake: anything that came between the last
      // pop and the flag was pushed before its producer looked at the
      // flag, so it is seen here.
      std::atomic_thread_fence(std::memory_order_seq_cst);
      if (quit_.load() || queue_.read_available() > 0 || dropped_.load() > 0 ||
          unreadable_.load() > 0 || missed_.load() > 0)
      {
        // A producer that cleared the flag has posted: take that post.
        if (!sleeping_.exchange(false))
          while (sem_wait(&wakeup_) != 0 && errno == EINTR)
            ;
        continue;
      }
      while (sem_wait(&wakeup_) != 0 && errno == EINTR)
        ;
    }
  }
}

void MidiInPort::deliver(const Queued& item, UINT msg)
{
  try
  {
    notify(msg, item.param1, item.param2);
  }
  catch (const std::exception& e)
  {
    notara::StderrLine() << "MidiInPort::deliverLoop: callback failed for MIDI message " << item.param1
              << ": " << e.what();
  }
  catch (...)
  {
    notara::StderrLine() << "MidiInPort::deliverLoop: callback failed for MIDI message " << item.param1;
  }
}

void MidiInPort::deliverQueued()
{
  // One message is held back until the next is found, so that it can say
  // whether more follow in this round; the last goes out as soon as the
  // queue is found empty, so a lone message waits for nothing.
  Queued item{};
  Queued pending{};
  bool havePending = false;
  while (queue_.pop(item))
  {
    if (!running_.load() || item.run != run_.load())
      continue;
    if (item.msg == MIM_ERROR)
    {
      if (malformed_++ == 0)
        firstMalformed_ = item;
      continue;
    }
    if (havePending)
      deliver(pending, moreData_ && pending.msg == MIM_DATA ? MIM_MOREDATA : pending.msg);
    pending = item;
    havePending = true;
  }
  if (havePending)
    deliver(pending, pending.msg);
  reportLosses();
  reportReceived();
}

void MidiInPort::reportReceived()
{
  const std::size_t received = received_.load(std::memory_order_relaxed);
  if (received == receivedReported_)
    return;
  const std::size_t count = received - receivedReported_;
  receivedReported_ = received;
  try
  {
    notify(MIM_INPUT_RECEIVED, static_cast<DWORD>(count), 0);
  }
  catch (...)
  {
  }
}

void MidiInPort::reportLosses()
{
  // One line per burst of losses and cause: the count since the last
  // report. Losses counted while the device ran are reported even when it
  // was closed meanwhile; stop discards them.
  std::size_t lost = 0;
  if (const std::size_t dropped = dropped_.exchange(0); dropped > 0)
  {
    lost += dropped;
    notara::StderrLine() << "MidiInPort::deliverLoop: input queue full, " << dropped
              << " MIDI messages dropped" << inputName();
  }
  if (const std::size_t unreadable = unreadable_.exchange(0); unreadable > 0)
  {
    lost += unreadable;
    notara::StderrLine() << "MidiInPort::deliverLoop: JACK could not read " << unreadable
              << " MIDI messages (a cycle ran late); dropped" << inputName();
  }
  if (const std::size_t missed = missed_.exchange(0); missed > 0)
  {
    // How many messages those periods held, nobody knows: the count of
    // periods is what is said, and what the status shows.
    const std::size_t xruns = xruns_.load(std::memory_order_relaxed);
    notara::StderrLine() << "MidiInPort::deliverLoop: JACK ran " << missed
                         << (missed == 1 ? " period" : " periods")
                         << " without this input (its thread came too late); any MIDI messages they held are lost ("
                         << xruns << (xruns == 1 ? " late cycle" : " late cycles") << " reported so far)"
                         << inputName();
    try
    {
      notify(MIM_PERIODS_MISSED, static_cast<DWORD>(missed), 0);
    }
    catch (...)
    {
    }
  }
  if (malformed_ > 0)
  {
    lost += malformed_;
    reportMalformed();
  }
  // The application counts what never reached it (its input view); the
  // lines above name the causes. The last report runs before the close
  // returns, so it comes before MIM_CLOSE.
  if (lost > 0)
  {
    try
    {
      notify(MIM_QUEUE_DROPPED, static_cast<DWORD>(lost), 0);
    }
    catch (...)
    {
    }
  }
}

void MidiInPort::reportMalformed()
{
  const std::size_t count = malformed_;
  malformed_ = 0;
  const auto size = static_cast<std::size_t>(firstMalformed_.param2);
  std::string bytes;
  for (std::size_t i = 0; i < size && i < 3; ++i)
  {
    char hex[8];
    std::snprintf(hex, sizeof hex, "%s%02x", i == 0 ? "" : " ",
                  static_cast<unsigned>((firstMalformed_.param1 >> (8 * i)) & 0xFFu));
    bytes += hex;
  }
  if (size > 3)
    bytes += " ...";
  notara::StderrLine() << "MidiInPort::deliverLoop: " << count
            << " MIDI messages dropped that are not whole short messages (the first: " << size
            << (size == 1 ? " byte" : " bytes") << (size > 0 ? ", " : "") << bytes << ")" << inputName();
}

std::string MidiInPort::inputName() const
{
  return portName_.empty() ? std::string() : "; input \"" + portName_ + "\"";
}
