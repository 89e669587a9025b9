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
