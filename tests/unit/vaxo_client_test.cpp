// The client library against a real loopback server: delivery by tag, the
// reader thread, the faults of the wire, sending from several threads, and
// a connection that goes away.
#include <algorithm>
#include <chrono>
#include <functional>
#include <cstdint>
#include <cstdio>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <gtest/gtest.h>
#include <winsock2.h>

#include "support/call_log.h"
#include "support/cerr_capture.h"
#include "support/eventually.h"
#include "support/silent_host.h"
#include "support/temp_dir.h"
#include "support/test_server.h"
#include "vaxo/client.h"

using notara::test::CallLog;
using notara::test::CerrCapture;
using notara::test::TestServer;

namespace
{
  // One callback's view of what reached it.
  struct Seen
  {
    std::string who;
    VMessageType type;
    std::string tag;
    VValue value;
    std::string message;
    std::thread::id thread;
  };

  // A shared, ordered log of every callback call, with waits.
  class Log
  {
  public:
    void add(const std::string& who, const VMessage& msg)
    {
      calls_.add({who, msg.type, msg.tag, msg.value, msg.message, std::this_thread::get_id()});
    }

    bool waitFor(std::size_t count) { return calls_.waitFor(count, TestServer::kWait); }

    std::vector<Seen> seen() const { return calls_.entries(); }

  private:
    CallLog<Seen> calls_;
  };

  // A callback that logs under a name and answers with a fixed action.
  class Logger : public VCallbackWrapper
  {
  public:
    Logger(Log& log, std::string who, VCallbackAction action = V_CONTINUE)
        : log_(log), who_(std::move(who)), action_(action)
    {
    }
    VCallbackAction operator()(const VMessage& msg) override
    {
      log_.add(who_, msg);
      return action_;
    }

  private:
    Log& log_;
    std::string who_;
    VCallbackAction action_;
  };

  std::vector<std::string> namesOf(const std::vector<Seen>& seen)
  {
    std::vector<std::string> names;
    for (const auto& s : seen)
      names.push_back(s.who + (s.type == VMessageType::Error ? "!" + s.message : ":" + s.tag));
    return names;
  }

  // A connected client with an error logger, whose connection is the
  // server's connection number `index`.
  struct Connected
  {
    // `tag`, when given, is logged too.
    Connected(TestServer& server, Log& log, std::size_t index, bool startReader = true, const char* tag = nullptr)
        : client(std::make_unique<VSyncClient>("127.0.0.1", server.port(), 128000, false, startReader, 2))
    {
      client->setErrorCallback(new Logger(log, "error"));
      if (tag != nullptr)
        client->setCallback(new Logger(log, tag), tag);
      EXPECT_TRUE(server.waitForConnections(index + 1));
      EXPECT_TRUE(client->isConnected());
    }
    std::unique_ptr<VSyncClient> client;
  };

  // The socket and option-length types of this system's socket calls.
  template <class R, class S, class L, class O, class V, class N>
  S socketArgument(R (*)(S, L, O, V, N*));
  template <class R, class S, class L, class O, class V, class N>
  N lengthArgument(R (*)(S, L, O, V, N*));
  using NativeSocket = decltype(socketArgument(&getsockopt));
  using OptionLength = decltype(lengthArgument(&getsockopt));

  std::string dataLine(const std::string& tag, const std::string& value)
  {
    return "{\"tag\":\"" + tag + "\",\"value\":" + value + "}";
  }
}

TEST(VaxoClient, CallbacksGetTheirTagInRegistrationOrderOnTheReaderThread)
{
  TestServer server;
  Log log;
  // The callbacks are in place before reading starts, so none can miss a line.
  Connected c(server, log, 0, false);
  c.client->setCallback(new Logger(log, "a1"), "a");
  c.client->setCallback(new Logger(log, "b"), "b");
  c.client->setCallback(new Logger(log, "a2"), "a");
  c.client->setCallback(new Logger(log, "A"), "A");
  c.client->setCallback(new Logger(log, "sys"), "__system");
  server.sendLine(0, dataLine("a", "1"));
  server.sendLine(0, dataLine("a ", "9"));
  server.sendLine(0, R"({"tag":"__system","system":"hello","connection":"U1"})");
  server.sendLine(0, dataLine("b", "2") + "\r");
  server.sendLine(0, dataLine("a", "3"));
  c.client->start();
  c.client->start();   // a second start is harmless

  ASSERT_TRUE(log.waitFor(5));
  server.sendLine(0, dataLine("A", "4"));
  ASSERT_TRUE(log.waitFor(6));
  const auto seen = log.seen();
  EXPECT_EQ(namesOf(seen), (std::vector<std::string>{"a1:a", "a2:a", "b:b", "a1:a", "a2:a", "A:A"}));
  EXPECT_EQ(seen[0].value.number, 1.0);
  EXPECT_EQ(seen[2].value.number, 2.0);
  EXPECT_EQ(seen[3].value.number, 3.0);
  for (const auto& s : seen)
  {
    EXPECT_NE(s.thread, std::this_thread::get_id());
    EXPECT_EQ(s.thread, seen[0].thread);
  }
}

