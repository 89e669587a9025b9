// The line framing of the client library: splitting, line ends, and the
// bound on a line's length and on the memory held for it.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "../../lib/vaxo/src/line_reader.h"

using vaxo::detail::LineReader;

namespace
{
  // Records what the reader reports; "<too long>" marks an over-long line.
  struct Collect : LineReader::Sink
  {
    std::vector<std::string> events;
    void onLine(std::string_view line) override { events.emplace_back(line); }
    void onTooLong() override { events.emplace_back("<too long>"); }
  };

  std::vector<std::string> feedInChunks(LineReader& reader, const std::string& bytes, std::size_t chunk)
  {
    Collect sink;
    for (std::size_t at = 0; at < bytes.size(); at += chunk)
      reader.feed(bytes.data() + at, std::min(chunk, bytes.size() - at), sink);
    return sink.events;
  }
}

TEST(LineReader, SplitsTheSameWayWhateverTheReadSizes)
{
  const std::string stream = "first\nsecond\r\n\nthird\r\r\nmid\rdle\nunfinished";
  const std::vector<std::string> expected = {"first", "second", "", "third\r", "mid\rdle"};
  for (std::size_t chunk : {std::size_t{1}, std::size_t{2}, std::size_t{3}, std::size_t{7}, stream.size()})
  {
    LineReader reader;
    EXPECT_EQ(feedInChunks(reader, stream, chunk), expected) << "chunk " << chunk;
    EXPECT_EQ(reader.pending(), "unfinished") << "chunk " << chunk;
  }
}

TEST(LineReader, CarriageReturnSplitFromItsNewlineAcrossReads)
{
  LineReader reader;
  Collect sink;
  reader.feed("abc\r", 4, sink);
  EXPECT_TRUE(sink.events.empty());
  reader.feed("\n", 1, sink);
  EXPECT_EQ(sink.events, std::vector<std::string>{"abc"});
  EXPECT_TRUE(reader.pending().empty());
}

TEST(LineReader, LimitIsOnTheLineWithoutItsLineEnd)
{
  const std::string atLimit(16, 'x');
  for (std::size_t chunk : {std::size_t{1}, std::size_t{5}, std::size_t{100}})
  {
    LineReader reader(16);
    const auto events = feedInChunks(reader, atLimit + "\n" + atLimit + "\r\n" + atLimit + "y\n" + atLimit + "y\r\n", chunk);
    EXPECT_EQ(events, (std::vector<std::string>{atLimit, atLimit, "<too long>", "<too long>"})) << "chunk " << chunk;
  }
}

TEST(LineReader, OverLongLineIsSkippedToItsNewlineAndReadingGoesOn)
{
  for (std::size_t chunk : {std::size_t{1}, std::size_t{4}, std::size_t{1000}})
  {
    LineReader reader(8);
    const std::string stream = "ok\n" + std::string(50, 'z') + "\nafter\n" + std::string(9, 'q') + "\nlast\n";
    EXPECT_EQ(feedInChunks(reader, stream, chunk),
              (std::vector<std::string>{"ok", "<too long>", "after", "<too long>", "last"}))
        << "chunk " << chunk;
    EXPECT_FALSE(reader.discarding());
  }
}

TEST(LineReader, MemoryStaysBoundedWhileAHugeLineStreamsIn)
{
  LineReader reader;   // the real 1 MiB limit
  Collect sink;
  const std::string block(64 * 1024, '[');
  std::size_t mostHeld = 0;
  // 8 MiB without a newline: reported once, then skipped, never held.
  for (int i = 0; i < 128; ++i)
  {
    reader.feed(block.data(), block.size(), sink);
    mostHeld = std::max(mostHeld, reader.pending().size());
  }
  EXPECT_LE(mostHeld, LineReader::kMaxLine + 1);
  EXPECT_TRUE(reader.discarding());
  EXPECT_TRUE(reader.pending().empty());
  EXPECT_EQ(sink.events, std::vector<std::string>{"<too long>"});

  const std::string tail = "]]]\n{\"tag\":\"t\",\"value\":1}\n";
  reader.feed(tail.data(), tail.size(), sink);
  EXPECT_EQ(sink.events, (std::vector<std::string>{"<too long>", "{\"tag\":\"t\",\"value\":1}"}));
}
