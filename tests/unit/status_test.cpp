// The status server's parts: the event ring under a concurrent writer, the
// two documents, the reply to each kind of request, and the server itself
// over real sockets (its limits, its stream, a port already taken, a
// source that throws what is no std::exception).
#include <gtest/gtest.h>

#include <atomic>
#include <boost/asio.hpp>
#include <chrono>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "status/event_ring.h"
#include "status/latency_histogram.h"
#include "status/status_document.h"
#include "status/status_server.h"
#include "support/cerr_capture.h"
#include "support/eventually.h"

using namespace std::chrono_literals;
using namespace notara::test;
using status::EventRing;
using status::StatusServer;
using tcp = boost::asio::ip::tcp;

namespace
{
  // A source whose snapshot the test sets; the server's thread reads it.
  class FixedSource : public status::StatusSource
  {
  public:
    status::Snapshot snapshot() override
    {
      std::lock_guard<std::mutex> guard(mutex);
      ++calls;
      return value;
    }
    void set(const status::Snapshot& s)
    {
      std::lock_guard<std::mutex> guard(mutex);
      value = s;
    }
    std::mutex mutex;
    status::Snapshot value;
    std::atomic<int> calls{0};
  };

  // A FixedSource that, while `throwing`, throws what no handler that
  // catches only std::exception would stop.
  class ThrowingSource : public FixedSource
  {
  public:
    status::Snapshot snapshot() override
    {
      if (throwing.load())
      {
        ++thrown;
        throw 42;
      }
      return FixedSource::snapshot();
    }
    std::atomic<bool> throwing{false};
    std::atomic<int> thrown{0};
  };

  status::Snapshot twoRobots()
  {
    status::Snapshot s;
    s.version = "1.2.3";
    s.midiDevice = "Keys <b>&amp;</b>";
    s.midiOpen = true;
    s.midiEvents = 7;
    s.bpm = 120.5;
    s.parameter = 3;
    s.debug = 2;
    s.robots.push_back({0, "127.0.0.1", 54000, "up", 0, 5, 1, 2, 1.5, {{0.001, 0.01}, {2, 0, 1}, 0.5025, 3}});
    s.robots.push_back({3, "host\"with\\quote", 54001, "down", 12, 0, 4, 0, 0.25, {}});
    status::RecentEvent e;
    e.sequence = 9;
    e.kind = 9;
    e.channel = 1;
    e.data1 = 60;
    e.data2 = 100;
    e.texts.push_back({0, "<img src=x onerror=alert(1)>\xff", false});
    s.recent.push_back(e);
    status::LatencyHistogram histogram;
    histogram.observe(40);
    histogram.observe(3000);
    histogram.observe(5000000);
    s.latency = histogram.read();
    s.config = status::ConfigStatus{"show.conf", 12.5, 2, std::string("configuration error in show.conf: <b>")};
    return s;
  }

  std::string body(const std::optional<StatusServer::Reply>& reply)
  {
    return reply ? reply->body : std::string("(no reply)");
  }

  // A blocking client of the server at `port`.
  struct Client
  {
    explicit Client(std::uint16_t port) : socket(io) { socket.connect({boost::asio::ip::make_address("127.0.0.1"), port}); }
    void send(const std::string& bytes) { boost::asio::write(socket, boost::asio::buffer(bytes)); }
    // Everything until the server closes the connection.
    std::string readAll()
    {
      std::string all;
      boost::system::error_code error;
      char buffer[4096];
      for (;;)
      {
        const std::size_t n = socket.read_some(boost::asio::buffer(buffer), error);
        if (error)
          return all;
        all.append(buffer, n);
      }
    }
    // At least `count` bytes, or what came before the connection closed.
    std::string readSome(std::size_t count)
    {
      std::string got;
      boost::system::error_code error;
      char buffer[4096];
      while (got.size() < count)
      {
        const std::size_t n = socket.read_some(boost::asio::buffer(buffer), error);
        if (error)
          break;
        got.append(buffer, n);
      }
      return got;
    }
    boost::asio::io_context io;
    tcp::socket socket;
  };