TEST(VaxoClient, ValuesArriveMapped)
{
  TestServer server;
  Log log;
  Connected c(server, log, 0);
  c.client->setCallback(new Logger(log, "v"), "midictl");
  server.sendLine(0, dataLine("midictl", R"(["register",1,[60,300],"EmitMap",["midi.key",2.5],-1,true,null,{"o":1}])"));
  ASSERT_TRUE(log.waitFor(1));
  const VValue value = log.seen()[0].value;
  ASSERT_TRUE(value.isList());
  const VList& l = value.list;
  ASSERT_EQ(l.size(), 9u);
  EXPECT_EQ(l[0].string, "register");
  EXPECT_EQ(l[1].number, 1.0);
  ASSERT_TRUE(l[2].isList());
  EXPECT_EQ(l[2].list[1].number, 300.0);
  EXPECT_EQ(l[3].string, "EmitMap");
  EXPECT_EQ(l[4].list[0].string, "midi.key");
  EXPECT_EQ(l[4].list[1].number, 2.5);
  EXPECT_EQ(l[5].number, -1.0);
  for (std::size_t i = 6; i < 9; ++i)
    EXPECT_EQ(l[i].kind, VValueKind::Other);
}

namespace
{
  // Removes itself after `limit` calls; registers `late` on its first call.
  class Changer : public VCallbackWrapper
  {
  public:
    Changer(Log& log, VAbstractClient& client) : log_(log), client_(client) {}
    VCallbackAction operator()(const VMessage& msg) override
    {
      log_.add("changer", msg);
      if (++calls_ == 1)
        client_.setCallback(new Logger(log_, "late"), "t");
      return calls_ == 2 ? V_REMOVE : V_CONTINUE;
    }

  private:
    Log& log_;
    VAbstractClient& client_;
    int calls_ = 0;
  };
}

TEST(VaxoClient, CallbacksRemoveThemselvesAndRegisterOthersFromInside)
{
  TestServer server;
  Log log;
  Connected c(server, log, 0);
  c.client->setCallback(new Logger(log, "once", V_REMOVE), "t");
  c.client->setCallback(new Changer(log, *c.client), "t");
  for (int i = 0; i < 3; ++i)
    server.sendLine(0, dataLine("t", std::to_string(i)));
  // 1st: once, changer (adds late); 2nd: changer (removes itself), late; 3rd: late.
  ASSERT_TRUE(log.waitFor(5));
  server.sendLine(0, dataLine("t", "3"));
  ASSERT_TRUE(log.waitFor(6));
  EXPECT_EQ(namesOf(log.seen()), (std::vector<std::string>{"once:t", "changer:t", "changer:t", "late:t", "late:t", "late:t"}));
}

namespace
{
  class Thrower : public VCallbackWrapper
  {
  public:
    VCallbackAction operator()(const VMessage&) override { throw std::runtime_error("bad conversion"); }
  };
}

TEST(VaxoClient, AnExceptionFromACallbackIsReportedAndReadingGoesOn)
{
  TestServer server;
  Log log;
  Connected c(server, log, 0);
  c.client->setCallback(new Thrower, "t");
  c.client->setCallback(new Logger(log, "after"), "t");
  server.sendLine(0, dataLine("t", "1"));
  server.sendLine(0, dataLine("t", "2"));
  ASSERT_TRUE(log.waitFor(4));
  EXPECT_EQ(namesOf(log.seen()), (std::vector<std::string>{"error!callback for tag \"t\" threw: bad conversion", "after:t",
                                                           "error!callback for tag \"t\" threw: bad conversion", "after:t"}));
}

TEST(VaxoClient, ServerErrorsGoToTheErrorCallbackWithTheirTag)
{
  TestServer server;
  Log log;
  Connected c(server, log, 0);
  c.client->setCallback(new Logger(log, "tagged"), "error");
  server.sendLine(0, R"({"tag":"error","error":"unknown identifier x"})");
  server.sendLine(0, R"({"error":""})");
  ASSERT_TRUE(log.waitFor(2));
  const auto seen = log.seen();
  EXPECT_EQ(namesOf(seen), (std::vector<std::string>{"error!unknown identifier x", "error!"}));
  EXPECT_EQ(seen[0].tag, "error");
  EXPECT_EQ(seen[1].tag, "");
}

