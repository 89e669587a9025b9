#include <chrono>
#include <cstdint>
#include <iostream>
#include <mutex>

#include "bridge/midi.h"
#include "bridge/actionowners.h"
#include "libgantry/utime.h"
#include "midi/midinames.h"
#include "vaxo/client.h"
#include "log/stderr_line.h"

using midiname::controlChange;
using midiname::noteOff;
using midiname::noteOn;
using midiname::systemMessage;

namespace
{
  // Set while this thread dispatches an event, so that the texts it sends
  // are recorded with the event; other threads' sends are not.
  thread_local bool dispatching = false;
  // Set while this input thread holds the dispatch mutex for a round of
  // messages in hand (Midi::beginRound to Midi::endRound).
  thread_local bool inRound = false;

  // Records the event and marks the thread as dispatching it for as long
  // as it lives.
  class EventRecord
  {
  public:
    // `kept` false: timed, but not kept in the ring.
    EventRecord(Midi& midi, std::int64_t now, bool kept, std::uint8_t kind, std::uint8_t channel,
                std::uint8_t data1, std::uint8_t data2)
        : midi_(midi), kept_(kept)
    {
      midi_.eventStart = now;
      // The robots' write latency and age limit count from the event's
      // arrival (utime is steady_clock's count of microseconds).
      VSyncClient::stampSends(std::chrono::steady_clock::time_point(std::chrono::microseconds(now)));
      if (kept_)
        midi_.recent.begin(now, kind, channel, data1, data2);
      dispatching = true;
    }
    ~EventRecord()
    {
      dispatching = false;
      VSyncClient::stampSends({});
      if (kept_)
        midi_.recent.end();
    }
    EventRecord(const EventRecord&) = delete;
    EventRecord& operator=(const EventRecord&) = delete;

  private:
    Midi& midi_;
    const bool kept_;
  };
}

bool Midi::dispatchingEvent()
{
  return dispatching;
}

void Midi::onMessage(std::uint8_t kind, std::uint8_t channel, std::uint8_t data1,
                     std::uint8_t data2)
{
  dispatchFrom(0, kind, channel, data1, data2);
}

void Midi::dispatchFrom(int input, std::uint8_t kind, std::uint8_t channel, std::uint8_t data1,
                        std::uint8_t data2)
{
  const auto index = static_cast<std::size_t>(input) % static_cast<std::size_t>(Inputs::maxInputs);
  if (kind == systemMessage)
  {
    // One clock: two sources of tempo would make a tempo of neither.
    if (index != 0 && midiname::isClockMessage(channel))
    {
      clocksIgnored_[index].fetch_add(1, std::memory_order_relaxed);
      return;
    }
  }
  else if (const int mapped = inputChannels_[index].load(std::memory_order_relaxed); mapped >= 0)
    channel = static_cast<std::uint8_t>(mapped);
  // Each input has a thread of its own; the bridge's state is the MIDI
  // thread's, so one of them at a time is it: for the event, or for the
  // round it began.
  if (inRound)
  {
    dispatch(kind, channel, data1, data2);
    return;
  }
  std::lock_guard<std::mutex> guard(dispatchMutex_);
  dispatch(kind, channel, data1, data2);
}

void Midi::beginRound()
{
  if (!inRound)
  {
    dispatchMutex_.lock();
    inRound = true;
  }
  VSyncClient::holdSends();
}

void Midi::endRound()
{
  VSyncClient::flushHeldSends();
  if (inRound)
  {
    inRound = false;
    dispatchMutex_.unlock();
  }
}

void Midi::dispatch(std::uint8_t kind, std::uint8_t channel, std::uint8_t data1, std::uint8_t data2)
{
  // One reading for both message traces, so that a level changed by another
  // thread in between can't trace the same event twice.
  const int level = debugLevel.load(std::memory_order_relaxed);
  const bool tracedEarly = (level > 10 && kind != systemMessage) || level > 10000;
  if (tracedEarly)
  {
    notara::StderrLine line;
    printMessage(line.stream(), kind, channel, data1, data2);
  }

  const std::int64_t now = libgantry::utime();
  if (kind == systemMessage)
  {
    // Clocks, 24 a beat, would push every other event out of the ring.
    const EventRecord record(*this, now, channel != midiname::clock, kind, channel, data1, data2);
    handleRealtime(channel);
    return;
  }
  const EventRecord record(*this, now, true, kind, channel, data1, data2);
  if (kind != noteOff && kind != noteOn && kind != controlChange)
    return;

  if (level >= 6 && level <= 9)
  {
    notara::StderrLine line;
    printMessage(line.stream(), kind, channel, data1, data2);
  }

  const int slot = midiname::slotOf(kind, channel);
  // channel is a nibble from the decoder, but a caller handing in more must
  // not index past the tables.
  if (slot >= slotCount)
    return;

  std::lock_guard<Lockable> guard(lock);
  const ActionOwners::Walk walk(*owners, actions);
  const std::vector<Action>& table = actions[static_cast<std::size_t>(slot)];
  // The level may have changed while we waited for the lock.
  const int walkLevel = debugLevel.load(std::memory_order_relaxed);
  if (walkLevel > 10)
    notara::StderrLine() << table.size() << " actions on channel " << slot;

  // The count is taken once, and each record is read by index and copied
  // before its operation runs, so the walk stays sound even if an operation
  // appended to this table while executing, or withdrew records from it
  // (they are then only marked, and skipped; the walk's end removes them,
  // and their operations with the last record of each).
  const std::size_t count = table.size();
  for (std::size_t i = 0; i < count && i < table.size(); ++i)
  {
    // The fields are copied before the operation runs (it may append to
    // the table, which moves the records); the operation itself stays alive
    // to the walk's end, as the record holding it does.
    const Action& record = table[i];
    if (record.owner == ActionOwners::withdrawn)
      continue;
    const struct
    {
      std::uint8_t filterValue, filterMask;
      std::uint32_t parameterValue, parameterMask;
      Operation* operation;
      int robotMask;
    } action{record.filterValue,    record.filterMask, record.parameterValue,
             record.parameterMask, record.operation.get(), record.robotMask};
    if (walkLevel > 50)
      notara::StderrLine() << "trying " << unsigned(data1) << " on filter " << unsigned(action.filterValue)
                << '/' << unsigned(action.filterMask) << '=' << action.parameterValue << '/'
                << action.parameterMask;

    // The parameter word is read for every record: an operation earlier in
    // this walk may have changed it, and the records after it see the change.
    const std::uint32_t word = parameter.load(std::memory_order_relaxed);
    if ((data1 & action.filterMask) != action.filterValue ||
        (word & action.parameterMask) != action.parameterValue)
      continue;

    if (walkLevel > 20)
      notara::StderrLine() << reinterpret_cast<std::intptr_t>(action.operation)
                << " has a matching filter, execing..";
    action.operation->execute(action.robotMask, kind, slot, data1, data2);
  }
}
