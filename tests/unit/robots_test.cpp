// Robot connections and sending: Midi::addRobot against a loopback server,
// Midi::send, Midi::sendValue and Midi::setParameter against in-memory
// clients, and the error callback.
#include <gtest/gtest.h>

#include "log/stderr_line.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <chrono>
#include <climits>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <limits>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/error.hpp>

#include "bridge/midi.h"
#include "robots/backoff.h"
#include "robots/script.h"
#include "support/cerr_capture.h"
#include "support/eventually.h"
#include "support/memory_client.h"
#include "support/slot_clients.h"
#include "support/temp_dir.h"
#include "support/test_server.h"
#include "support/working_directory.h"
#include "vaxo/client.h"

namespace
{
  using namespace notara::test;

  class AddRobotTest : public ::testing::Test
  {
  protected:
    /// addRobot on 127.0.0.1.
    int addRobot(unsigned index, unsigned port) { return midi.addRobot(index, "127.0.0.1", port); }

    /// Waits until slot `index`'s client takes every thread's texts.
    bool connected(unsigned index)
    {
      return eventually(
        [&] {
          VSyncClient* client = clientOf(index);
          return client != nullptr && client->isConnected();
        },
        TestServer::kWait);
    }

    /// The client of the last link made for slot `index`, or null.
    VSyncClient* clientOf(unsigned index) { return clients.at(static_cast<int>(index)); }

    TestServer server;
    TempDir dir;
    // The links' clients are the real ones, noted as they are made.
    SlotClients<VSyncClient> clients{connectingClient};
    // Last, so that it goes first: its robots' threads stop before the
    // server and the directory go.
    Midi midi{clients.factory()};
  };

  TEST(BackoffTest, StartsAt100MillisecondsAndDoublesUpToOneSecond)
  {
    using std::chrono::milliseconds;
    Backoff backoff;
    std::vector<milliseconds> delays;
    for (int i = 0; i < 7; ++i)
      delays.push_back(backoff.next());
    EXPECT_EQ(delays, (std::vector<milliseconds>{milliseconds(100), milliseconds(200), milliseconds(400),
                                                 milliseconds(800), milliseconds(1000), milliseconds(1000),
                                                 milliseconds(1000)}));
    backoff.reset();
    EXPECT_EQ(backoff.next(), milliseconds(100));
    EXPECT_EQ(backoff.next(), milliseconds(200));
  }

  TEST_F(AddRobotTest, UploadsTheScriptThenNotaraVxAndSwitchesNagleOff)
  {
    const std::string file = "function robot.wave() { arm.lift(1), arm.lower(1) };\n\"quoted\" %s %d\n";
    dir.write("notara.vx", file);
    WorkingDirectory inDir(dir.path());

    // The connection is made in the background: addRobot returns at once
    // with the slot filled.
    ASSERT_EQ(addRobot(31, server.port()), 1);
    VSyncClient* client = clientOf(31);
    ASSERT_NE(client, nullptr);
    ASSERT_TRUE(connected(31));

    // The uploads come first, byte for byte, with nothing around them; a
    // later send follows right after the file.
    midi.send(1 << 31, "x=1,");
    const std::string expected = std::string(robotScript) + file + "x=1,";
    ASSERT_TRUE(server.waitForBytes(0, expected.size()));
    EXPECT_EQ(server.received(0), expected);

    int noDelay = 0;
    socklen_t length = sizeof(noDelay);
    ASSERT_EQ(getsockopt(static_cast<int>(client->socketDescriptor()), IPPROTO_TCP, TCP_NODELAY,
                         &noDelay, &length),
              0);
    EXPECT_NE(noDelay, 0);
  }

  TEST_F(AddRobotTest, WithoutNotaraVxOnlyTheScriptIsUploaded)
  {
    WorkingDirectory inDir(dir.path());
    ASSERT_EQ(addRobot(0, server.port()), 1);
    ASSERT_TRUE(connected(0));
    midi.send(1, "y=2,");
    const std::string expected = std::string(robotScript) + "y=2,";
    ASSERT_TRUE(server.waitForBytes(0, expected.size()));
    EXPECT_EQ(server.received(0), expected);
  }

