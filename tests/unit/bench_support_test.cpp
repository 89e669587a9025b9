// The benchmarks' own support: the statement sink that counts and stamps
// what a robot receives, the order statistics and the result table. A fault
// here would make a benchmark report figures nobody measured.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "latency_summary.h"
#include "result_table.h"
#include "statement_sink.h"
#include "support/temp_dir.h"

namespace
{
  constexpr auto kWait = std::chrono::seconds(10);
  namespace asio = boost::asio;
  using tcp = asio::ip::tcp;
  using namespace notara::bench;

  /// Plain loopback connections to a sink, written to as the test says.
  class Peers
  {
  public:
    Peers(StatementSink& sink, std::size_t count)
    {
      const tcp::endpoint at(asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(sink.port()));
      for (std::size_t i = 0; i < count; ++i)
      {
        sockets_.emplace_back(io_);
        sockets_.back().connect(at);
      }
    }
    void write(std::size_t i, const std::string& bytes) { asio::write(sockets_.at(i), asio::buffer(bytes)); }
    void close(std::size_t i) { sockets_.at(i).close(); }

  private:
    asio::io_context io_;
    std::vector<tcp::socket> sockets_;
  };

  std::string emit(std::size_t seq, std::size_t slot = 0)
  {
    return "emit midi.key(9," + std::to_string(slot) + "," + std::to_string(seq % 128) + "," +
           std::to_string(seq / 128 % 128) + "),";
  }
}

TEST(StatementSinkTest, SequenceNumberIsReadFromTheLastTwoNumbers)
{
  const std::string key = "emit midi.key(9,0,5,2),";
  EXPECT_EQ(StatementSink::sequenceOf(key.data(), key.size()), 5 + 128 * 2);
  const std::string top = "emit x(9,0,127,127),";
  EXPECT_EQ(StatementSink::sequenceOf(top.data(), top.size()), 16383);
  for (const std::string bad : {"v=12,", "emit x(9,0,5),", "emit x(9,0,128,0),", "emit x(9,0,a,1),",
                                "emit x(9,0,,1),", "emit x(9,0,1,2,3),"})
    EXPECT_EQ(StatementSink::sequenceOf(bad.data(), bad.size()), -1) << bad;
}

TEST(StatementSinkTest, CountsStatementsAfterTheUploadWhateverTheWritesCutThem)
{
  StatementSink sink(2, "UPLOAD;", 16);
  Peers peers(sink, 2);
  ASSERT_TRUE(sink.acceptAll(kWait));

  // The upload and the statements arrive cut at awkward places: inside the
  // upload, inside the parentheses, between a statement's last two bytes.
  const std::int64_t before = StatementSink::now();
  peers.write(0, "UPL");
  peers.write(0, "OAD;emit midi.key(9,0,");
  peers.write(0, "0,0)");
  peers.write(0, ",emit midi.key(9,0,1,0),emit midi.key(9,0,2,0)");
  ASSERT_TRUE(sink.waitForStatements(0, 2, kWait));
  EXPECT_TRUE(sink.prefixDone(0));
  EXPECT_FALSE(sink.prefixDone(1));
  // The third statement lacks its ',' yet: not counted.
  EXPECT_EQ(sink.statements(0), 2u);
  peers.write(0, ",");
  ASSERT_TRUE(sink.waitForStatements(0, 3, kWait));

  peers.write(1, "UPLOAD;" + emit(0) + emit(1));
  ASSERT_TRUE(sink.waitForStatements(1, 2, kWait));
  EXPECT_TRUE(sink.waitForPrefixes(kWait));
  EXPECT_FALSE(sink.prefixMismatch());
  EXPECT_EQ(sink.misfits(0), 0u);
  EXPECT_EQ(sink.misfits(1), 0u);

  // Stamps come after the bytes were written, in arrival order.
  EXPECT_GE(sink.arrival(0, 0), before);
  EXPECT_LE(sink.arrival(0, 0), sink.arrival(0, 1));
  EXPECT_LE(sink.arrival(0, 1), sink.arrival(0, 2));
  EXPECT_LE(sink.arrival(0, 2), StatementSink::now());
}

