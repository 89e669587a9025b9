#pragma once
// The multimedia MIDI input functions of the Windows API, for systems other
// than Windows, built on RtMidi: the device list is the ALSA sequencer's
// readable ports, then JACK's MIDI output ports. An API that can't be used
// (no sequencer device, no JACK server) contributes no devices and prints
// nothing. A failing function also sets errno to describe its failure
// (ENODEV for a bad device number), for an error printer called after it.
// The real header is used on Windows.
//
// Threading: the functions may be called from any thread. The callback
// given to midiInOpen gets input on a delivery thread of the open device
// (RtMidi's thread only queues, so that a slow callback never stalls the
// MIDI system); MIM_OPEN is delivered from midiInOpen's caller before it
// returns, MIM_CLOSE from midiInClose's. No lock of this layer is held while
// the callback runs. The callback must not close its own device.
//
// Process end: as Windows releases a process's MIDI devices, the layer
// closes its ALSA and JACK clients (open devices and the listing
// clients) before the process ends, so that no lock stays behind in
// libjack's per-user database. On return from main or exit() an atexit
// handler does it, on the exiting thread. For SIGINT, SIGTERM and SIGHUP,
// when their disposition is still the default at the layer's first call,
// the layer installs a handler that only writes to a pipe; a thread of the
// layer (every signal blocked there) then closes the clients, restores the
// default disposition and raises the signal again, so the process ends by
// that signal as before; a second signal meanwhile ends it at once. The
// callback gets no MIM_CLOSE then, and a function called meanwhile finds
// no devices. That release waits for a midiInOpen or midiInClose under way
// (not for callbacks). The listing clients stay open between calls (a
// program that lists the devices often must not make a client each time),
// so a program that ends with std::_Exit runs ProcessEndGuard::releaseNow
// first (notara::platform::endProcess does).
#include "windows.h"

struct HMIDIIN__;
using HMIDIIN = HMIDIIN__*;
using LPHMIDIIN = HMIDIIN*;
using MMRESULT = UINT;

constexpr MMRESULT MMSYSERR_NOERROR = 0;
constexpr MMRESULT MMSYSERR_ERROR = 1;
constexpr MMRESULT MMSYSERR_BADDEVICEID = 2;
constexpr MMRESULT MMSYSERR_ALLOCATED = 4;
constexpr MMRESULT MMSYSERR_INVALHANDLE = 5;
constexpr MMRESULT MMSYSERR_BADERRNUM = 9;
constexpr MMRESULT MMSYSERR_NOMEM = 7;
constexpr MMRESULT MMSYSERR_INVALFLAG = 10;
constexpr MMRESULT MMSYSERR_INVALPARAM = 11;

constexpr UINT MIM_OPEN = 0x3C1;
constexpr UINT MIM_CLOSE = 0x3C2;
constexpr UINT MIM_DATA = 0x3C3;
constexpr UINT MIM_LONGDATA = 0x3C4;
constexpr UINT MIM_ERROR = 0x3C5;
constexpr UINT MIM_LONGERROR = 0x3C6;
constexpr UINT MIM_MOREDATA = 0x3CC;
/// Not a Windows message: this layer's report that param1 messages were
/// dropped since the last such report (input queue full, unreadable, or not
/// whole short messages); the layer writes the line that names the cause.
constexpr UINT MIM_QUEUE_DROPPED = 0x3FF;
/// Not a Windows message: this layer's report that param1 periods of the
/// MIDI system went by without the input (its thread was too late), so
/// that their messages, how many nobody knows, are lost; the layer writes
/// the line.
constexpr UINT MIM_PERIODS_MISSED = 0x3FE;
/// Not a Windows message: param1 messages reached the layer from the MIDI
/// system since the last such report, delivered or not; sent after each
/// round of deliveries, so that what arrived and what was delivered can be
/// compared.
constexpr UINT MIM_INPUT_RECEIVED = 0x3FD;

constexpr DWORD CALLBACK_NULL = 0x00000000u;
constexpr DWORD CALLBACK_FUNCTION = 0x00030000u;
/// With CALLBACK_FUNCTION: a short message that more queued ones follow
/// comes as MIM_MOREDATA instead of MIM_DATA.
constexpr DWORD MIDI_IO_STATUS = 0x00000020u;

constexpr int MAXPNAMELEN = 32;
constexpr UINT MAXERRORLENGTH = 256;

using MMVERSION = UINT;

/// Capabilities of a MIDI input device (44 bytes, as on Windows).
struct MIDIINCAPSA
{
  WORD wMid;
  WORD wPid;
  MMVERSION vDriverVersion;
  CHAR szPname[MAXPNAMELEN];  ///< NUL-terminated name, at most 31 characters
  DWORD dwSupport;
};
using LPMIDIINCAPSA = MIDIINCAPSA*;

/// Number of MIDI input devices now present.
UINT midiInGetNumDevs();

/// Fills `caps` for device `deviceId`; MMSYSERR_BADDEVICEID for a number at
/// or beyond the count, MMSYSERR_INVALPARAM for a null record or a size
/// below sizeof(MIDIINCAPSA).
MMRESULT midiInGetDevCapsA(UINT_PTR deviceId, LPMIDIINCAPSA caps, UINT size);

/// Opens device `deviceId`; only CALLBACK_FUNCTION (with or without
/// MIDI_IO_STATUS) or CALLBACK_NULL is supported. The callback, a
///   void CALLBACK f(HMIDIIN, UINT msg, DWORD_PTR instance, DWORD_PTR p1, DWORD_PTR p2)
/// gets MIM_OPEN at once, then after midiInStart one MIM_DATA per short
/// message (status in bits 0-7, data1 in 8-15, data2 in 16-23 of p1;
/// milliseconds since midiInStart in p2). System exclusive is dropped; a
/// malformed message (no status byte, wrong length) comes as MIM_ERROR with
/// its first bytes packed the same way.
MMRESULT midiInOpen(LPHMIDIIN handle, UINT deviceId, DWORD_PTR callback, DWORD_PTR instance,
                    DWORD flags);

/// Starts delivering input on an open handle.
MMRESULT midiInStart(HMIDIIN handle);

/// Stops delivering input.
MMRESULT midiInStop(HMIDIIN handle);

/// Closes the device; MIM_CLOSE is delivered. The handle is invalid after.
MMRESULT midiInClose(HMIDIIN handle);

/// Writes the text that describes `error` (a result of the functions
/// above) into `text`, cut to `size` characters with its NUL;
/// MMSYSERR_BADERRNUM for an unknown code, MMSYSERR_INVALPARAM for a null
/// or empty buffer.
MMRESULT midiInGetErrorTextA(MMRESULT error, LPSTR text, UINT size);