TEST(VaxoClient, MalformedLinesAreReportedWithTheirFirst80Bytes)
{
  TestServer server;
  Log log;
  Connected c(server, log, 0, true, "t");
  std::string garbage;
  for (int i = 0; garbage.size() < 200; ++i)
    garbage += std::to_string(i) + "x";
  server.sendLine(0, garbage);
  server.sendLine(0, R"({"tag":"t","valu":1})");
  server.sendLine(0, R"({"tag":"t","value":)" + std::string(65, '[') + std::string(65, ']') + "}");
  server.sendLine(0, dataLine("t", "5"));
  ASSERT_TRUE(log.waitFor(4));
  const auto seen = log.seen();
  EXPECT_EQ(namesOf(seen),
            (std::vector<std::string>{"error!malformed message: " + garbage.substr(0, 80),
                                      R"(error!malformed message: {"tag":"t","valu":1})",
                                      "error!malformed message: " + (R"({"tag":"t","value":)" + std::string(61, '[')),
                                      "t:t"}));
  EXPECT_EQ(seen[3].value.number, 5.0);
}

TEST(VaxoClient, AnErrorNestedTooDeepIsMalformedAndReadingGoesOn)
{
  TestServer server;
  Log log;
  Connected c(server, log, 0, true, "t");
  // Some 500 kB of nested objects: built and re-serialised recursively on
  // the reader thread, they would overflow its stack.
  std::string hostile = R"({"tag":"error","error":)";
  for (int i = 0; i < 100000; ++i)
    hostile += R"({"a":)";
  hostile += "1" + std::string(100000, '}') + "}";
  server.sendLine(0, hostile);
  server.sendLine(0, dataLine("t", "\"after\""));
  ASSERT_TRUE(log.waitFor(2));
  const auto seen = log.seen();
  EXPECT_EQ(namesOf(seen), (std::vector<std::string>{"error!malformed message: " + hostile.substr(0, 80), "t:t"}));
  EXPECT_EQ(seen[1].value.string, "after");
}

TEST(VaxoClient, AnOverLongLineIsReportedOnceAndReadingGoesOn)
{
  TestServer server;
  Log log;
  Connected c(server, log, 0, true, "t");
  // A line of exactly 1 MiB is a message; one byte more is not.
  const std::string prefix = R"({"tag":"t","value":")";
  const std::string fits = prefix + std::string(1048576 - prefix.size() - 2, 'f') + "\"}";
  ASSERT_EQ(fits.size(), 1048576u);
  const std::string tooLong = prefix + std::string(1048576 - prefix.size() - 1, 'g') + "\"}";
  server.sendLine(0, fits);
  server.sendRaw(0, fits + "\r\n");
  server.sendLine(0, tooLong);
  server.sendLine(0, std::string(3 * 1048576, '['));
  server.sendLine(0, dataLine("t", "\"small\""));
  ASSERT_TRUE(log.waitFor(5));
  const auto seen = log.seen();
  EXPECT_EQ(namesOf(seen), (std::vector<std::string>{"t:t", "t:t", "error!message too long", "error!message too long", "t:t"}));
  EXPECT_EQ(seen[0].value.string.size(), fits.size() - prefix.size() - 2);
  EXPECT_EQ(seen[4].value.string, "small");
}

TEST(VaxoClient, ConnectionClosedIsReportedExactlyOnceAndLaterSendsAreDropped)
{
  TestServer server;
  Log log;
  Connected c(server, log, 0, true, "t");
  server.sendLine(0, dataLine("t", "1"));
  server.sendRaw(0, R"({"tag":"t","val)");   // cut short by the close
  server.close(0);
  ASSERT_TRUE(log.waitFor(3));
  EXPECT_EQ(c.client->send("a=%d,", 1), -1);
  EXPECT_EQ(c.client->rawSend("b", 1), -1);
  EXPECT_FALSE(c.client->isConnected());
  c.client.reset();   // joins the reader: nothing can be reported after this
  EXPECT_EQ(namesOf(log.seen()), (std::vector<std::string>{"t:t", R"(error!malformed message: {"tag":"t","val)",
                                                           "error!connection closed"}));
}

TEST(VaxoClient, ClosingTheClientItselfReportsNothing)
{
  TestServer server;
  Log log;
  {
    Connected c(server, log, 0);
    EXPECT_EQ(c.client->send("x=1,"), 0);
    ASSERT_TRUE(server.waitForText(0, "x=1,"));
  }
  EXPECT_TRUE(server.waitForPeerClosed(0));
  EXPECT_TRUE(log.seen().empty());
}

TEST(VaxoClient, NoServerGivesOneLineOnStandardErrorAndDropsSends)
{
  unsigned port = 0;
  {
    TestServer gone;
    port = gone.port();
  }
  CerrCapture capture;
  VSyncClient client("127.0.0.1", port);
  const std::string text = capture.text();
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << text;
  EXPECT_EQ(text.rfind("VSyncClient::VSyncClient: can't connect to 127.0.0.1:" + std::to_string(port) + ": ", 0), 0u)
      << text;
  EXPECT_FALSE(client.isConnected());
  EXPECT_EQ(client.send("a=%d,", 1), -1);
  EXPECT_EQ(client.sendFile(NOTARA_SOURCE_DIR "/CMakeLists.txt"), -1);
  EXPECT_EQ(client.socketDescriptor(), static_cast<VSocketDescriptor>(-1));
  client.setCallback(new VCallbackWrapperF([](const VMessage&) { return V_CONTINUE; }), "t");
  client.start();
  EXPECT_EQ(capture.text(), text);
}

