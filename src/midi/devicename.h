#pragma once
// How device names are compared and how a name given by the user picks a
// device of the list.
//
// The ALSA sequencer's ports are listed as "client:port C:P", C and P the
// client and port numbers. A source that restarts, or a USB device plugged
// in again, often gets another client number, so names are compared without
// that trailing " C:P". JACK's names ("client:port") end in no such numbers
// and are compared whole; so are the names that Windows lists.
//
// Threading: plain functions of their arguments; any thread.
#include <cstddef>
#include <string>
#include <vector>

/// The comparison of device names and the choice of a device by name.
class DeviceName
{
public:
  /// `listed` without a trailing " C:P" of ALSA client and port numbers.
  static std::string key(const std::string& listed);

  /// True when `a` and `b` name the same device (see key).
  static bool same(const std::string& a, const std::string& b);

  /// The devices of `listed` that `wanted` names: those whose name is
  /// `wanted` (whole, or both without their numbers) if any, else those whose name
  /// contains `wanted` ignoring case (ASCII letters), in list order.
  static std::vector<std::size_t> find(const std::string& wanted,
                                       const std::vector<std::string>& listed);

  /// True when `devices` (positions in `listed`) carry two or more names;
  /// devices of one name are told apart by the device watch's own rule.
  static bool ambiguous(const std::vector<std::size_t>& devices,
                        const std::vector<std::string>& listed);

  DeviceName() = delete;
};