  TEST_F(AddRobotTest, AnIndexAbove31OpensNothing)
  {
    WorkingDirectory inDir(dir.path());
    EXPECT_EQ(addRobot(32, server.port()), -1);
    EXPECT_EQ(addRobot(UINT_MAX, server.port()), -1);
    EXPECT_TRUE(midi.robotViews().empty());

    // A connection made afterwards is the first the server sees.
    ASSERT_EQ(addRobot(31, server.port()), 1);
    ASSERT_TRUE(server.waitForConnections(1));
    ASSERT_TRUE(server.waitForBytes(0, std::strlen(robotScript)));
    EXPECT_EQ(server.connectionCount(), 1u);
  }

  TEST_F(AddRobotTest, ASecondRobotOnOneIndexReplacesTheSlotAndClosesTheFirstConnection)
  {
    WorkingDirectory inDir(dir.path());
    ASSERT_EQ(addRobot(3, server.port()), 1);
    ASSERT_TRUE(connected(3));
    ASSERT_TRUE(server.waitForBytes(0, std::strlen(robotScript)));
    ASSERT_EQ(addRobot(3, server.port()), 1);
    ASSERT_TRUE(connected(3));
    ASSERT_TRUE(server.waitForConnections(2));

    // The first link is gone, so it can't go on withdrawing what the
    // slot's server registers: its connection is closed, and the send
    // reaches the second one only.
    ASSERT_TRUE(server.waitForPeerClosed(0));
    midi.send(-1, "z=3,");
    const std::string expected = std::string(robotScript) + "z=3,";
    ASSERT_TRUE(server.waitForBytes(1, expected.size()));
    EXPECT_EQ(server.received(1), expected);
    EXPECT_EQ(server.received(0), robotScript);
  }

  TEST_F(AddRobotTest, ControlAndErrorMessagesReachTheBridge)
  {
    WorkingDirectory inDir(dir.path());
    ASSERT_EQ(addRobot(0, server.port()), 1);
    ASSERT_TRUE(connected(0));

    // Callbacks of one connection run in order on its I/O thread: once
    // the second debug level shows, both earlier lines were written.
    notara::flushStderr();
    ::testing::internal::CaptureStderr();
    server.sendLine(0, R"({"tag":"error","error":"unknown identifier q"})");
    server.sendLine(0, R"({"tag":"midictl","value":["debug",12.9]})");
    server.sendLine(0, R"({"tag":"midictl","value":["debug",3]})");
    const bool reached = eventually([&] { return midi.debugLevel == 3; }, TestServer::kWait);
    const std::string log = (notara::flushStderr(), ::testing::internal::GetCapturedStderr());
    ASSERT_TRUE(reached);
    EXPECT_NE(log.find("Vaxo error: unknown identifier q\nSet debug to 12\n"), std::string::npos)
        << log;
  }