TEST(VaxoClient, AConnectionThatHangsTimesOut)
{
  notara::test::SilentHost silent;
  CerrCapture capture;
  VSyncClient client("127.0.0.1", silent.port(), 128000, false, true, 1);
  const std::string text = capture.text();
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << text;
  EXPECT_EQ(text, "VSyncClient::VSyncClient: can't connect to 127.0.0.1:" + std::to_string(silent.port()) + ": " +
                      boost::system::error_code(boost::asio::error::timed_out).message() + "\n");
  EXPECT_FALSE(client.isConnected());
  EXPECT_EQ(client.rawSend("x", 1), -1);
}

TEST(VaxoClient, UnresolvableHostGivesOneLine)
{
  CerrCapture capture;
  VSyncClient client("no-such-host.invalid", 1);
  const std::string text = capture.text();
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << text;
  EXPECT_NE(text.find("no-such-host.invalid:1"), std::string::npos) << text;
  EXPECT_EQ(client.rawSend("x", 1), -1);
}

TEST(VaxoClient, SendsGoOutUnchanged)
{
  TestServer server;
  Log log;
  Connected c(server, log, 0);
  notara::test::TempDir dir;
  const std::string fileBytes = std::string("var a = 1;\r\n\tb << \"\xc3\xa9\"") + '\0' + "end";
  const std::string path = dir.write("script.vx", fileBytes).string();
  const std::string longText(5000, 'L');
  EXPECT_EQ(c.client->send("%s", "var x = \"%d\";"), 0);
  EXPECT_EQ(c.client->send("midi.bpm=%lld,", -120LL), 0);
  EXPECT_EQ(c.client->send("%s", longText.c_str()), 0);
  EXPECT_EQ(c.client->sendFile(path), 0);
  EXPECT_EQ(c.client->rawSend("", 0), 0);
  const std::string expected = std::string("var x = \"%d\";") + "midi.bpm=-120," + longText + fileBytes;
  ASSERT_TRUE(server.waitForBytes(0, expected.size()));
  EXPECT_EQ(server.received(0), expected);

  CerrCapture capture;
  const std::string missing = (dir.path() / "missing.vx").string();
  EXPECT_EQ(c.client->sendFile(missing), -1);
  EXPECT_NE(capture.text().find("VAbstractClient::sendFile: can't open " + missing), std::string::npos);
}

TEST(VaxoClient, TwoThreadsSendingNeverInterleave)
{
  TestServer server;
  Log log;
  Connected c(server, log, 0);
  constexpr int kTexts = 10000;
  // Texts of varying length, some long enough to fill the socket buffer,
  // so that a write split by the kernel would show.
  auto text = [](int thread, int i) {
    const std::size_t fill = static_cast<std::size_t>(i % 10 == 0 ? (i * 7919) % 16384 : i % 97);
    return "<" + std::to_string(thread) + ":" + std::to_string(i) + ":" + std::string(fill, static_cast<char>('a' + thread)) + ">";
  };

  // The server reads as fast as it can, but two threads may outrun it:
  // a text the full queue refused is left out, every other one arrives.
  std::vector<std::thread> senders;
  std::vector<bool> accepted[2] = {std::vector<bool>(kTexts), std::vector<bool>(kTexts)};
  int failures[2] = {0, 0};
  for (int t = 0; t < 2; ++t)
    senders.emplace_back([&, t] {
      for (int i = 0; i < kTexts; ++i)
      {
        const std::string s = text(t, i);
        const int result = c.client->rawSend(s.data(), s.size());
        accepted[t][static_cast<std::size_t>(i)] = result == 0;
        if (result != 0 && result != V_SEND_QUEUE_FULL)
          ++failures[t];
      }
    });
  for (auto& s : senders)
    s.join();
  EXPECT_EQ(failures[0] + failures[1], 0);
  std::size_t expectedSize = 0;
  std::uint64_t refused = 0;
  for (int t = 0; t < 2; ++t)
    for (int i = 0; i < kTexts; ++i)
      if (accepted[t][static_cast<std::size_t>(i)])
        expectedSize += text(t, i).size();
      else
        ++refused;
  // Every refusal is counted, once; nothing else is lost.
  EXPECT_EQ(c.client->textsDroppedQueueFull(), refused);
  EXPECT_EQ(c.client->textsDroppedDisconnected(), 0u);
  ASSERT_TRUE(server.waitForBytes(0, expectedSize));
  const std::string all = server.received(0);
  ASSERT_EQ(all.size(), expectedSize);

  // Every accepted text whole, each thread's in its own order.
  int next[2] = {0, 0};
  auto skipRefused = [&](int t) {
    while (next[t] < kTexts && !accepted[t][static_cast<std::size_t>(next[t])])
      ++next[t];
  };
  std::size_t at = 0;
  while (at < all.size())
  {
    ASSERT_EQ(all[at], '<') << "at byte " << at;
    ASSERT_LT(at + 1, all.size());
    const int t = all[at + 1] - '0';
    ASSERT_TRUE(t == 0 || t == 1) << "at byte " << at;
    skipRefused(t);
    ASSERT_LT(next[t], kTexts);
    const std::string expected = text(t, next[t]);
    ASSERT_EQ(all.compare(at, expected.size(), expected), 0) << "at byte " << at << ": " << all.substr(at, 80);
    at += expected.size();
    ++next[t];
  }
  for (int t = 0; t < 2; ++t)
  {
    skipRefused(t);
    EXPECT_EQ(next[t], kTexts);
  }
}

