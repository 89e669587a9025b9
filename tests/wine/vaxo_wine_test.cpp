// The Windows build against a real server: the bridge's robot connection
// (Midi::addRobot) and the client library over Winsock, talking to a
// vaxo-sim that runs natively on 127.0.0.1. scripts/lib/windows.sh starts
// the server (--port 0 --record DIR) and hands its port and record folder
// over in NOTARA_VAXO_SIM_PORT and NOTARA_VAXO_SIM_RECORD.
#include <winsock2.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include "bridge/midi.h"
#include "robots/script.h"
#include "support/call_log.h"
#include "support/cerr_capture.h"
#include "support/eventually.h"
#include "support/slot_clients.h"
#include "support/temp_dir.h"
#include "support/working_directory.h"
#include "vaxo/client.h"

namespace
{
  using namespace notara::test;

  // Generous, so that a slow wine fails nothing; only a fault runs into it.
  constexpr std::chrono::seconds kWait{30};

  /// The server that the test script started.
  struct SimServer
  {
    unsigned port = 0;
    std::filesystem::path recordDir;
  };

  // Read before any test changes the working directory: the record folder
  // comes as a host path, which wine resolves against the current drive.
  SimServer simServer()
  {
    SimServer sim;
    const char* port = std::getenv("NOTARA_VAXO_SIM_PORT");
    const char* record = std::getenv("NOTARA_VAXO_SIM_RECORD");
    if (port != nullptr)
      sim.port = static_cast<unsigned>(std::strtoul(port, nullptr, 10));
    if (record != nullptr && *record != '\0')
      sim.recordDir = std::filesystem::absolute(record);
    return sim;
  }

  const SimServer sim = simServer();

  class SimTest : public ::testing::Test
  {
  protected:
    void SetUp() override
    {
      ASSERT_NE(sim.port, 0u) << "NOTARA_VAXO_SIM_PORT must name the port of a running vaxo-sim "
                                 "(scripts/lib/windows.sh starts one)";
      ASSERT_FALSE(sim.recordDir.empty())
          << "NOTARA_VAXO_SIM_RECORD must name the folder of vaxo-sim --record";
    }
  };

  /// The recordings of vaxo-sim whose bytes are exactly `bytes`.
  int recordingsEqualTo(const std::string& bytes)
  {
    int count = 0;
    for (const auto& entry : std::filesystem::directory_iterator(sim.recordDir))
      if (readFile(entry.path()) == bytes)
        ++count;
    return count;
  }

  /// Keeps the messages of one tag, for the test thread to wait on.
  class Collector : public VCallbackWrapper
  {
  public:
    /// Owned by the client it is registered with.
    VCallbackAction operator()(const VMessage& msg) override
    {
      messages_.add(msg);
      return V_CONTINUE;
    }

    /// Waits for the first message; false when none came within kWait.
    bool waitForMessage(VMessage& first)
    {
      if (!messages_.waitFor(1, kWait))
        return false;
      first = messages_.entries().front();
      return true;
    }

  private:
    CallLog<VMessage> messages_;
  };

  class RobotConnectionTest : public SimTest
  {
  protected:
    TempDir dir;
    // The real clients its robot links make, noted as they are made.
    SlotClients<VSyncClient> clients{connectingClient};
    // Last, so that its robots' threads stop before the directory goes.
    Midi midi{clients.factory()};
  };