  TEST_F(AddRobotTest, AnUnreachableServerIsLostOnceAndBackWhenItListensAgain)
  {
    dir.write("notara.vx", "v=1,");
    WorkingDirectory inDir(dir.path());
    const unsigned port = server.port();
    server.stop();
    const std::string name = "Robot 7 at 127.0.0.1:" + std::to_string(port);

    notara::flushStderr();
    ::testing::internal::CaptureStderr();
    ASSERT_EQ(addRobot(7, port), 1);
    VSyncClient* client = clientOf(7);
    ASSERT_NE(client, nullptr);
    // Attempts at 0, 100 and 300 ms fail meanwhile (a line for the first
    // only), and texts for the robot are dropped.
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    EXPECT_FALSE(client->isConnected());
    for (int i = 0; i < 5; ++i)
      midi.send(-1, "dropped,");
    // The view counts what the lines count.
    std::vector<RobotLinkView> views = midi.robotViews();
    ASSERT_EQ(views.size(), 1u);
    EXPECT_EQ(views[0].slot, 7);
    EXPECT_EQ(views[0].address, "127.0.0.1:" + std::to_string(port));
    EXPECT_EQ(views[0].state, RobotLinkView::State::down);
    EXPECT_EQ(views[0].textsDropped, 5u);
    EXPECT_EQ(views[0].textsSent, 0u);
    EXPECT_EQ(views[0].connections, 0u);
    const auto downSince = views[0].since;
    EXPECT_LE(downSince, std::chrono::steady_clock::now());

    TestServer::Options again;
    again.port = port;
    TestServer restarted(again);
    ASSERT_TRUE(connected(7));
    midi.send(-1, "after,");
    const std::string expected = std::string(robotScript) + "v=1,after,";
    ASSERT_TRUE(restarted.waitForBytes(0, expected.size()));
    const std::string log = (notara::flushStderr(), ::testing::internal::GetCapturedStderr());
    EXPECT_EQ(restarted.received(0), expected);
    views = midi.robotViews();
    ASSERT_EQ(views.size(), 1u);
    EXPECT_EQ(views[0].state, RobotLinkView::State::up);
    EXPECT_GT(views[0].since, downSince);
    EXPECT_EQ(views[0].connections, 1u);
    EXPECT_EQ(views[0].textsSent, 1u);
    EXPECT_EQ(views[0].textsDropped, 5u);
    EXPECT_EQ(views[0].queuedBytes, 0u);

    // One line when it was found missing, one when it came back; no
    // setsockopt on a socket that isn't connected.
    const std::string refused = boost::system::error_code(boost::asio::error::connection_refused).message();
    EXPECT_EQ(log, name + " lost (can't connect to 127.0.0.1:" + std::to_string(port) + ": " + refused +
                       "); connecting again, its texts are dropped meanwhile\n" + name +
                       " back; it missed 5 texts\n");
  }

  TEST_F(AddRobotTest, TextsSentBeforeTheFirstConnectionAreReportedWhenItIsMade)
  {
    dir.write("notara.vx", "");
    WorkingDirectory inDir(dir.path());
    const std::string name = "Robot 4 at 127.0.0.1:" + std::to_string(server.port());
    notara::flushStderr();
    ::testing::internal::CaptureStderr();
    ASSERT_EQ(addRobot(4, server.port()), 1);
    // Sent at once: most of them before the connection is made.
    constexpr int sent = 2000;
    for (int i = 0; i < sent; ++i)
      midi.send(-1, "emit t(" + std::to_string(i) + "),");
    ASSERT_TRUE(connected(4));
    midi.send(-1, "emit end(),");
    ASSERT_TRUE(server.waitForText(0, "emit end(),"));
    const std::string log = (notara::flushStderr(), ::testing::internal::GetCapturedStderr());
    const std::string received = server.received(0);
    int arrived = 0;
    for (std::size_t at = received.find("emit t("); at != std::string::npos; at = received.find("emit t(", at + 1))
      ++arrived;
    if (arrived < sent)
      EXPECT_EQ(log, name + " connected; it missed " + std::to_string(sent - arrived) + " texts while connecting\n");
    else
      EXPECT_EQ(log, "");
  }

  /// An in-memory client that also notes its slot in a shared log, so that
  /// the order of sends across clients shows.
  class OrderedClient : public MemoryClient
  {
  public:
    OrderedClient(int slot, std::vector<int>& order) : slot_(slot), order_(order) {}
    int rawSend(const void* data, std::size_t size) override
    {
      order_.push_back(slot_);
      return MemoryClient::rawSend(data, size);
    }

  private:
    int slot_;
    std::vector<int>& order_;
  };

  class SendTest : public ::testing::Test
  {
  protected:
    SendTest()
    {
      clients.fill(midi, {0, 2, 5, 31});
      a = clients.at(0);
      b = clients.at(2);
      c = clients.at(5);
      d = clients.at(31);
    }

    void clear()
    {
      order.clear();
      for (MemoryClient* client : {a, b, c, d})
        client->clear();
    }

    /// The one text that sendValue sent to slot 0.
    template <class T>
    std::string valueText(const T& value)
    {
      clear();
      midi.sendValue(1, "v", value);
      const auto sends = a->sends();
      EXPECT_EQ(sends.size(), 1u);
      return sends.empty() ? std::string() : sends.front();
    }

