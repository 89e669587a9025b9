// One open MIDI input device over RtMidi.
#include "midiinport.h"

#include <chrono>
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

MidiInPort::MidiInPort(Callback callback, DWORD_PTR instance)
  : callback_(callback), instance_(instance), queue_(queueCapacity)
{
  delivery_ = std::thread(&MidiInPort::deliverLoop, this);
}

MidiInPort::~MidiInPort()
{
  close();
}

void MidiInPort::open(const MidiPortRef& port)
{
  auto input = std::make_unique<RtMidiIn>(port.api, "notara");
  input->setErrorCallback(&MidiSystem::ignoreError);
  // System exclusive is dropped, as on Windows without input buffers;
  // timing clock and active sensing are short messages like any other.
  input->ignoreTypes(true, false, false);
  input->setCallback(&MidiInPort::onInput, this);

  // The enumerator and this object each ask the API for its ports, so the
  // port is found again by name rather than trusted by number.
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
}

void MidiInPort::start()
{
  startNanos_.store(nowNanos());
  running_.store(true);
}

void MidiInPort::stop()
{
  running_.store(false);
  std::lock_guard<std::mutex> lock(mutex_);
  queue_.clear();
  dropped_ = 0;
}

void MidiInPort::close()
{
  running_.store(false);
  // Destroying the RtMidi object ends its thread (or JACK client), so
  // nothing is queued after this.
  input_.reset();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    quit_ = true;
  }
  wakeup_.notify_one();
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
                    static_cast<DWORD>(elapsed.count())};
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (queue_.full())
    {
      ++dropped_;
      return;
    }
    queue_.push_back(item);
  }
  wakeup_.notify_one();
}

void MidiInPort::deliverLoop()
{
  // The thread's entry point: nothing may leave it.
  try
  {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;)
    {
      wakeup_.wait(lock, [this] { return quit_ || !queue_.empty() || dropped_ > 0; });
      if (quit_)
        return;
      if (dropped_ > 0)
      {
        const std::size_t dropped = dropped_;
        dropped_ = 0;
        lock.unlock();
        std::cerr << "MidiInPort::deliverLoop: input queue full, " << dropped
                  << " MIDI messages dropped" << std::endl;
        lock.lock();
        continue;
      }
      const Queued item = queue_.front();
      queue_.pop_front();
      lock.unlock();
      try
      {
        notify(item.msg, item.param1, item.param2);
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
      lock.lock();
    }
  }
  catch (...)
  {
    // Only locking can fail here; the device then delivers nothing more.
  }
}