// The events a background client's link handler heard, with waits.
class LinkEvents
{
public:
  VLinkHandler handler()
  {
    return [this](VLinkEvent event, const std::string& detail) {
      // The action first, so that a test that sees the event sees its sends.
      if (event == VLinkEvent::Connected && onConnected_)
        onConnected_();
      events_.add({event, detail});
    };
  }
  // Runs on every connection, inside the handler (the connection's first sends).
  void onConnected(std::function<void()> action) { onConnected_ = std::move(action); }
  bool waitFor(std::size_t count) { return events_.waitFor(count, TestServer::kWait); }
  // Waits until `client` takes every thread's sends (the handler has returned).
  static bool waitUntilOpen(const VSyncClient& client)
  {
    return notara::test::eventually([&] { return client.isConnected(); }, TestServer::kWait);
  }
  std::vector<std::pair<VLinkEvent, std::string>> events() const { return events_.entries(); }

private:
  CallLog<std::pair<VLinkEvent, std::string>> events_;
  std::function<void()> onConnected_;
};

TEST(VaxoClient, TheQueueTakesTextsUpToItsBoundWholeAndInOrder)
{
  TestServer server(TestServer::Options::stalled());
  LinkEvents events;
  constexpr std::size_t kLimit = 65536;
  // The bound alone: no text may age out however slow the machine is.
  VQueuePolicy policy;
  policy.maxAge = std::chrono::milliseconds(0);
  VSyncClient client("127.0.0.1", server.port(), events.handler(), kLimit, 2, policy);
  client.connect();
  ASSERT_TRUE(LinkEvents::waitUntilOpen(client));

  // Texts of 100 bytes until the queue refuses one. The I/O thread may
  // still be moving texts into the socket's buffers meanwhile, so fill again
  // until the queue stays as it is: the buffers are full then, and the
  // queue holds as much of the bound as fits.
  std::string sent;
  auto text = [](int i) {
    std::string t = "<" + std::to_string(i) + ":";
    return t + std::string(99 - t.size(), 'q') + ",";
  };
  int i = 0;
  std::uint64_t refused = 0;
  auto fill = [&] {
    int result = 0;
    for (; i < 1000000 && (result = client.rawSend(text(i).data(), 100)) == 0; ++i)
      sent += text(i);
    ++refused;
    return result;
  };
  bool settled = false;
  for (int round = 0; round < 100 && !settled; ++round)
  {
    ASSERT_EQ(fill(), V_SEND_QUEUE_FULL) << "after " << i << " texts";
    const std::size_t before = client.queuedBytes();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    settled = client.queuedBytes() == before;
  }
  ASSERT_TRUE(settled) << "the stalled server's socket kept taking texts";
  EXPECT_LE(client.queuedBytes(), kLimit);
  EXPECT_GT(client.queuedBytes(), kLimit - 100);
  EXPECT_EQ(client.textsDroppedQueueFull(), refused);
  EXPECT_EQ(client.rawSend(text(i).data(), 100), V_SEND_QUEUE_FULL);

  // An upload goes in whole beyond the bound; texts after it still wait.
  const std::string upload(3 * kLimit, 'u');
  EXPECT_EQ(client.rawSendWhole(upload.data(), upload.size()), 0);
  sent += upload;
  EXPECT_GT(client.queuedBytes(), kLimit);
  EXPECT_EQ(client.rawSend("refused,", 8), V_SEND_QUEUE_FULL);
  EXPECT_EQ(client.textsDroppedQueueFull(), refused + 2);

  server.resumeReading();
  ASSERT_TRUE(server.waitForBytes(0, sent.size()));
  // Drained: a text goes out at once again.
  EXPECT_EQ(client.rawSend("after,", 6), 0);
  sent += "after,";
  ASSERT_TRUE(server.waitForBytes(0, sent.size()));
  EXPECT_EQ(server.received(0), sent);
  EXPECT_EQ(client.queuedBytes(), 0u);
}

