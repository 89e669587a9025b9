// Device names without ALSA's client and port numbers, and the choice of a
// device by a name given on the command line.
#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <vector>

#include "midi/devicename.h"

namespace
{
  using Found = std::vector<std::size_t>;
}

TEST(DeviceName, AlsaNamesLoseTheirClientAndPortNumbersOthersStayWhole)
{
  EXPECT_EQ(DeviceName::key("Keyboard:Keyboard MIDI 1 20:0"), "Keyboard:Keyboard MIDI 1");
  EXPECT_EQ(DeviceName::key("Midi Through:Midi Through Port-0 14:0"), "Midi Through:Midi Through Port-0");
  EXPECT_EQ(DeviceName::key("x 128:15"), "x");
  // JACK names, and numbers that are not a trailing " C:P".
  for (const std::string whole : {"system:midi_capture_1", "a2j:Keyboard [20] (capture): Keyboard MIDI 1",
                                  "keys:out 1", "keys:20:0", " 20:0", "20:0", "keys 20:", "keys :0", "keys 2a:0", ""})
    EXPECT_EQ(DeviceName::key(whole), whole);

  EXPECT_TRUE(DeviceName::same("Keyboard:Keyboard MIDI 1 20:0", "Keyboard:Keyboard MIDI 1 24:0"));
  EXPECT_FALSE(DeviceName::same("Keyboard:Keyboard MIDI 1 20:0", "Keyboard:Keyboard MIDI 2 20:1"));
  EXPECT_FALSE(DeviceName::same("system:midi_capture_1", "system:midi_capture_2"));
}

TEST(DeviceName, AWholeNameComesFirstThenAPartIgnoringCase)
{
  const std::vector<std::string> listed = {"Midi Through:Midi Through Port-0 14:0", "Keyboard:Keyboard MIDI 1 20:0",
                                           "keys:out", "keys:out_2", "Pads:Pads 24:0"};
  EXPECT_EQ(DeviceName::find("keys:out", listed), (Found{2}));
  EXPECT_EQ(DeviceName::find("Keyboard:Keyboard MIDI 1 20:0", listed), (Found{1}));
  // Without the numbers, as the next start may list it under others.
  EXPECT_EQ(DeviceName::find("Keyboard:Keyboard MIDI 1", listed), (Found{1}));
  EXPECT_EQ(DeviceName::find("Keyboard:Keyboard MIDI 1 24:0", listed), (Found{1}));
  EXPECT_EQ(DeviceName::find("pads", listed), (Found{4}));
  EXPECT_EQ(DeviceName::find("KEYBOARD midi", listed), (Found{1}));
  EXPECT_EQ(DeviceName::find("KEYS:OUT", listed), (Found{2, 3}));
  EXPECT_TRUE(DeviceName::ambiguous(DeviceName::find("KEYS:OUT", listed), listed));
  EXPECT_TRUE(DeviceName::ambiguous(DeviceName::find("through", listed), listed) == false);
  EXPECT_EQ(DeviceName::find("drums", listed), Found{});
  EXPECT_EQ(DeviceName::find("", listed), Found{});
}

TEST(DeviceName, DevicesOfOneNameAreNotAmbiguous)
{
  const std::vector<std::string> listed = {"USB MIDI:USB MIDI 1 20:0", "USB MIDI:USB MIDI 1 24:0", "usb:out"};
  EXPECT_FALSE(DeviceName::ambiguous(DeviceName::find("USB MIDI:USB MIDI 1", listed), listed));
  EXPECT_EQ(DeviceName::find("USB MIDI:USB MIDI 1", listed), (Found{0, 1}));
  EXPECT_TRUE(DeviceName::ambiguous(DeviceName::find("usb", listed), listed));
}