  // Reads `stream` into `events` until they hold `text`; a stream that ends
  // first fails the test.
  void readUntil(Client& stream, std::string& events, const std::string& text)
  {
    while (events.find(text) == std::string::npos)
    {
      const std::string more = stream.readSome(1);
      ASSERT_FALSE(more.empty()) << events;
      events += more;
    }
  }
}

TEST(EventRing, KeepsTheLastEventsWithTheirTextsWhileWrittenConcurrently)
{
  EventRing ring;
  std::atomic<bool> done{false};
  // Each event's data bytes and texts derive from its number, so a reader
  // that mixed two events' fields would see a mismatch.
  std::thread writer([&] {
    for (int n = 1; n <= 20000; ++n)
    {
      ring.begin(n, 9, n % 16, n % 128, (n / 128) % 128);
      const std::string text = "t" + std::to_string(n);
      for (int robot = 0; robot < n % 4; ++robot)
        ring.addText(robot, text.data(), text.size());
      ring.end();
    }
    done = true;
  });
  std::size_t reads = 0;
  while (!done || reads == 0)
  {
    const std::vector<status::RecentEvent> events = ring.read(0);
    ++reads;
    ASSERT_LE(events.size(), EventRing::capacity);
    for (std::size_t i = 0; i < events.size(); ++i)
    {
      const status::RecentEvent& e = events[i];
      const auto n = static_cast<int>(e.sequence);
      if (i > 0)
      {
        ASSERT_GT(e.sequence, events[i - 1].sequence);
      }
      ASSERT_EQ(e.timeS, n / 1e6);
      ASSERT_EQ(e.channel, n % 16);
      ASSERT_EQ(e.data1, n % 128);
      ASSERT_EQ(e.data2, (n / 128) % 128);
      ASSERT_EQ(e.texts.size(), static_cast<std::size_t>(n % 4));
      for (const status::RecentText& t : e.texts)
        ASSERT_EQ(t.text, "t" + std::to_string(n));
    }
  }
  writer.join();
  const std::vector<status::RecentEvent> last = ring.read(0);
  ASSERT_EQ(last.size(), EventRing::capacity);
  EXPECT_EQ(last.front().sequence, 20000u - EventRing::capacity + 1);
  EXPECT_EQ(last.back().sequence, 20000u);
}

TEST(EventRing, CutsLongTextsAndCountsTextsBeyondItsRoom)
{
  EventRing ring;
  ring.addText(0, "no event open", 13);
  EXPECT_TRUE(ring.read(0).empty());
  ring.begin(0, 11, 2, 7, 64);
  const std::string longText(200, 'x');
  for (int i = 0; i < 10; ++i)
    ring.addText(i, longText.data(), i == 0 ? longText.size() : 3);
  // Open: not shown yet.
  EXPECT_TRUE(ring.read(0).empty());
  ring.end();
  const std::vector<status::RecentEvent> events = ring.read(0);
  ASSERT_EQ(events.size(), 1u);
  ASSERT_EQ(events[0].texts.size(), EventRing::textsPerEvent);
  EXPECT_TRUE(events[0].textsCut);
  EXPECT_EQ(events[0].texts[0].text, std::string(EventRing::textLimit, 'x'));
  EXPECT_TRUE(events[0].texts[0].cut);
  EXPECT_EQ(events[0].texts[7].robot, 7);
  EXPECT_EQ(events[0].texts[7].text, "xxx");
  EXPECT_FALSE(events[0].texts[7].cut);
}