TEST(VaxoClient, ABackgroundClientConnectsWhenToldAndAgainAfterALoss)
{
  TestServer server;
  LinkEvents events;
  VSyncClient client("127.0.0.1", server.port(), events.handler());
  events.onConnected([&] { EXPECT_EQ(client.send("%s", "hello,"), 0); });
  // Nothing happens before connect: what is sent is dropped and counted.
  EXPECT_EQ(client.rawSend("early,", 6), -1);
  EXPECT_EQ(client.textsDroppedDisconnected(), 1u);
  client.connect();
  ASSERT_TRUE(LinkEvents::waitUntilOpen(client));
  EXPECT_EQ(client.rawSend("x=1,", 4), 0);
  ASSERT_TRUE(server.waitForBytes(0, 10));
  EXPECT_EQ(server.received(0), "hello,x=1,");

  server.close(0);
  ASSERT_TRUE(events.waitFor(2));
  EXPECT_EQ(events.events()[1], std::make_pair(VLinkEvent::Lost, std::string("connection closed")));
  EXPECT_FALSE(client.isConnected());
  EXPECT_EQ(client.rawSend("while down,", 11), -1);
  EXPECT_EQ(client.socketDescriptor(), static_cast<VSocketDescriptor>(-1));

  // A new connection starts with the handler's sends again, and nothing of
  // the old one is replayed.
  client.connect(std::chrono::milliseconds(10));
  ASSERT_TRUE(LinkEvents::waitUntilOpen(client));
  EXPECT_EQ(events.events()[2].first, VLinkEvent::Connected);
  EXPECT_EQ(client.rawSend("x=2,", 4), 0);
  ASSERT_TRUE(server.waitForBytes(1, 10));
  EXPECT_EQ(server.received(1), "hello,x=2,");
  EXPECT_EQ(client.textsDroppedDisconnected(), 2u);
  EXPECT_NE(client.socketDescriptor(), static_cast<VSocketDescriptor>(-1));
}

TEST(VaxoClient, ABackgroundAttemptThatGetsNoAnswerFailsAtItsTimeOut)
{
  notara::test::SilentHost silent;
  LinkEvents events;
  CerrCapture capture;
  VSyncClient client("127.0.0.1", silent.port(), events.handler(), VSyncClient::defaultQueueLimit, 1);
  client.connect();
  ASSERT_TRUE(events.waitFor(1));
  EXPECT_EQ(events.events()[0],
            std::make_pair(VLinkEvent::ConnectFailed,
                           "can't connect to 127.0.0.1:" + std::to_string(silent.port()) + ": " +
                               boost::system::error_code(boost::asio::error::timed_out).message()));
  EXPECT_EQ(client.rawSend("x", 1), -1);
  // The handler hears it; standard error doesn't.
  EXPECT_EQ(capture.text(), "");
}

TEST(VaxoClient, SendingToAServerThatIsGoneRaisesNoSignal)
{
  TestServer server;
  Log log;
  // No reader: the client doesn't notice the close, so the sends below
  // really write into the dead connection (the second write after the
  // peer's reset is the one that would raise SIGPIPE).
  Connected c(server, log, 0, false);
  server.close(0);
  ASSERT_TRUE(server.waitForPeerClosed(0));
  server.stop();
  const std::string text(1000, 'x');
  int result = 0;
  for (int i = 0; i < 1000 && result == 0; ++i)
    result = c.client->rawSend(text.data(), text.size());
  EXPECT_EQ(result, -1);
  // The first failure may be the reset; the writes after it are the ones
  // that meet a broken pipe.
  for (int i = 0; i < 3; ++i)
    EXPECT_EQ(c.client->rawSend(text.data(), text.size()), -1);
  EXPECT_EQ(c.client->send("%s", "y=1,"), -1);
  EXPECT_TRUE(log.seen().empty());
}

TEST(VaxoClient, SocketDescriptorIsTheConnectionsSocket)
{
  TestServer server;
  Log log;
  Connected c(server, log, 0);
  const VSocketDescriptor fd = c.client->socketDescriptor();
  ASSERT_NE(fd, static_cast<VSocketDescriptor>(-1));
  // An int-sized value: Linux refuses a shorter one for this option.
  const int on = 1;
  ASSERT_EQ(setsockopt(static_cast<NativeSocket>(fd), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on),
                       sizeof on),
            0);
  int value = 0;
  OptionLength size = sizeof value;
  ASSERT_EQ(getsockopt(static_cast<NativeSocket>(fd), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<char*>(&value), &size), 0);
  EXPECT_NE(value, 0);
}

