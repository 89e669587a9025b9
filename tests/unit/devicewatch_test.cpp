// The device watch's decisions over a scripted device list: a device that
// goes and returns under another number, a MIDI system that closed the
// device itself, a device that can't be opened again, and two devices of
// the same name.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "midi/devicewatch.h"

namespace
{
  using Step = DeviceWatch::Step;
  using List = std::vector<std::string>;

  void expectDecision(DeviceWatch::Decision decision, Step step, unsigned int device = 0)
  {
    EXPECT_EQ(decision.step, step);
    if (step == Step::open)
    {
      EXPECT_EQ(decision.device, device);
    }
  }
}

TEST(DeviceWatch, KeepsAListedDeviceLosesItWhenGoneAndOpensItUnderItsNewNumber)
{
  DeviceWatch watch("keys", {"through", "keys"});
  expectDecision(watch.look({"through", "keys"}, false), Step::keep);
  // Other devices coming and going, the watched one moving: nothing to do.
  expectDecision(watch.look({"pads", "through", "keys"}, false), Step::keep);
  expectDecision(watch.look({"keys"}, false), Step::keep);
  EXPECT_TRUE(watch.isOpen());

  expectDecision(watch.look({"through"}, false), Step::lose);
  EXPECT_FALSE(watch.isOpen());
  // Once lost, an empty list or one without the name decides nothing.
  expectDecision(watch.look({}, false), Step::keep);
  expectDecision(watch.look({"through", "key", "keys2", "Keys"}, false), Step::keep);

  expectDecision(watch.look({"through", "pads", "keys"}, false), Step::open, 2);
  watch.opened();
  EXPECT_TRUE(watch.isOpen());
  expectDecision(watch.look({"through", "pads", "keys"}, false), Step::keep);
}

TEST(DeviceWatch, ADeviceClosedByItsSystemIsLostEvenWhileItsNameIsListed)
{
  DeviceWatch watch("keys", {"keys"});
  expectDecision(watch.look({"keys"}, true), Step::lose);
  expectDecision(watch.look({"keys"}, false), Step::open, 0);
}

TEST(DeviceWatch, ADeviceThatCantBeOpenedIsTriedAtEachLookAndReportedOnce)
{
  DeviceWatch watch("keys", {"keys"});
  expectDecision(watch.look({}, false), Step::lose);
  expectDecision(watch.look({"keys"}, false), Step::open, 0);
  EXPECT_TRUE(watch.openFailed());
  EXPECT_FALSE(watch.isOpen());
  expectDecision(watch.look({"keys"}, false), Step::open, 0);
  EXPECT_FALSE(watch.openFailed());
  expectDecision(watch.look({"keys"}, false), Step::open, 0);
  watch.opened();
  expectDecision(watch.look({"keys"}, false), Step::keep);

  // A new loss is a new fault, reported again.
  expectDecision(watch.look({}, false), Step::lose);
  expectDecision(watch.look({"keys"}, false), Step::open, 0);
  EXPECT_TRUE(watch.openFailed());
}

TEST(DeviceWatch, TwoDevicesOfOneName)
{
  // Opened as the second of two: one of them going may be the open one,
  // so the device is given up and the first of the name opened instead.
  DeviceWatch watch("keys", {"keys", "pads", "keys"});
  expectDecision(watch.look({"keys", "pads", "keys"}, false), Step::keep);
  expectDecision(watch.look({"pads", "keys"}, false), Step::lose);
  expectDecision(watch.look({"pads", "keys"}, false), Step::open, 1);
  watch.opened();
  expectDecision(watch.look({"pads", "keys"}, false), Step::keep);

  // A second one added changes nothing; its going again is a fall from two.
  expectDecision(watch.look({"keys", "pads", "keys"}, false), Step::keep);
  expectDecision(watch.look({"pads", "keys"}, false), Step::lose);

  // Both return at once: the first of the list is opened, and the count
  // from that list is what a later fall is measured against.
  expectDecision(watch.look({"keys", "keys"}, false), Step::open, 0);
  watch.opened();
  expectDecision(watch.look({"keys"}, false), Step::lose);
}