TEST(StatementSinkTest, ReportsLostReorderedAndForeignStatements)
{
  StatementSink sink(1, "", 16);
  Peers peers(sink, 1);
  ASSERT_TRUE(sink.acceptAll(kWait));
  // Event 1 is lost: 2 and 3 stand where 1 and 2 should; then a text
  // without a sequence number.
  peers.write(0, emit(0) + emit(2) + emit(3) + "v=1,");
  ASSERT_TRUE(sink.waitForStatements(0, 4, kWait));
  EXPECT_EQ(sink.misfits(0), 3u);
  EXPECT_EQ(sink.firstMisfit(0), "statement 1: " + emit(2));
}

TEST(StatementSinkTest, SlotIsReadFromTheSecondNumber)
{
  const std::string key = "emit midi.key(9,3,5,2),";
  EXPECT_EQ(StatementSink::slotOf(key.data(), key.size()), 3);
  for (const std::string bad : {"v=12,", "emit x(9,3,5),", "emit x(9,3,128,0),", "emit x(9,,1,1),"})
    EXPECT_EQ(StatementSink::slotOf(bad.data(), bad.size()), -1) << bad;
}

TEST(StatementSinkTest, OneStreamTakesEverySlotInOneSequence)
{
  StatementSink sink(1, "", 16);
  Peers peers(sink, 1);
  ASSERT_TRUE(sink.acceptAll(kWait));
  EXPECT_EQ(sink.streams(), 1u);
  peers.write(0, emit(0, 0) + emit(1, 2) + emit(2, 1));
  ASSERT_TRUE(sink.waitForStatements(0, 3, kWait));
  EXPECT_EQ(sink.misfits(0), 0u);
  EXPECT_EQ(sink.statements(0, 0), 3u);
  EXPECT_EQ(sink.arrival(0, 0, 2), sink.arrival(0, 2));
}

TEST(StatementSinkTest, StreamsAreCheckedEachInItsOwnOrderWhateverComesBetween)
{
  StatementSink sink(2, "", 16, 3);
  Peers peers(sink, 2);
  ASSERT_TRUE(sink.acceptAll(kWait));
  EXPECT_EQ(sink.streams(), 3u);
  // Three sources interleaved in any order, each numbered from 0.
  peers.write(0, emit(0, 1) + emit(0, 0) + emit(1, 1) + emit(0, 2) + emit(2, 1) + emit(1, 0));
  ASSERT_TRUE(sink.waitForStatements(0, 6, kWait));
  EXPECT_EQ(sink.misfits(0), 0u);
  EXPECT_EQ(sink.statements(0, 0), 2u);
  EXPECT_EQ(sink.statements(0, 1), 3u);
  EXPECT_EQ(sink.statements(0, 2), 1u);
  EXPECT_LE(sink.arrival(0, 1, 0), sink.arrival(0, 1, 2));
  EXPECT_LE(sink.arrival(0, 0, 0), sink.arrival(0, 0, 1));

  // On the other connection stream 2 loses its event 1 and gets 0 twice;
  // stream 0 is whole; a slot beyond the streams and a text without a
  // number belong to none.
  peers.write(1, emit(0, 2) + emit(0, 0) + emit(2, 2) + emit(1, 0) + emit(0, 2) + emit(0, 3) + "v=1,");
  ASSERT_TRUE(sink.waitForStatements(1, 7, kWait));
  EXPECT_EQ(sink.statements(1, 0), 2u);
  EXPECT_EQ(sink.statements(1, 2), 3u);
  EXPECT_EQ(sink.misfits(1), 4u);
  EXPECT_EQ(sink.firstMisfit(1), "statement 2 (1 of stream 2): " + emit(2, 2));
}

TEST(StatementSinkTest, NoticesAWrongUploadAndAClosedPeer)
{
  StatementSink sink(1, "UPLOAD;", 4);
  Peers peers(sink, 1);
  ASSERT_TRUE(sink.acceptAll(kWait));
  peers.write(0, "UPLOAX;" + emit(0));
  ASSERT_TRUE(sink.waitForStatements(0, 1, kWait));
  EXPECT_TRUE(sink.prefixMismatch());
  peers.close(0);
  for (int i = 0; i < 1000 && !sink.peerClosed(0); ++i)
    sink.waitForStatements(0, 2, std::chrono::milliseconds(10));
  EXPECT_TRUE(sink.peerClosed(0));
}

