// One open MIDI input device over RtMidi.
#include "midiinport.h"

#include <cerrno>
#include <chrono>
#include <system_error>
#include <exception>
#include <iostream>

#include "shortmessage.h"

namespace
{
  std::int64_t nowNanos()
  {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
  }
}

MidiInPort::MidiInPort(Callback callback, DWORD_PTR instance, bool moreData)
  : callback_(callback), instance_(instance), moreData_(moreData)
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
}

void MidiInPort::close()
{
  running_.store(false);
  // Destroying the RtMidi object ends its thread (or JACK client), so
  // nothing is queued after this.
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
  // RtMidi's thread must never see an exception.
  try
  {
    static_cast<MidiInPort*>(userData)->queue(*message);
  }
  catch (...)
  {
  }
}

void MidiInPort::queue(const std::vector<unsigned char>& message)
{
  if (!running_.load())
    return;
  DWORD word = 0;
  const ShortMessageKind kind = packShortMessage(message.data(), message.size(), word);
  if (kind == ShortMessageKind::dropped)
    return;
  const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
    std::chrono::nanoseconds(nowNanos() - startNanos_.load()));
  const Queued item{kind == ShortMessageKind::data ? MIM_DATA : MIM_ERROR, word,
                    static_cast<DWORD>(elapsed.count()), run_.load()};
  if (!queue_.push(item))
    dropped_.fetch_add(1);
  wake();
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
  // The thread's entry point: nothing may leave it.
  try
  {
    while (!quit_.load())
    {
      deliverQueued();
      sleeping_.store(true);
      // Pairs with the fence in wake: anything that came between the last
      // pop and the flag was pushed before its producer looked at the
      // flag, so it is seen here.
      std::atomic_thread_fence(std::memory_order_seq_cst);
      if (quit_.load() || queue_.read_available() > 0 || dropped_.load() > 0)
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
  catch (...)
  {
    // Nothing here throws but the output of a report; the device then
    // delivers nothing more.
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
    std::cerr << "MidiInPort::deliverLoop: callback failed for MIDI message " << item.param1
              << ": " << e.what() << std::endl;
  }
  catch (...)
  {
    std::cerr << "MidiInPort::deliverLoop: callback failed for MIDI message " << item.param1
              << std::endl;
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
    if (havePending)
      deliver(pending, moreData_ && pending.msg == MIM_DATA ? MIM_MOREDATA : pending.msg);
    pending = item;
    havePending = true;
  }
  if (havePending)
    deliver(pending, pending.msg);
  // One line per burst of losses: the count since the last report.
  if (const std::size_t dropped = dropped_.exchange(0); dropped > 0 && running_.load())
    std::cerr << "MidiInPort::deliverLoop: input queue full, " << dropped
              << " MIDI messages dropped" << std::endl;
}
