// The MIDI input device: enumeration, opening, and the split of each packed
// short message into kind, channel and two data bytes.
#include "midi/midiin.h"

#include <chrono>
#include <cstdio>
#include <exception>
#include <iostream>
#include <ostream>

#include "midi/devicename.h"
#include "midi/mididevicequery.h"
#include "midi/midinames.h"
#include "log/stderr_line.h"
#include "log/thread_entry.h"


MidiIn::MidiIn()
  : MidiIn(MidiDeviceQuery::system())
{
}

MidiIn::MidiIn(MidiDeviceQuery& devices)
  : devices_(devices)
{
}

std::vector<std::string> MidiIn::listDevices()
{
  // The count is asked once: each ask looks at the MIDI system afresh, and
  // the names are those of the look that the count made. A device gone
  // meanwhile answers no name.
  const unsigned int count = devices_.count();
  std::vector<std::string> names;
  names.reserve(count);
  for (unsigned int i = 0; i < count; ++i)
  {
    // One entry per device number, so a failed query still gives one
    // (empty) name and the positions keep matching the numbers.
    std::string name;
    if (!devices_.name(i, name))
      name.clear();
    names.push_back(std::move(name));
  }
  return names;
}

MidiIn::~MidiIn()
{
  endWatch();
}

bool MidiIn::open(int device)
{
  // The list the device is chosen from: the watch remembers its name and
  // how many devices carry it.
  return open(device, listDevices());
}

bool MidiIn::waitFor(const std::string& wanted)
{
  std::lock_guard<std::mutex> lock(watchMutex_);
  if (ending_)
    return false;
  notara::StderrLine() << "waiting for MIDI device \"" << wanted << '"';
  watch_.emplace(wanted);
  startWatch();
  return true;
}

void MidiIn::startWatch()
{
  if (!watchThread_.joinable())
    watchThread_ = std::thread(&MidiIn::watchLoop, this);
}

bool MidiIn::open(int device, const std::vector<std::string>& listed, const std::string& wanted)
{
  std::lock_guard<std::mutex> lock(watchMutex_);
  if (ending_)
    return false;
  if (!openDevice(static_cast<UINT>(device)))
    return false;
  const auto number = static_cast<std::size_t>(static_cast<UINT>(device));
  const std::string name = number < listed.size() ? listed[number] : std::string();
  publish(MidiInputView::State::open, &name);
  if (!name.empty())
  {
    watch_.emplace(name, listed, wanted);
    startWatch();
  }
  return true;
}

bool MidiIn::openDevice(UINT device)
{
  HMIDIIN opened = nullptr;
  lastError_ = midiInOpen(&opened, device, reinterpret_cast<DWORD_PTR>(&midiInCallback),
                          reinterpret_cast<DWORD_PTR>(this), CALLBACK_FUNCTION | MIDI_IO_STATUS);
  if (lastError_ != MMSYSERR_NOERROR)
    return false;
  handle = opened;
  lastError_ = midiInStart(handle);
  if (lastError_ == MMSYSERR_NOERROR)
    return true;
  // The first open keeps a device whose start failed, as it always did;
  // the program ends then. The watch must not keep one it can't use.
  if (watch_)
    closeDevice();
  return false;
}

void MidiIn::closeDevice()
{
  if (handle == nullptr)
    return;
  midiInStop(handle);
  midiInClose(handle);
  handle = nullptr;
}

void MidiIn::publish(MidiInputView::State state, const std::string* name)
{
  if (name != nullptr)
  {
    std::lock_guard<std::mutex> guard(nameMutex_);
    deviceName_ = *name;
  }
  state_.store(state, std::memory_order_relaxed);
}