TEST(StatementSinkTest, AcceptAllGivesUpWhenTooFewConnect)
{
  StatementSink sink(2, "", 4);
  Peers peers(sink, 1);
  EXPECT_FALSE(sink.acceptAll(std::chrono::milliseconds(200)));
  // The one that came is served all the same.
  peers.write(0, emit(0));
  EXPECT_TRUE(sink.waitForStatements(0, 1, kWait));
}

TEST(LatencySummaryTest, PercentilesAreNearestRankSamples)
{
  std::vector<std::int64_t> samples;
  for (std::int64_t v = 1000; v >= 1; --v)
    samples.push_back(v);
  const LatencySummary s = LatencySummary::of(samples);
  EXPECT_EQ(s.count, 1000u);
  EXPECT_EQ(s.p50, 500);
  EXPECT_EQ(s.p99, 990);
  EXPECT_EQ(s.p999, 999);
  EXPECT_EQ(s.max, 1000);

  // With fewer samples than the tail needs, the tail is the largest sample.
  std::vector<std::int64_t> few = {7, 3, 5};
  const LatencySummary f = LatencySummary::of(few);
  EXPECT_EQ(f.p50, 5);
  EXPECT_EQ(f.p99, 7);
  EXPECT_EQ(f.p999, 7);

  std::vector<std::int64_t> none;
  const LatencySummary n = LatencySummary::of(none);
  EXPECT_EQ(n.count, 0u);
  EXPECT_EQ(n.max, 0);
}

TEST(ResultTableTest, TargetsAreJudgedOnTheValueOrItsRatioToTheFloor)
{
  using Row = ResultTable::Row;
  using Target = ResultTable::Target;
  const Row ratioKept{"p", "s", "p50", 30, "us", 20.0, "floor", Target{"ratio", "<=", 1.5}};
  const Row ratioMissed{"p", "s", "p50", 31, "us", 20.0, "floor", Target{"ratio", "<=", 1.5}};
  EXPECT_EQ(ResultTable::ratio(ratioKept), 1.5);
  EXPECT_EQ(ResultTable::met(ratioKept), true);
  EXPECT_EQ(ResultTable::met(ratioMissed), false);

  // A ratio target without a usable floor is not kept.
  const Row noFloor{"p", "s", "p50", 1, "us", 0.0, "floor", Target{"ratio", "<=", 1.5}};
  EXPECT_FALSE(ResultTable::ratio(noFloor).has_value());
  EXPECT_EQ(ResultTable::met(noFloor), false);

  EXPECT_EQ(ResultTable::met({"p", "s", "max", 40000, "us", std::nullopt, "", Target{"value", "<", 40000}}), false);
  EXPECT_EQ(ResultTable::met({"p", "s", "max", 39999, "us", std::nullopt, "", Target{"value", "<", 40000}}), true);
  EXPECT_EQ(ResultTable::met({"p", "s", "rate", 9999, "", std::nullopt, "", Target{"value", ">=", 10000}}), false);
  EXPECT_EQ(ResultTable::met({"p", "s", "n", 0, "", std::nullopt, "", Target{"value", "==", 0}}), true);
  EXPECT_FALSE(ResultTable::met({"p", "s", "n", 0, "", std::nullopt, "", std::nullopt}).has_value());
}

TEST(ResultTableTest, WritesEveryRowWithItsRatioAndVerdict)
{
  notara::test::TempDir dir;
  const std::string path = (dir.path() / "rows.json").string();
  ResultTable table("demo");
  table.add({"loopback", "steady", "p50", 33, "us", 30.0, "bare send", ResultTable::Target{"ratio", "<=", 1.5}});
  table.add({"per-event", "floor", "p50", 20, "ns", std::nullopt, "", std::nullopt});
  table.note("a note");
  table.write(path);

  const nlohmann::json j = nlohmann::json::parse(notara::test::readFile(path));
  EXPECT_EQ(j["program"], "demo");
  ASSERT_EQ(j["rows"].size(), 2u);
  EXPECT_DOUBLE_EQ(j["rows"][0]["ratio"].get<double>(), 1.1);
  EXPECT_EQ(j["rows"][0]["met"], true);
  EXPECT_EQ(j["rows"][0]["target"]["of"], "ratio");
  EXPECT_TRUE(j["rows"][1]["floor"].is_null());
  EXPECT_TRUE(j["rows"][1]["met"].is_null());
  EXPECT_EQ(j["notes"][0], "a note");

  EXPECT_THROW(table.write((dir.path() / "missing" / "rows.json").string()), std::runtime_error);
}