TEST(StatusDocument, JsonCarriesEveryNameAndTextsAsPlainStrings)
{
  const nlohmann::json doc = nlohmann::json::parse(status::statusJson(twoRobots()));
  EXPECT_EQ(doc["version"], "1.2.3");
  EXPECT_EQ(doc["midi"]["device"], "Keys <b>&amp;</b>");
  EXPECT_EQ(doc["midi"]["state"], "open");
  EXPECT_EQ(doc["midi"]["events"], 7);
  EXPECT_EQ(doc["midi"]["dropped"], 0);
  EXPECT_EQ(doc["clock"]["running"], false);
  EXPECT_EQ(doc["clock"]["bpm"], 120.5);
  EXPECT_EQ(doc["parameter"], 3);
  EXPECT_EQ(doc["debug"], 2);
  ASSERT_EQ(doc["robots"].size(), 2u);
  const nlohmann::json& down = doc["robots"][1];
  EXPECT_EQ(down["slot"], 3);
  EXPECT_EQ(down["host"], "host\"with\\quote");
  EXPECT_EQ(down["port"], 54001);
  EXPECT_EQ(down["state"], "down");
  EXPECT_EQ(down["queued_bytes"], 12);
  EXPECT_EQ(down["sent"], 0);
  EXPECT_EQ(down["dropped"], 4);
  EXPECT_EQ(down["connections"], 0);
  EXPECT_EQ(down["since_s"], 0.25);
  const nlohmann::json& e = doc["recent"][0];
  EXPECT_EQ(e["kind"], "note_on");
  EXPECT_EQ(e["channel"], 1);
  EXPECT_EQ(e["data1"], 60);
  EXPECT_EQ(e["data2"], 100);
  // Bytes that are not UTF-8 come out replaced, not as a broken document.
  EXPECT_EQ(e["texts"][0]["text"], "<img src=x onerror=alert(1)>\xEF\xBF\xBD");
  EXPECT_EQ(doc["uptime_s"], 0);

  EXPECT_EQ(doc["config"], nlohmann::json({{"file", "show.conf"},
                                           {"loaded_s", 12.5},
                                           {"reloads", 2},
                                           {"error", "configuration error in show.conf: <b>"}}));

  status::Snapshot none;
  const nlohmann::json empty = nlohmann::json::parse(status::statusJson(none));
  EXPECT_TRUE(empty["clock"]["bpm"].is_null());
  // No configuration read yet: no config at all.
  EXPECT_FALSE(empty.contains("config"));
}

TEST(StatusDocument, MetricsHaveTheirTypesLabelsAndACumulativeHistogram)
{
  const std::string text = status::metricsText(twoRobots());
  const std::string robot3 = "slot=\"3\",host=\"host\\\"with\\\\quote\",port=\"54001\"";
  for (const std::string& line : {
         std::string("# TYPE notara_midi_events_total counter\nnotara_midi_events_total 7\n"),
         std::string("notara_config_reloads_total 2\n"),
         std::string("notara_config_reload_failed 1\n"),
         std::string("notara_midi_device_open{device=\"Keys <b>&amp;</b>\"} 1\n"),
         std::string("notara_tempo_bpm 120.5\n"),
         std::string("notara_robot_up{slot=\"0\",host=\"127.0.0.1\",port=\"54000\"} 1\n"),
         "notara_robot_up{" + robot3 + "} 0\n",
         "notara_robot_texts_dropped_total{" + robot3 + "} 4\n",
         // The histogram's buckets count cumulatively.
         std::string("notara_latency_seconds_bucket{le=\"5e-05\"} 1\n"),
         std::string("notara_latency_seconds_bucket{le=\"0.005\"} 2\n"),
         std::string("notara_latency_seconds_bucket{le=\"1\"} 2\n"),
         std::string("notara_latency_seconds_bucket{le=\"+Inf\"} 3\n"),
         std::string("notara_latency_seconds_sum 5.00304\nnotara_latency_seconds_count 3\n")})
    EXPECT_NE(text.find(line), std::string::npos) << line << "not in\n" << text;
  // Each robot's histogram to the last byte written, with its labels.
  const std::string robot0 = "slot=\"0\",host=\"127.0.0.1\",port=\"54000\"";
  EXPECT_NE(text.find("# TYPE notara_robot_latency_seconds histogram\n"
                      "notara_robot_latency_seconds_bucket{" + robot0 + ",le=\"0.001\"} 2\n"
                      "notara_robot_latency_seconds_bucket{" + robot0 + ",le=\"0.01\"} 2\n"
                      "notara_robot_latency_seconds_bucket{" + robot0 + ",le=\"+Inf\"} 3\n"
                      "notara_robot_latency_seconds_sum{" + robot0 + "} 0.5025\n"
                      "notara_robot_latency_seconds_count{" + robot0 + "} 3\n"),
            std::string::npos) << text;
}