TEST(VaxoClient, TraceWireEchoesEveryLineEscaped)
{
  TestServer server;
  Log log;
  CerrCapture capture;   // before the reader thread exists, so no write races the swap
  {
    VSyncClient client("127.0.0.1", server.port(), 16, true);
    client.setCallback(new Logger(log, "t"), "t");
    ASSERT_TRUE(server.waitForConnections(1));
    // No error callback: the malformed line's report goes to standard error.
    server.sendLine(0, "\x1b[2J\x07\x9b" "31m");
    server.sendLine(0, dataLine("t", "\"through a small buffer\""));
    ASSERT_TRUE(log.waitFor(1));
  }
  const std::string text = capture.text();
  EXPECT_NE(text.find(R"(VSyncClient: received {\"tag\":\"t\",\"value\":\"through a small buffer\"})"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find(R"(VSyncClient: received \u001b[2J\u0007\ufffd31m)"), std::string::npos) << text;
  EXPECT_NE(text.find(R"(VAbstractClient::deliver: malformed message: \u001b[2J\u0007\ufffd31m)"), std::string::npos)
      << text;
  EXPECT_EQ(text.find_first_of("\x1b\x07\x9b"), std::string::npos);
  EXPECT_EQ(log.seen()[0].value.string, "through a small buffer");
}

TEST(VaxoClient, AnEmptyTextBehindAStalledQueueLeavesTheIOThreadIdle)
{
  TestServer server(TestServer::Options::stalled());
  LinkEvents events;
  // A long age limit: an I/O thread that spun on the empty text would hold
  // the client's lock until the text aged out.
  VQueuePolicy policy;
  policy.maxAge = std::chrono::seconds(30);
  VSyncClient client("127.0.0.1", server.port(), events.handler(), 65536, 2, policy);
  client.connect();
  ASSERT_TRUE(LinkEvents::waitUntilOpen(client));
  const std::string text(100, 'q');
  while (client.rawSend(text.data(), text.size()) == 0)
  {
  }
  ASSERT_GT(client.queuedBytes(), 0u);
  EXPECT_EQ(client.rawSend("", 0), 0);

  const auto start = std::chrono::steady_clock::now();
  server.resumeReading();
  ASSERT_TRUE(notara::test::eventually([&] { return client.queuedBytes() == 0; }, TestServer::kWait));
  // 64 KiB take milliseconds; the spin would last the age limit.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(15));
  EXPECT_EQ(client.rawSend("after,", 6), 0);
  ASSERT_TRUE(server.waitForText(0, "after,"));
}

TEST(VaxoClient, TextsOfOtherThreadsWhileTheHandlerUploadsFollowTheUploads)
{
  TestServer server;
  LinkEvents events;
  VSyncClient* self = nullptr;
  std::thread other;
  events.onConnected([&] {
    self->rawSendWhole("first;", 6);
    // Another thread's text, sent while the handler is still at work.
    other = std::thread([&] { self->rawSend("x=1,", 4); });
    other.join();
    self->rawSendWhole("second;", 7);
  });
  VSyncClient client("127.0.0.1", server.port(), events.handler());
  self = &client;
  client.connect();
  ASSERT_TRUE(LinkEvents::waitUntilOpen(client));
  ASSERT_TRUE(server.waitForBytes(0, 17));
  EXPECT_EQ(server.received(0), "first;second;x=1,");
  EXPECT_EQ(client.textsDroppedDisconnected(), 0u);
}

TEST(VaxoClient, AStalledServerGetsOnlyFreshTextsAndTheLatestValueOfEachVariable)
{
  TestServer server(TestServer::Options::stalled());
  LinkEvents events;
  VQueuePolicy policy;
  policy.maxAge = std::chrono::milliseconds(300);
  VSyncClient client("127.0.0.1", server.port(), events.handler(), VSyncClient::defaultQueueLimit, 2, policy);
  client.connect();
  ASSERT_TRUE(LinkEvents::waitUntilOpen(client));
  // Fill the socket's buffers, and the queue well beyond what they could
  // still take, so that what follows waits in the queue.
  const std::string filler(100, 'q');
  std::size_t fillers = 0;
  while (client.queuedBytes() < 16384)
  {
    ASSERT_EQ(client.rawSend(filler.data(), filler.size()), 0);
    ++fillers;
  }
  // Old texts: an event and two assignments, u's the last of its variable.
  ASSERT_EQ(client.rawSend("emit old(),", 11), 0);
  ASSERT_EQ(client.rawSend("u=1,", 4), 0);
  ASSERT_EQ(client.rawSend("v=1,", 4), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  // Young texts: an assignment, an event, and two later assignments.
  ASSERT_EQ(client.rawSend("w=1,", 4), 0);
  ASSERT_EQ(client.rawSend("emit new(),", 11), 0);
  ASSERT_EQ(client.rawSend("w=2,", 4), 0);
  ASSERT_EQ(client.rawSend("v=3,", 4), 0);
  EXPECT_EQ(client.textsReplaced(), 2u);

  server.resumeReading();
  const std::string fresh = "u=1,emit new(),w=2,v=3,";
  ASSERT_TRUE(server.waitForText(0, fresh));
  // Whole fillers (the one begun goes out whole although it is old), then
  // u's value, old but still its latest, and the fresh texts; the old
  // event and the replaced assignments never come.
  const std::string received = server.received(0);
  ASSERT_GE(received.size(), fresh.size());
  const std::string fillersReceived = received.substr(0, received.size() - fresh.size());
  EXPECT_EQ(received.substr(fillersReceived.size()), fresh);
  EXPECT_EQ(fillersReceived, std::string(fillersReceived.size(), 'q'));
  ASSERT_EQ(fillersReceived.size() % 100, 0u);
  const std::size_t written = fillersReceived.size() / 100;
  EXPECT_LT(written, fillers);
  EXPECT_EQ(client.textsDroppedOld(), fillers - written + 1);
  EXPECT_EQ(client.textsReplaced(), 2u);
  // The I/O thread counts a write once write_some has returned, which may
  // be after the server has read it.
  const auto recorded = [&] {
    std::uint64_t sum = 0;
    for (const auto count : client.writeLatency().read())
      sum += count;
    return sum;
  };
  EXPECT_TRUE(notara::test::eventually([&] { return recorded() >= written + 4; }, TestServer::kWait));
  EXPECT_EQ(recorded(), written + 4);
}

TEST(VaxoClient, HeldSendsGoOutTogetherInOrderWithOtherThreadsSends)
{
  TestServer server;
  LinkEvents events;
  VSyncClient client("127.0.0.1", server.port(), events.handler());
  client.connect();
  ASSERT_TRUE(LinkEvents::waitUntilOpen(client));
  // One thread sends in held bursts, another one text at a time; each
  // thread's texts keep their order and none is lost or doubled.
  constexpr int kBursts = 2000;
  std::thread other([&] {
    for (int i = 0; i < kBursts; ++i)
    {
      const std::string text = "emit b(" + std::to_string(i) + "),";
      client.rawSend(text.data(), text.size());
    }
  });
  for (int i = 0; i < kBursts; ++i)
  {
    VSyncClient::holdSends();
    for (int j = 0; j < 5; ++j)
    {
      const std::string text = "emit a(" + std::to_string(i * 5 + j) + "),";
      ASSERT_EQ(client.rawSend(text.data(), text.size()), 0);
    }
    VSyncClient::flushHeldSends();
  }
  other.join();
  const std::string lastA = "emit a(" + std::to_string(kBursts * 5 - 1) + "),";
  const std::string lastB = "emit b(" + std::to_string(kBursts - 1) + "),";
  ASSERT_TRUE(server.waitForText(0, lastA));
  ASSERT_TRUE(server.waitForText(0, lastB));
  const std::string received = server.received(0);
  int nextA = 0;
  int nextB = 0;
  for (std::size_t at = 0; at < received.size();)
  {
    const std::size_t end = received.find("),", at);
    ASSERT_NE(end, std::string::npos) << received.substr(at, 40);
    const std::string text = received.substr(at, end + 2 - at);
    if (text.rfind("emit a(", 0) == 0)
      ASSERT_EQ(text, "emit a(" + std::to_string(nextA++) + "),");
    else
      ASSERT_EQ(text, "emit b(" + std::to_string(nextB++) + "),");
    at = end + 2;
  }
  EXPECT_EQ(nextA, kBursts * 5);
  EXPECT_EQ(nextB, kBursts);
}

TEST(VaxoClient, AClientDestroyedWhileAThreadHoldsItsTextsIsSkippedByTheFlush)
{
  // A robot retired by a reload in the middle of a MIDI burst: the burst's
  // thread held texts for its client, another thread destroys the client,
  // and the flush must touch only the clients that are still there.
  TestServer server;
  LinkEvents events;
  auto doomed = std::make_unique<VSyncClient>("127.0.0.1", server.port(), events.handler());
  VSyncClient kept("127.0.0.1", server.port(), events.handler());
  doomed->connect();
  ASSERT_TRUE(LinkEvents::waitUntilOpen(*doomed));
  kept.connect();
  ASSERT_TRUE(LinkEvents::waitUntilOpen(kept));
  ASSERT_TRUE(server.waitForConnections(2));

  const std::string first = "emit held(1),";
  const std::string second = "emit held(2),";
  VSyncClient::holdSends();
  ASSERT_EQ(doomed->rawSend(first.data(), first.size()), 0);
  ASSERT_EQ(kept.rawSend(first.data(), first.size()), 0);
  ASSERT_EQ(kept.rawSend(second.data(), second.size()), 0);
  std::thread([&] { doomed.reset(); }).join();
  VSyncClient::flushHeldSends();

  // The kept client's texts go out whole and in order; which connection
  // number the server gave it depends on the order of the accepts.
  ASSERT_TRUE(notara::test::eventually(
      [&] { return server.received(0) == first + second || server.received(1) == first + second; },
      TestServer::kWait));
  // The next round starts from an empty list: nothing of the old one is
  // flushed again.
  VSyncClient::holdSends();
  VSyncClient::flushHeldSends();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_TRUE(server.received(0) == first + second || server.received(1) == first + second);
}