TEST(DeviceWatch, AnAlsaPortIsFoundAgainUnderNewClientNumbersAndJackNamesCompareWhole)
{
  // The source restarted as another ALSA client: the same device.
  DeviceWatch watch("Keyboard:Keyboard MIDI 1 20:0", {"Through:Port-0 14:0", "Keyboard:Keyboard MIDI 1 20:0"});
  expectDecision(watch.look({"Keyboard:Keyboard MIDI 1 20:0"}, false), Step::keep);
  expectDecision(watch.look({"Through:Port-0 14:0"}, false), Step::lose);
  expectDecision(watch.look({"Through:Port-0 14:0", "Keyboard:Keyboard MIDI 1 24:0"}, false), Step::open, 1);
  watch.opened();
  EXPECT_EQ(watch.name(), "Keyboard:Keyboard MIDI 1 24:0");
  // Gone once more, while a port of another name is listed: not the same device.
  expectDecision(watch.look({"Keyboard:Keyboard MIDI 2 24:1"}, false), Step::lose);
  expectDecision(watch.look({"Keyboard:Keyboard MIDI 2 24:1"}, false), Step::keep);

  // JACK names have no numbers; another port of the client is another device.
  DeviceWatch jack("keys:out_1", {"keys:out_1"});
  expectDecision(jack.look({"keys:out_2"}, false), Step::lose);
  expectDecision(jack.look({"keys:out_2", "keys:out_1 "}, false), Step::keep);
  expectDecision(jack.look({"keys:out_2", "keys:out_1"}, false), Step::open, 1);
}

TEST(DeviceWatch, AWatchForAGivenNameOpensTheFirstDeviceItPicksOnceListed)
{
  DeviceWatch watch("keyboard");
  EXPECT_FALSE(watch.isOpen());
  expectDecision(watch.look({}, false), Step::keep);
  expectDecision(watch.look({"pads:out"}, false), Step::keep);
  // Two names picked: none opened, said once while it lasts.
  expectDecision(watch.look({"Keyboard:A 20:0", "Keyboard:B 20:1"}, false), Step::ambiguous);
  expectDecision(watch.look({"Keyboard:A 20:0", "Keyboard:B 20:1"}, false), Step::keep);
  expectDecision(watch.look({"pads:out", "Keyboard:A 28:0"}, false), Step::open, 1);
  watch.opened();
  EXPECT_TRUE(watch.isOpen());
  EXPECT_EQ(watch.name(), "Keyboard:A 28:0");
  // From now on it is the watch of that device, by its name.
  expectDecision(watch.look({"Keyboard:A 28:0", "Keyboard:B 28:1"}, false), Step::keep);
  expectDecision(watch.look({"Keyboard:B 28:1"}, false), Step::lose);
  expectDecision(watch.look({"Keyboard:B 28:1"}, false), Step::keep);
}

TEST(DeviceWatch, ADeviceOpenedByAGivenNameComesBackUnderAnotherNameThatItPicks)
{
  // A JACK source that comes back while another client holds its old
  // client name gets a name of its own from the server.
  DeviceWatch watch("midi-pattern:pads", {"midi-pattern:pads", "keys"}, "pads");
  expectDecision(watch.look({"keys"}, false), Step::lose);
  // Its own name first, when it is listed: the device, not a look-alike.
  expectDecision(watch.look({"keys", "midi-pattern-01:pads", "midi-pattern:pads"}, false), Step::open, 2);
  watch.opened();
  EXPECT_EQ(watch.name(), "midi-pattern:pads");
  expectDecision(watch.look({"keys"}, false), Step::lose);
  expectDecision(watch.look({"keys", "midi-pattern-01:pads"}, false), Step::open, 1);
  watch.opened();
  EXPECT_EQ(watch.name(), "midi-pattern-01:pads");
  expectDecision(watch.look({"keys", "midi-pattern-01:pads"}, false), Step::keep);
  // Gone again, and the name picks two devices: none is opened, said once.
  expectDecision(watch.look({"keys"}, false), Step::lose);
  expectDecision(watch.look({"a:pads", "b:pads"}, false), Step::ambiguous);
  expectDecision(watch.look({"a:pads", "b:pads"}, false), Step::keep);
  EXPECT_EQ(watch.wanted(), "pads");

  // A device chosen by its number has no name of the user's: only its own
  // name brings it back.
  DeviceWatch byNumber("midi-pattern:pads", {"midi-pattern:pads"});
  expectDecision(byNumber.look({}, false), Step::lose);
  expectDecision(byNumber.look({"midi-pattern-01:pads"}, false), Step::keep);
  expectDecision(byNumber.look({"midi-pattern:pads"}, false), Step::open, 0);
}