TEST(StatusReply, AnswersEachKindOfRequest)
{
  FixedSource source;
  source.set(twoRobots());
  const auto reply = [&](const std::string& bytes) { return StatusServer::replyTo(bytes, source); };

  EXPECT_FALSE(reply("GET /status.json HTTP/1.1\r\nHost: x\r\n"));
  auto json = reply("GET /status.json?x=1 HTTP/1.1\r\nHost: x\r\n\r\n");
  ASSERT_TRUE(json);
  EXPECT_EQ(json->status, 200);
  EXPECT_EQ(json->contentType, "application/json");
  EXPECT_EQ(nlohmann::json::parse(json->body)["version"], "1.2.3");

  auto metrics = reply("GET /metrics HTTP/1.0\r\n\r\n");
  ASSERT_TRUE(metrics);
  EXPECT_EQ(metrics->contentType, "text/plain; version=0.0.4; charset=utf-8");

  auto page = reply("GET / HTTP/1.1\r\n\r\n");
  ASSERT_TRUE(page);
  EXPECT_EQ(page->contentType, "text/html; charset=utf-8");
  EXPECT_EQ(page->nonce.size(), 32u);
  EXPECT_EQ(page->body.find("@NONCE@"), std::string::npos);
  EXPECT_NE(page->body.find("<script nonce=\"" + page->nonce + "\">"), std::string::npos);
  EXPECT_NE(page->body.find("EventSource(\"events\")"), std::string::npos);
  EXPECT_NE(reply("GET / HTTP/1.1\r\n\r\n")->nonce, page->nonce);

  auto head = reply("HEAD /events HTTP/1.1\r\n\r\n");
  ASSERT_TRUE(head);
  EXPECT_TRUE(head->head);
  EXPECT_TRUE(head->stream);
  EXPECT_EQ(head->contentType, "text/event-stream");

  EXPECT_EQ(reply("POST / HTTP/1.1\r\nContent-Length: 0\r\n\r\n")->status, 405);
  EXPECT_EQ(reply("OPTIONS * HTTP/1.1\r\n\r\n")->status, 405);
  EXPECT_EQ(reply("GET /status.json/ HTTP/1.1\r\n\r\n")->status, 404);
  EXPECT_EQ(reply("GET /page.html HTTP/1.1\r\n\r\n")->status, 404);
  EXPECT_EQ(reply("GET http://x/ HTTP/1.1\r\n\r\n")->status, 404);
  EXPECT_EQ(reply("GET / HTTP/1.1\r\nContent-Length: 5\r\n\r\nhello")->status, 400);
  EXPECT_EQ(reply("GET / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n")->status, 400);
  EXPECT_EQ(reply("\x16\x03\x01 garbage\r\n\r\n")->status, 400);
  EXPECT_EQ(reply("GET / HTTP/1.1\r\nX: " + std::string(8200, 'a') + "\r\n\r\n")->status, 431);
  EXPECT_EQ(reply("GET / HTTP/1.1\r\nX: " + std::string(8000, 'a') + "\r\n\r\n")->status, 200);
  EXPECT_EQ(body(reply("GET /nothing HTTP/1.1\r\n\r\n")).find('<'), std::string::npos);
}

