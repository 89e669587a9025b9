// The Windows multimedia MIDI input functions over MidiSystem and
// MidiInPort.
#include <mmsystem.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <set>

#include "midiinport.h"
#include "midisystem.h"
#include "processendguard.h"

namespace
{
  // The handles now open, so that a stale or made-up handle is refused
  // instead of followed.
  std::mutex handlesMutex;  // guards openHandles, busyCount and ended
  std::set<MidiInPort*> openHandles;
  // Opens and closes under way. The release at process end waits for them,
  // so that no client is being made or closed while the process ends.
  int busyCount = 0;
  std::condition_variable notBusy;
  // Set by the release at process end: no device opens afterwards.
  bool ended = false;

  // Closes every open device and the listing clients: the process is
  // ending. Runs once, on the thread that ends the process (see
  // ProcessEndGuard). The application's callback gets no MIM_CLOSE: it is
  // not told of its device's end when the process ends on Windows either.
  void releaseClients()
  {
    std::set<MidiInPort*> ports;
    {
      std::unique_lock<std::mutex> lock(handlesMutex);
      ended = true;
      notBusy.wait(lock, [] { return busyCount == 0; });
      ports.swap(openHandles);
    }
    for (MidiInPort* port : ports)
    {
      // A port whose delivery thread ends the process can't be joined from
      // there; its client then goes with the process.
      if (port->onDeliveryThread())
        continue;
      try
      {
        port->close();
        delete port;
      }
      catch (...)
      {
      }
    }
    try
    {
      MidiSystem::instance().close();
    }
    catch (...)
    {
    }
  }

  // Called before anything that may open a client. MidiSystem is made
  // first so that it outlives the release registered with atexit.
  void guardProcessEnd()
  {
    // Once: the guard's mutex is held while the releases run, and a release
    // may wait for a thread that is in here.
    static std::once_flag armed;
    std::call_once(armed, [] {
      MidiSystem::instance();
      ProcessEndGuard::arm(&releaseClients);
    });
  }

  // Marks an open or close as under way for as long as it lives; false
  // from claim() once the process is ending.
  class BusyMark
  {
  public:
    bool claim()
    {
      std::lock_guard<std::mutex> lock(handlesMutex);
      return claimLocked();
    }
    // The same with handlesMutex held by the caller.
    bool claimLocked()
    {
      if (ended)
        return false;
      ++busyCount;
      claimed_ = true;
      return true;
    }
    void done()
    {
      if (!claimed_)
        return;
      claimed_ = false;
      {
        std::lock_guard<std::mutex> lock(handlesMutex);
        --busyCount;
      }
      notBusy.notify_all();
    }
    ~BusyMark() { done(); }

  private:
    bool claimed_ = false;
  };

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
    guardProcessEnd();
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
    guardProcessEnd();
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
  const bool status = (flags & MIDI_IO_STATUS) != 0;
  const DWORD kind = flags & ~MIDI_IO_STATUS;
  if ((kind != CALLBACK_FUNCTION && kind != CALLBACK_NULL) || (status && kind != CALLBACK_FUNCTION))
    return fail(MMSYSERR_INVALFLAG);
  try
  {
    guardProcessEnd();
    BusyMark busy;
    if (!busy.claim())
      return fail(MMSYSERR_ERROR);
    MidiPortRef ref;
    if (!MidiSystem::instance().find(deviceId, ref))
      return fail(MMSYSERR_BADDEVICEID);
    const auto function =
      kind == CALLBACK_FUNCTION ? reinterpret_cast<MidiInPort::Callback>(callback) : nullptr;
    auto port = std::make_unique<MidiInPort>(function, instance, JackCalls::libjack(),
                                             MidiInPort::defaultQueueCapacity, status);
    port->open(ref);
    {
      std::lock_guard<std::mutex> lock(handlesMutex);
      openHandles.insert(port.get());
    }
    MidiSystem::instance().deviceOpened(port->api(), true);
    busy.done();
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
  BusyMark busy;
  {
    std::lock_guard<std::mutex> lock(handlesMutex);
    port = lookUp(handle);
    if (port == nullptr)
      return fail(MMSYSERR_INVALHANDLE);
    // Closing waits for the delivery thread, which can't wait for itself.
    if (port->onDeliveryThread())
      return fail(MMSYSERR_ERROR);
    // A port still listed is not the release's: the release takes the
    // whole list under this lock, after it set `ended`.
    busy.claimLocked();
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
  // The client is closed: the release at process end need not wait for
  // the callback.
  MidiSystem::instance().deviceOpened(port->api(), false);
  busy.done();
  notifySafely(*port, MIM_CLOSE);
  delete port;
  return MMSYSERR_NOERROR;
}

MMRESULT midiInGetErrorTextA(MMRESULT error, LPSTR text, UINT size)
{
  if (text == nullptr || size == 0)
    return MMSYSERR_INVALPARAM;
  const char* description = nullptr;
  switch (error)
  {
  case MMSYSERR_NOERROR:
    description = "no error";
    break;
  case MMSYSERR_ERROR:
    description = "the MIDI system failed to open the device";
    break;
  case MMSYSERR_BADDEVICEID:
    description = "no MIDI input device has that number";
    break;
  case MMSYSERR_ALLOCATED:
    description = "the device is in use";
    break;
  case MMSYSERR_INVALHANDLE:
    description = "not an open MIDI input device";
    break;
  case MMSYSERR_NOMEM:
    description = "out of memory";
    break;
  case MMSYSERR_INVALFLAG:
    description = "unsupported flags";
    break;
  case MMSYSERR_INVALPARAM:
    description = "invalid parameter";
    break;
  default:
    text[0] = '\0';
    return MMSYSERR_BADERRNUM;
  }
  const std::size_t length = std::min<std::size_t>(std::strlen(description), size - 1);
  std::memcpy(text, description, length);
  text[length] = '\0';
  return MMSYSERR_NOERROR;
}
