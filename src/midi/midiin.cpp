// The MIDI input device: enumeration, opening, and the split of each packed
// short message into kind, channel and two data bytes.
#include "midi/midiin.h"

#include <exception>
#include <iostream>
#include <ostream>

#include "midi/midinames.h"

namespace
{
  // Indexed by the low three bits of the kind (kind 8 is entry 0).
  constexpr const char* kindNames[8] = {
    "Note off", "Note on", "key pressure", "parameter",
    "program",  "chan pressure", "pitch wheel", "realtime",
  };

  // Indexed by the low three bits of a system message's number (0xF8 is
  // entry 0); the system common statuses share these names.
  constexpr const char* systemNames[8] = {
    "clocktick", "undef", "start", "continue", "stop", "undef", "sensing", "reset",
  };
}

std::vector<std::string> MidiIn::listDevices()
{
  std::vector<std::string> names;
  // The count is asked again each step: a device may go away meanwhile.
  for (UINT i = 0; i < midiInGetNumDevs(); ++i)
  {
    MIDIINCAPSA caps{};
    // One entry per device number, so a failed query still gives one
    // (empty) name and the positions keep matching the numbers.
    if (midiInGetDevCapsA(i, &caps, sizeof caps) != MMSYSERR_NOERROR)
      caps.szPname[0] = '\0';
    caps.szPname[MAXPNAMELEN - 1] = '\0';
    names.emplace_back(caps.szPname);
  }
  return names;
}

bool MidiIn::open(int device)
{
  const MMRESULT opened =
    midiInOpen(&handle, static_cast<UINT>(device), reinterpret_cast<DWORD_PTR>(&midiInCallback),
               reinterpret_cast<DWORD_PTR>(this), CALLBACK_FUNCTION);
  if (opened != MMSYSERR_NOERROR)
    return false;
  return midiInStart(handle) == MMSYSERR_NOERROR;
}

void MidiIn::handleInput(std::uint32_t msg, std::uint32_t param1, std::uint32_t /*param2*/)
{
  if (traceRaw)
    std::cerr << "message " << msg << ' ' << param1 << std::endl;

  if (msg == MIM_DATA)
  {
    // Windows packs status, data1 and data2 from the lowest byte up; the
    // highest byte carries nothing of the message.
    const auto status = static_cast<std::uint8_t>(param1 & 0xFFu);
    onMessage(static_cast<std::uint8_t>(status >> 4), static_cast<std::uint8_t>(status & 0x0Fu),
              static_cast<std::uint8_t>((param1 >> 8) & 0xFFu),
              static_cast<std::uint8_t>((param1 >> 16) & 0xFFu));
  }
  else if (msg == MIM_LONGDATA)
  {
    std::cerr << "No idea what to do..." << std::endl;
  }
  else if (msg == MIM_ERROR)
  {
    // A malformed message from the device: say so rather than lose it
    // without a word.
    std::cerr << "MidiIn::handleInput: invalid MIDI message " << param1 << " ignored"
              << std::endl;
  }
}

void MidiIn::onMessage(std::uint8_t kind, std::uint8_t channel, std::uint8_t data1,
                       std::uint8_t data2)
{
  printMessage(std::cerr, kind, channel, data1, data2);
}

void MidiIn::printMessage(std::ostream& out, std::uint8_t kind, std::uint8_t channel,
                          std::uint8_t data1, std::uint8_t data2)
{
  // Widened so that the bytes print as numbers, not characters.
  out << unsigned{kind} << ' ' << kindNames[kind & 7u] << ' ';
  if (kind == midiname::systemMessage)
    out << systemNames[channel & 7u];
  else
    out << unsigned{channel};
  out << ' ' << unsigned{data1} << ' ' << unsigned{data2} << std::endl;
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
      std::cerr << "midiInCallback: error handling MIDI message "
                << static_cast<std::uint32_t>(param1) << ": " << e.what() << std::endl;
    }
    catch (...)
    {
    }
  }
  catch (...)
  {
    try
    {
      std::cerr << "midiInCallback: error handling MIDI message "
                << static_cast<std::uint32_t>(param1) << ": unknown exception" << std::endl;
    }
    catch (...)
    {
    }
  }
}
