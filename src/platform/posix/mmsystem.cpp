// The Windows multimedia MIDI input functions over MidiSystem and
// MidiInPort.
#include <mmsystem.h>

#include <cerrno>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <set>

#include "midiinport.h"
#include "midisystem.h"

namespace
{
  // The handles now open, so that a stale or made-up handle is refused
  // instead of followed.
  std::mutex handlesMutex;
  std::set<MidiInPort*> openHandles;

  MidiInPort* lookUp(HMIDIIN handle)
  {
    auto* port = reinterpret_cast<MidiInPort*>(handle);
    return openHandles.count(port) != 0 ? port : nullptr;
  }

  // Sets errno to match a failure, so that an error printer called after a
  // failed open describes it (the probes of the MIDI systems leave errno at
  // whatever their own failure was).
  MMRESULT fail(MMRESULT result)
  {
    switch (result)
    {
    case MMSYSERR_BADDEVICEID:
      errno = ENODEV;
      break;
    case MMSYSERR_INVALHANDLE:
      errno = EBADF;
      break;
    case MMSYSERR_NOMEM:
      errno = ENOMEM;
      break;
    case MMSYSERR_INVALFLAG:
    case MMSYSERR_INVALPARAM:
      errno = EINVAL;
      break;
    default:
      errno = EIO;
      break;
    }
    return result;
  }

  // The device is open (or closed) whatever the callback does with the
  // notice, so a callback that throws changes nothing.
  void notifySafely(MidiInPort& port, UINT msg)
  {
    try
    {
      port.notify(msg, 0, 0);
    }
    catch (...)
    {
    }
  }

  // Cuts `name` to what szPname holds, never inside a UTF-8 sequence.
  void copyName(const std::string& name, CHAR (&target)[MAXPNAMELEN])
  {
    std::size_t length = name.size();
    if (length > MAXPNAMELEN - 1)
    {
      length = MAXPNAMELEN - 1;
      while (length > 0 && (static_cast<unsigned char>(name[length]) & 0xC0u) == 0x80u)
        --length;
    }
    std::memcpy(target, name.data(), length);
    target[length] = '\0';
  }
}

UINT midiInGetNumDevs()
{
  try
  {
    return MidiSystem::instance().count();
  }
  catch (...)
  {
    return 0;
  }
}

MMRESULT midiInGetDevCapsA(UINT_PTR deviceId, LPMIDIINCAPSA caps, UINT size)
{
  if (caps == nullptr || size < sizeof(MIDIINCAPSA))
    return fail(MMSYSERR_INVALPARAM);
  try
  {
    MidiPortRef port;
    if (deviceId > 0xFFFFFFFFu ||
        !MidiSystem::instance().find(static_cast<unsigned int>(deviceId), port))
      return fail(MMSYSERR_BADDEVICEID);
    // No manufacturer or product registered for these ports.
    caps->wMid = 0xFFFF;
    caps->wPid = 0xFFFF;
    caps->vDriverVersion = 0x0100;
    caps->dwSupport = 0;
    copyName(port.name, caps->szPname);
    return MMSYSERR_NOERROR;
  }
  catch (const std::bad_alloc&)
  {
    return fail(MMSYSERR_NOMEM);
  }
  catch (...)
  {
    return fail(MMSYSERR_ERROR);
  }
}

MMRESULT midiInOpen(LPHMIDIIN handle, UINT deviceId, DWORD_PTR callback, DWORD_PTR instance,
                    DWORD flags)
{
  if (handle == nullptr)
    return fail(MMSYSERR_INVALPARAM);
  if (flags != CALLBACK_FUNCTION && flags != CALLBACK_NULL)
    return fail(MMSYSERR_INVALFLAG);
  try
  {
    MidiPortRef ref;
    if (!MidiSystem::instance().find(deviceId, ref))
      return fail(MMSYSERR_BADDEVICEID);
    const auto function =
      flags == CALLBACK_FUNCTION ? reinterpret_cast<MidiInPort::Callback>(callback) : nullptr;
    auto port = std::make_unique<MidiInPort>(function, instance);
    port->open(ref);
    {
      std::lock_guard<std::mutex> lock(handlesMutex);
      openHandles.insert(port.get());
    }
    *handle = port->handle();
    notifySafely(*port.release(), MIM_OPEN);
    return MMSYSERR_NOERROR;
  }
  catch (const std::bad_alloc&)
  {
    return fail(MMSYSERR_NOMEM);
  }
  catch (...)
  {
    return fail(MMSYSERR_ERROR);
  }
}

MMRESULT midiInStart(HMIDIIN handle)
{
  std::lock_guard<std::mutex> lock(handlesMutex);
  MidiInPort* port = lookUp(handle);
  if (port == nullptr)
    return fail(MMSYSERR_INVALHANDLE);
  port->start();
  return MMSYSERR_NOERROR;
}

MMRESULT midiInStop(HMIDIIN handle)
{
  try
  {
    std::lock_guard<std::mutex> lock(handlesMutex);
    MidiInPort* port = lookUp(handle);
    if (port == nullptr)
      return fail(MMSYSERR_INVALHANDLE);
    port->stop();
    return MMSYSERR_NOERROR;
  }
  catch (...)
  {
    return fail(MMSYSERR_ERROR);
  }
}

MMRESULT midiInClose(HMIDIIN handle)
{
  MidiInPort* port = nullptr;
  {
    std::lock_guard<std::mutex> lock(handlesMutex);
    port = lookUp(handle);
    if (port == nullptr)
      return fail(MMSYSERR_INVALHANDLE);
    // Closing waits for the delivery thread, which can't wait for itself.
    if (port->onDeliveryThread())
      return fail(MMSYSERR_ERROR);
    openHandles.erase(port);
  }
  try
  {
    port->close();
  }
  catch (...)
  {
    // The thread can't be joined; the device stays allocated rather than
    // being freed under it.
    return fail(MMSYSERR_ERROR);
  }
  notifySafely(*port, MIM_CLOSE);
  delete port;
  return MMSYSERR_NOERROR;
}