    std::vector<int> order;
    SlotClients<OrderedClient> clients{[this](int slot, const std::string&, unsigned, VLinkHandler) {
      return std::make_unique<OrderedClient>(slot, order);
    }};
    Midi midi{clients.factory()};
    OrderedClient* a = nullptr;
    OrderedClient* b = nullptr;
    OrderedClient* c = nullptr;
    OrderedClient* d = nullptr;
  };

  TEST_F(SendTest, SendsTheTextUnchangedToTheSelectedFilledSlotsInAscendingOrder)
  {
    const std::string text("a\0b,", 4);
    midi.send(-1, text);
    EXPECT_EQ(order, (std::vector<int>{0, 2, 5, 31}));
    for (MemoryClient* client : {a, b, c, d})
      EXPECT_EQ(client->sends(), std::vector<std::string>{text});

    clear();
    midi.send((1 << 2) | (1 << 3) | (1 << 31), "t,");
    EXPECT_EQ(order, (std::vector<int>{2, 31}));
    EXPECT_EQ(b->sends(), std::vector<std::string>{"t,"});

    clear();
    midi.send(1 << 3, "t,");
    midi.send(0, "t,");
    EXPECT_TRUE(order.empty());
  }

  TEST_F(SendTest, EachLinksViewCountsTheTextsHandedToIt)
  {
    midi.send(-1, "a,");
    midi.send(1 << 2, "b,");
    const std::vector<RobotLinkView> views = midi.robotViews();
    ASSERT_EQ(views.size(), 4u);
    std::vector<int> slots;
    for (const RobotLinkView& view : views)
    {
      slots.push_back(view.slot);
      EXPECT_EQ(view.textsSent, view.slot == 2 ? 2u : 1u) << view.slot;
      EXPECT_EQ(view.textsDropped, 0u);
      // In-memory clients never connect.
      EXPECT_EQ(view.state, RobotLinkView::State::connecting);
      EXPECT_EQ(view.connections, 0u);
      EXPECT_STREQ(toString(view.state), "connecting");
    }
    EXPECT_EQ(slots, (std::vector<int>{0, 2, 5, 31}));
  }

  TEST_F(SendTest, WritesTheSendingLineAboveLevelNine)
  {
    midi.debugLevel = 9;
    {
      CerrCapture capture;
      midi.send(-1, "x=1,");
      EXPECT_EQ(capture.text(), "");
    }
    midi.debugLevel = 10;
    {
      CerrCapture capture;
      midi.send(-1, "x=1,");
      midi.send(5, "y,");
      midi.send(1 << 3, "none,");
      EXPECT_EQ(capture.text(), "Sending 'x=1,' to 4294967295\n"
                                "Sending 'y,' to 5\n"
                                "Sending 'none,' to 8\n");
    }
    EXPECT_EQ(a->sends(), (std::vector<std::string>{"x=1,", "x=1,", "y,"}));
  }

  TEST_F(SendTest, SendValueFormatsLikeADefaultStream)
  {
    EXPECT_EQ(valueText(1.0), "v=1,");
    EXPECT_EQ(valueText(1.0 / 3.0), "v=0.333333,");
    EXPECT_EQ(valueText(0.5), "v=0.5,");
    EXPECT_EQ(valueText(std::uint32_t{4294967295u}), "v=4294967295,");
    EXPECT_EQ(valueText(std::int64_t{-5000000000}), "v=-5000000000,");
    EXPECT_EQ(valueText(std::numeric_limits<std::int64_t>::min()), "v=-9223372036854775808,");

    clear();
    midi.sendValue(-1, "midi.bpm", std::int64_t{120});
    EXPECT_EQ(d->sends(), std::vector<std::string>{"midi.bpm=120,"});

    for (double x : {0.0, -0.0, -2.5, 130.0, 1234567.0, 123456.5, 1e-5, 1e20, -3.25e-300,
                     std::numeric_limits<double>::max(), std::numeric_limits<double>::infinity()})
    {
      std::ostringstream stream;
      stream << "v=" << x << ',';
      EXPECT_EQ(valueText(x), stream.str()) << x;
    }
  }