  TEST_F(RobotConnectionTest, UploadsSwitchesNagleOffAndObeysTheServer)
  {
    // A file of this run's own, so that its recording can't be another's.
    const std::string vx = "robot.run=" + std::to_string(std::random_device{}()) + ",\n";
    dir.write("notara.vx", vx);
    WorkingDirectory inDir(dir.path());

    ASSERT_EQ(midi.addRobot(0, "127.0.0.1", sim.port), 1);
    VSyncClient* client = clients.at(0);
    ASSERT_NE(client, nullptr);
    // The connection is made in the background.
    ASSERT_TRUE(eventually([&] { return client->isConnected(); }, kWait))
        << "no connection to 127.0.0.1:" << sim.port;

    // Winsock may write a one-byte BOOL: start from zero.
    int noDelay = 0;
    int length = sizeof noDelay;
    ASSERT_EQ(getsockopt(static_cast<SOCKET>(client->socketDescriptor()), IPPROTO_TCP, TCP_NODELAY,
                         reinterpret_cast<char*>(&noDelay), &length),
              0)
        << "getsockopt failed, WSA error " << WSAGetLastError();
    EXPECT_NE(noDelay, 0);

    // vaxo-sim answers a control call only to connections whose upload
    // defined the control functions: the answer proves the script text
    // arrived whole, and it comes back through the midictl callback.
    ASSERT_EQ(midi.debugLevel.load(), 0);
    midi.send(1, "midi.setDebug(3),");
    ASSERT_TRUE(eventually([&] { return midi.debugLevel.load() == 3; }, kWait))
        << "the server's debug command never reached Midi::onControl";

    // The server had read everything before it answered.
    EXPECT_EQ(recordingsEqualTo(std::string(robotScript) + vx + "midi.setDebug(3),"), 1)
        << "no recording in " << sim.recordDir.string()
        << " holds the script text, notara.vx and the call, byte for byte";
  }

  TEST_F(SimTest, ClientDeliversTheServersListsToTheTagCallback)
  {
    VSyncClient client("127.0.0.1", sim.port);
    ASSERT_TRUE(client.isConnected());
    auto* collector = new Collector;
    client.setCallback(collector, "midictl");

    ASSERT_EQ(client.send("%s", robotScript), 0);
    ASSERT_EQ(client.send("%s", R"(midi.registerAction(1, [60], "EmitMap", ["midi.key"], 1),)"), 0);

    VMessage msg;
    ASSERT_TRUE(collector->waitForMessage(msg)) << "no message on midictl";
    EXPECT_EQ(msg.type, VMessageType::Data);
    EXPECT_EQ(msg.tag, "midictl");
    EXPECT_EQ(msg.client, &client);
    ASSERT_TRUE(msg.value.isList());
    const VList& list = msg.value.list;
    ASSERT_EQ(list.size(), 6u);
    ASSERT_TRUE(list[0].isString());
    EXPECT_EQ(list[0].string, "register");
    ASSERT_TRUE(list[1].isNumber());
    EXPECT_EQ(list[1].number, 1);
    ASSERT_TRUE(list[2].isList());
    ASSERT_EQ(list[2].list.size(), 1u);
    EXPECT_EQ(list[2].list[0].number, 60);
    ASSERT_TRUE(list[3].isString());
    EXPECT_EQ(list[3].string, "EmitMap");
    ASSERT_TRUE(list[4].isList());
    ASSERT_EQ(list[4].list.size(), 1u);
    EXPECT_EQ(list[4].list[0].string, "midi.key");
    ASSERT_TRUE(list[5].isNumber());
    EXPECT_EQ(list[5].number, 1);
  }

  TEST(UnreachableServerTest, SaysSoOnceAndDropsWhatIsSent)
  {
    // A port that was just free: nothing listens on it.
    unsigned port = 0;
    {
      boost::asio::io_context io;
      boost::asio::ip::tcp::acceptor acceptor(
          io, {boost::asio::ip::make_address("127.0.0.1"), 0});
      port = acceptor.local_endpoint().port();
    }

    CerrCapture cerr;
    VSyncClient client("127.0.0.1", port);
    EXPECT_FALSE(client.isConnected());
    EXPECT_EQ(client.send("x=1,"), -1);
    const std::string text = cerr.text();
    EXPECT_EQ(text.rfind("VSyncClient::VSyncClient: can't connect to 127.0.0.1:" +
                             std::to_string(port) + ": ",
                         0),
              0u)
        << text;
    EXPECT_EQ(text.find('\n'), text.size() - 1) << text;
  }
}
