// notara --device NAME: the device by its whole name, by a part of it in
// any case, an error for a part that names two devices, and a wait for a
// device that is listed only after the start.
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/jack_source_test.h"
#include "support/notara_run.h"
#include "support/private_jack_server.h"
#include "support/test_server.h"

using namespace notara::test;

namespace
{
  [[maybe_unused]] testing::Environment* const privateJack =
    testing::AddGlobalTestEnvironment(new notara::test::PrivateJackEnvironment);

  const std::string mapping = "action 1 0 1 EmitMap midi.key\n";

  class DeviceNameTest : public JackSourceTest
  {
  protected:
    DeviceNameTest() : JackSourceTest("dn-keys") {}

    // Starts notara with `args`, waits until it idles and its robot has
    // the uploads.
    NotaraRun& startWith(const std::vector<std::string>& args)
    {
      connection = server.connectionCount();
      run = std::make_unique<NotaraRun>(NOTARA_BINARY, robotLine(0, server.port()) + mapping);
      run->start(args);
      EXPECT_TRUE(run->waitUntilIdle()) << run->process().errors();
      EXPECT_TRUE(server.waitForBytes(connection, run->upload().size()));
      return *run;
    }

    // A note from `from` reaches the robot as the only event.
    void expectNoteFrom(JackMidiSource& from, int note)
    {
      from.noteOn(0, note, 100);
      const std::string expected = run->upload() + "emit midi.key(9,0," + std::to_string(note) + ",100),";
      ASSERT_TRUE(server.waitForBytes(connection, expected.size()))
        << server.received(connection) << run->process().errors();
      EXPECT_EQ(server.received(connection), expected);
    }

    TestServer server;
    std::size_t connection = 0;
  };

  TEST_F(DeviceNameTest, AWholeNameAndAPartInAnyCaseOpenThatDeviceNotTheFirst)
  {
    JackMidiSource pads("dn-pads");
    ASSERT_LT(deviceOf(*source), deviceOf(pads));

    startWith({"--device", pads.deviceName()});
    expectNoteFrom(pads, 61);
    run.reset();

    // A part, in another case; the debug level after the file still counts.
    startWith({"--device", "DN-PADS", "notara.conf", "1"});
    EXPECT_TRUE(run->process().running());
    expectNoteFrom(pads, 62);
  }

  TEST_F(DeviceNameTest, APartThatNamesTwoDevicesIsAnErrorListingThem)
  {
    JackMidiSource pads("dn-pads");
    NotaraRun ambiguous(NOTARA_BINARY, robotLine(0, server.port()) + mapping);
    ambiguous.start({"--device", "dn-"});
    const auto status = ambiguous.process().waitForExit();
    ASSERT_TRUE(status);
    EXPECT_FALSE(status->signalled);
    EXPECT_EQ(status->value, 1);
    const std::string errors = ambiguous.process().errors();
    EXPECT_NE(errors.find("notara: --device \"dn-\" names more than one MIDI device:\n" +
                          std::to_string(deviceOf(*source)) + ": " + source->deviceName() + "\n" +
                          std::to_string(deviceOf(pads)) + ": " + pads.deviceName() + "\n"),
              std::string::npos)
      << errors;
    // No robot was connected for a start that failed.
    EXPECT_EQ(server.connectionCount(), 0u);

    NotaraRun missingValue(NOTARA_BINARY, "");
    missingValue.start({"--device"});
    const auto missing = missingValue.process().waitForExit();
    ASSERT_TRUE(missing);
    EXPECT_EQ(missing->value, 1);
    EXPECT_EQ(missingValue.process().errors(), "notara: --device needs a value, the name of a MIDI device\n");
  }

  TEST_F(DeviceNameTest, ADeviceListedAfterTheStartIsWaitedForThenOpened)
  {
    NotaraRun& started = startWith({"--device", "dn-late"});
    EXPECT_TRUE(started.process().waitForErrors("waiting for MIDI device \"dn-late\"\n"));
    std::this_thread::sleep_for(std::chrono::seconds(2));
    EXPECT_TRUE(started.process().running());

    JackMidiSource late("dn-late");
    const std::string back = "MidiIn: MIDI device \"" + late.deviceName() + "\" is back as number " +
                             std::to_string(deviceOf(late)) + "; opened it\n";
    ASSERT_TRUE(started.process().waitForErrors(back)) << started.process().errors();
    // The source that was there all along is not the one listened to.
    source->noteOn(0, 40, 100);
    expectNoteFrom(late, 63);
  }
}