MidiInputView MidiIn::inputView() const
{
  MidiInputView view;
  {
    std::lock_guard<std::mutex> guard(nameMutex_);
    view.device = deviceName_;
  }
  view.state = state_.load(std::memory_order_relaxed);
  view.eventsRead = eventsRead_.load(std::memory_order_relaxed);
  view.dropped = dropped_.load(std::memory_order_relaxed);
  view.periodsMissed = periodsMissed_.load(std::memory_order_relaxed);
#if defined(_WIN32)
  view.received = view.eventsRead + view.dropped;
#else
  view.received = received_.load(std::memory_order_relaxed);
#endif
  return view;
}


std::string MidiIn::openError() const
{
  char text[MAXERRORLENGTH] = {};
  if (midiInGetErrorTextA(lastError_, text, sizeof text) != MMSYSERR_NOERROR || text[0] == '\0')
    return "error " + std::to_string(lastError_);
  return text;
}

void MidiIn::close()
{
  endWatch();
  std::lock_guard<std::mutex> lock(watchMutex_);
  closeDevice();
  publish(MidiInputView::State::closed);
}

void MidiIn::endWatch()
{
  {
    std::lock_guard<std::mutex> lock(watchMutex_);
    ending_ = true;
  }
  watchWake_.notify_all();
  if (watchThread_.joinable() && watchThread_.get_id() != std::this_thread::get_id())
    watchThread_.join();
}

namespace
{
  // A line from a thread's entry point, which nothing may leave.
  void writeStderrLineSafely(const char* before, const char* what, const char* after) noexcept
  {
    try
    {
      notara::writeStderrLine(std::string(before) + what + after);
    }
    catch (...)
    {
    }
  }
}

void MidiIn::watchLoop()
{
  // The thread's entry point: nothing may leave it. A look that fails (out
  // of memory) is tried again at the next.
  constexpr auto lookInterval = std::chrono::milliseconds(250);
  std::unique_lock<std::mutex> lock(watchMutex_);
  // Said once for a run of failures with the same cause, not four times a
  // second.
  std::string lastFailure;
  while (!ending_)
  {
    watchWake_.wait_for(lock, lookInterval, [this] { return ending_; });
    if (ending_)
      return;
    const char* failure = "";
    try
    {
      lookOnce();
    }
    catch (...)
    {
      failure = notara::currentExceptionText();
      if (failure != lastFailure)
        writeStderrLineSafely("MidiIn::watchLoop: a look at the MIDI devices failed: ", failure,
                              "; looking again four times a second");
    }
    try
    {
      lastFailure = failure;
    }
    catch (...)
    {
    }
  }
}

void MidiIn::lookOnce()
{
  const std::vector<std::string> listed = listDevices();
  const DeviceWatch::Decision decision = watch_->look(listed, false);
  switch (decision.step)
  {
  case DeviceWatch::Step::keep:
    break;
  case DeviceWatch::Step::lose:
    closeDevice();
    publish(MidiInputView::State::gone);
    notara::StderrLine() << "MidiIn: MIDI device \"" << watch_->name()
              << "\" is gone; closed it, waiting for it to return";
    break;
  case DeviceWatch::Step::ambiguous:
  {
    notara::StderrLine line;
    line << "MidiIn: \"" << watch_->wanted() << "\" names more than one MIDI device:";
    const char* separator = " ";
    for (std::size_t i : DeviceName::find(watch_->wanted(), listed))
    {
      line << separator << i << " \"" << listed[i] << '"';
      separator = ", ";
    }
    line << "; opening none";
    break;
  }
  case DeviceWatch::Step::open:
    if (openDevice(decision.device))
    {
      watch_->opened();
      // The name as listed now: a waited-for device's, or one with new
      // ALSA numbers.
      publish(MidiInputView::State::open, &watch_->name());
      notara::StderrLine() << "MidiIn: MIDI device \"" << watch_->name() << "\" is back as number "
                << decision.device << "; opened it";
    }
    else if (watch_->openFailed())
    {
      notara::StderrLine() << "MidiIn: MIDI device \"" << watch_->name() << "\" is listed as number "
                << decision.device << " but can't be opened: " << openError()
                << "; trying again";
    }
    break;
  }
}