  TEST_F(SendTest, SetParameterStoresTheWordAndPublishesItToEveryRobot)
  {
    CerrCapture capture;
    midi.setParameter(-1);
    EXPECT_EQ(midi.parameter, 0xFFFFFFFFu);
    EXPECT_EQ(capture.text(), "Setting parameter to 4294967295\n");
    EXPECT_EQ(order, (std::vector<int>{0, 2, 5, 31}));
    for (MemoryClient* client : {a, b, c, d})
      EXPECT_EQ(client->sends(), std::vector<std::string>{"midi.parameter=4294967295,"});

    // Written whatever the debug level.
    capture.clear();
    clear();
    midi.debugLevel = -5;
    midi.setParameter(12);
    EXPECT_EQ(midi.parameter, 12u);
    EXPECT_EQ(capture.text(), "Setting parameter to 12\n");
    EXPECT_EQ(c->sends(), std::vector<std::string>{"midi.parameter=12,"});
  }

  TEST(RobotViewTest, ShowsTheAgeLimitTheTextsReplacedAndAgedOutAndTheWriteTimes)
  {
    TempDir dir;
    dir.write("notara.vx", "");
    WorkingDirectory inDir(dir.path());
    TestServer server(TestServer::Options::stalled());
    // Read by no one: the link's lines stay off the test's output.
    CerrCapture capture;
    Midi midi;
    midi.robotMaxAge = std::chrono::milliseconds(300);
    ASSERT_EQ(midi.addRobot(0, "127.0.0.1", server.port()), 1);
    auto view = [&midi] { return midi.robotViews().at(0); };
    ASSERT_TRUE(eventually([&] { return view().state == RobotLinkView::State::up; }, TestServer::kWait));
    EXPECT_EQ(view().maxAge, std::chrono::milliseconds(300));

    // Texts until the queue is full behind the system's full buffers.
    const std::string filler = "emit f(" + std::string(90, 'q') + "),";
    for (int i = 0; i < 100000 && view().textsDropped == 0; ++i)
      for (int j = 0; j < 100; ++j)
        midi.send(1, filler);
    const std::uint64_t droppedFull = view().textsDropped;
    ASSERT_GT(droppedFull, 0u);
    EXPECT_EQ(view().textsReplaced, 0u);
    EXPECT_EQ(view().textsDroppedOld, 0u);

    // Past the limit, the next text finds the fillers too old and takes
    // their place; a second assignment to the same variable replaces it.
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    midi.send(1, "x=1,");
    midi.send(1, "x=2,");
    RobotLinkView after = view();
    EXPECT_GT(after.queuedBytes, 0u);
    EXPECT_GT(after.textsDroppedOld, 0u);
    EXPECT_EQ(after.textsReplaced, 1u);
    EXPECT_EQ(after.textsDropped, droppedFull);

    server.resumeReading();
    midi.send(1, "y=1,");
    ASSERT_TRUE(server.waitForText(0, "y=1,"));
    const std::string received = server.received(0);
    EXPECT_EQ(received.find("x=1,"), std::string::npos);
    EXPECT_NE(received.find("x=2,"), std::string::npos);
    after = view();
    EXPECT_EQ(after.textsDropped, droppedFull);
    // Every text written counts once in the write times: at least the
    // fillers the system took before the stall, and y=1.
    std::uint64_t written = 0;
    for (std::uint64_t count : after.writeLatency)
      written += count;
    EXPECT_GT(written, 1u);
  }

  TEST(ClientErrorTest, PrintsTheMessageText)
  {
    VMessage msg;
    msg.type = VMessageType::Error;
    CerrCapture capture;
    EXPECT_EQ(onClientError(msg), V_CONTINUE);
    msg.message = "connection closed";
    EXPECT_EQ(onClientError(msg), V_CONTINUE);
    // A server's text can't set the terminal's title or colours.
    msg.message = "\x1b]0;owned\x07\x1b[31m";
    EXPECT_EQ(onClientError(msg), V_CONTINUE);
    EXPECT_EQ(capture.text(), "Vaxo error: \nVaxo error: connection closed\n"
                              "Vaxo error: \\u001b]0;owned\\u0007\\u001b[31m\n");
  }
}