TEST(StatusServer, ServesOverSocketsWithinItsLimits)
{
  FixedSource source;
  source.set(twoRobots());
  StatusServer server(source, "127.0.0.1", 0);
  server.start();
  ASSERT_NE(server.port(), 0);
  EXPECT_EQ(server.url(), "http://127.0.0.1:" + std::to_string(server.port()) + "/");

  {
    Client client(server.port());
    client.send("GET /status.json HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
    const std::string reply = client.readAll();
    ASSERT_EQ(reply.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << reply;
    EXPECT_NE(reply.find("Content-Security-Policy: default-src 'none'"), std::string::npos);
    EXPECT_EQ(reply.find("Access-Control-Allow-Origin"), std::string::npos);
    EXPECT_EQ(nlohmann::json::parse(reply.substr(reply.find("\r\n\r\n") + 4))["robots"].size(), 2u);
  }
  {
    // Two requests on one connection, the second a HEAD: headers, no body.
    Client client(server.port());
    client.send("GET /metrics HTTP/1.1\r\n\r\nHEAD / HTTP/1.1\r\nConnection: close\r\n\r\n");
    const std::string reply = client.readAll();
    const std::size_t second = reply.find("HTTP/1.1 200 OK", 1);
    ASSERT_NE(second, std::string::npos) << reply;
    EXPECT_NE(reply.find("script-src 'nonce-", second), std::string::npos);
    EXPECT_EQ(reply.find("<html", second), std::string::npos);
  }

  // The stream: the document at once, and again when it changes.
  Client stream(server.port());
  stream.send("GET /events HTTP/1.1\r\n\r\n");
  std::string events = stream.readSome(200);
  ASSERT_EQ(events.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << events;
  EXPECT_NE(events.find("Content-Type: text/event-stream"), std::string::npos);
  status::Snapshot changed = twoRobots();
  changed.parameter = 77;
  source.set(changed);
  ASSERT_NO_FATAL_FAILURE(readUntil(stream, events, "\"parameter\":77"));

  // 31 more clients hold their places with requests never finished...
  std::vector<std::unique_ptr<Client>> held;
  for (int i = 0; i < StatusServer::clientLimit - 1; ++i)
  {
    held.push_back(std::make_unique<Client>(server.port()));
    held.back()->send("GET / HTTP/1.1\r\n");
  }
  // ... so the 33rd is refused, once the server has taken them all.
  std::string refused;
  ASSERT_TRUE(eventually(
      [&] {
        Client extra(server.port());
        refused = extra.readAll();
        return refused.rfind("HTTP/1.1 503", 0) == 0;
      },
      10s))
      << refused;
  held.clear();
  // Their places come free.
  std::string served;
  ASSERT_TRUE(eventually(
      [&] {
        Client again(server.port());
        again.send("GET /metrics HTTP/1.0\r\n\r\n");
        served = again.readAll();
        return served.rfind("HTTP/1.1 200", 0) == 0;
      },
      10s))
      << served;
}

TEST(StatusServer, APortAlreadyTakenIsOneClearError)
{
  FixedSource source;
  StatusServer first(source, "127.0.0.1", 0);
  first.start();
  StatusServer second(source, "127.0.0.1", first.port());
  try
  {
    second.start();
    FAIL() << "the second server listened on the first one's port";
  }
  catch (const std::runtime_error& e)
  {
    EXPECT_EQ(std::string(e.what()).rfind("can't listen on 127.0.0.1:" + std::to_string(first.port()) + ": ", 0), 0u)
        << e.what();
  }
  StatusServer wrong(source, "no.such.address", 0);
  EXPECT_THROW(wrong.start(), std::runtime_error);
}

TEST(StatusServer, ASourceThatThrowsAnythingCostsAReplyAndTheStreamGoesOn)
{
  ThrowingSource source;
  source.set(twoRobots());
  StatusServer server(source, "127.0.0.1", 0);
  server.start();
  CerrCapture capture;
  Client stream(server.port());
  stream.send("GET /events HTTP/1.1\r\n\r\n");
  std::string events = stream.readSome(200);
  ASSERT_EQ(events.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << events;

  source.throwing.store(true);
  {
    // The request that met it gets an error, on a connection served to the end.
    Client client(server.port());
    client.send("GET /status.json HTTP/1.1\r\nConnection: close\r\n\r\n");
    const std::string reply = client.readAll();
    EXPECT_EQ(reply.rfind("HTTP/1.1 500", 0), 0u) << reply;
    EXPECT_NE(reply.find("Internal error: unknown exception"), std::string::npos) << reply;
  }
  // The stream's ticks meet it too, a few times over...
  ASSERT_TRUE(eventually([&] { return source.thrown.load() >= 4; }, 10s));
  source.throwing.store(false);
  // ... and still come: the document is asked for again, and a change
  // reaches the stream.
  const int calls = source.calls.load();
  ASSERT_TRUE(eventually([&] { return source.calls.load() >= calls + 2; }, 10s)) << "the stream's ticks stopped";
  status::Snapshot changed = twoRobots();
  changed.parameter = 77;
  source.set(changed);
  ASSERT_NO_FATAL_FAILURE(readUntil(stream, events, "\"parameter\":77"));
  // Each failed tick said so, naming where.
  EXPECT_NE(capture.text().find("StatusServer::tick: the event stream: unknown exception\n"), std::string::npos)
    << capture.text();
}