void MidiIn::handleInput(std::uint32_t msg, std::uint32_t param1, std::uint32_t /*param2*/)
{
  if (msg == MIM_DATA || msg == MIM_MOREDATA)
  {
    eventsRead_.fetch_add(1, std::memory_order_relaxed);
    // More messages are in hand: what they make may go out together.
    if (msg == MIM_MOREDATA)
      onMoreInput();
    // Windows packs status, data1 and data2 from the lowest byte up; the
    // highest byte carries nothing of the message.
    const auto status = static_cast<std::uint8_t>(param1 & 0xFFu);
    onMessage(static_cast<std::uint8_t>(status >> 4), static_cast<std::uint8_t>(status & 0x0Fu),
              static_cast<std::uint8_t>((param1 >> 8) & 0xFFu),
              static_cast<std::uint8_t>((param1 >> 16) & 0xFFu));
  }
  else if (msg == MIM_LONGDATA)
  {
    notara::StderrLine() << "No idea what to do...";
  }
#if !defined(_WIN32)
  else if (msg == MIM_QUEUE_DROPPED)
  {
    // param1 messages never reached us (the input queue was full, or the
    // MIDI system could not read them); the layer's lines name the cause.
    dropped_.fetch_add(param1, std::memory_order_relaxed);
  }
  else if (msg == MIM_PERIODS_MISSED)
  {
    // The layer's line says so; the view counts them.
    periodsMissed_.fetch_add(param1, std::memory_order_relaxed);
  }
  else if (msg == MIM_INPUT_RECEIVED)
  {
    received_.fetch_add(param1, std::memory_order_relaxed);
  }
#endif
  else if (msg == MIM_ERROR)
  {
    // A malformed message from the device: say so rather than lose it
    // without a word.
    notara::StderrLine() << "MidiIn::handleInput: invalid MIDI message " << param1 << " ignored";
  }
  // Whatever ends a round of messages in hand ends the hold.
  if (msg != MIM_MOREDATA)
    onInputEnd();
}

void MidiIn::onMessage(std::uint8_t kind, std::uint8_t channel, std::uint8_t data1,
                       std::uint8_t data2)
{
  notara::StderrLine line;
  printMessage(line.stream(), kind, channel, data1, data2);
}

void MidiIn::onMoreInput()
{
}

void MidiIn::onInputEnd()
{
}

void MidiIn::printMessage(std::ostream& out, std::uint8_t kind, std::uint8_t channel,
                          std::uint8_t data1, std::uint8_t data2)
{
  // Widened so that the bytes print as numbers, not characters.
  out << unsigned{kind} << ' ' << midiname::kindNames[kind & 7u].trace << ' ';
  if (kind == midiname::systemMessage)
    out << midiname::systemNames[channel & 7u].trace;
  else
    out << unsigned{channel};
  out << ' ' << unsigned{data1} << ' ' << unsigned{data2};
}

void CALLBACK midiInCallback(HMIDIIN /*device*/, UINT msg, DWORD_PTR instance, DWORD_PTR param1,
                             DWORD_PTR param2)
{
  // The MIDI system's thread must never see an exception: a failing handler
  // costs this one message, and the next one is served as usual.
  try
  {
    reinterpret_cast<MidiIn*>(instance)->handleInput(
      static_cast<std::uint32_t>(msg), static_cast<std::uint32_t>(param1),
      static_cast<std::uint32_t>(param2));
  }
  catch (const std::exception& e)
  {
    try
    {
      notara::StderrLine() << "midiInCallback: error handling MIDI message "
                << static_cast<std::uint32_t>(param1) << ": " << e.what();
    }
    catch (...)
    {
    }
  }
  catch (...)
  {
    try
    {
      notara::StderrLine() << "midiInCallback: error handling MIDI message "
                << static_cast<std::uint32_t>(param1) << ": unknown exception";
    }
    catch (...)
    {
    }
  }
}
