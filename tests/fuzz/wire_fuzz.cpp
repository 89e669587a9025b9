// wire_fuzz: the server-to-client direction of libvaxo. The input's first
// byte picks the line limit (64 bytes, or the real 1 MiB when its top bit
// is set) and the size of the pieces the stream arrives in; the rest is the
// stream. Checks: LineReader reports exactly what a plain model of the
// framing rules expects; every line it hands over is decoded without
// crashing, and the decoder accepts exactly the JSON objects whose shape
// and nesting the rules allow; the printable form of every line holds
// printable ASCII only.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "fuzz/fuzz_support.h"
#include "json_decoder.h"
#include "line_reader.h"
#include "vaxo/printable.h"

using notara::fuzz::fail;
using vaxo::detail::JsonDecoder;
using vaxo::detail::LineReader;

namespace
{
  // One event of the framing: a line, or "too long" (as an empty optional
  // would lose the difference between an empty line and a fault).
  struct Event
  {
    bool tooLong;
    std::string line;
    bool operator==(const Event& other) const { return tooLong == other.tooLong && line == other.line; }
  };

  class Recorder : public LineReader::Sink
  {
  public:
    void onLine(std::string_view line) override
    {
      events.push_back({false, std::string(line)});
      checkDecoding(line);
    }
    void onTooLong() override { events.push_back({true, {}}); }
    std::vector<Event> events;

  private:
    // Deepest nesting of arrays and objects in valid JSON text (brackets
    // inside strings don't count); no recursion, whatever the input.
    static int depthOf(std::string_view text)
    {
      int depth = 0;
      int deepest = 0;
      bool inString = false;
      for (std::size_t i = 0; i < text.size(); ++i)
      {
        const char c = text[i];
        if (inString)
        {
          if (c == '\\')
            ++i;
          else if (c == '"')
            inString = false;
        }
        else if (c == '"')
          inString = true;
        else if (c == '[' || c == '{')
          deepest = std::max(deepest, ++depth);
        else if (c == ']' || c == '}')
          --depth;
      }
      return deepest;
    }

    static void checkDecoding(std::string_view line)
    {
      for (const char c : vaxo::printable(line))
        if (c < 0x20 || c > 0x7e)
          fail("printable() let a byte through", line);

      VMessage msg;
      const bool decoded = JsonDecoder::decode(line, msg);
      // The model: valid JSON, an object, nested no deeper than the limit
      // below the line's own object, and one of the three kinds.
      bool expected = false;
      if (nlohmann::json::accept(line.begin(), line.end()) && depthOf(line) <= JsonDecoder::kMaxDepth + 1)
      {
        const nlohmann::json json = nlohmann::json::parse(line.begin(), line.end());
        if (json.is_object())
        {
          const auto tag = json.find("tag");
          const bool stringTag = tag != json.end() && tag->is_string();
          expected = json.contains("error") || (json.contains("value") && stringTag) ||
                     (!json.contains("value") && json.contains("system"));
        }
      }
      if (decoded != expected)
        fail(decoded ? "decoded a line the rules refuse" : "refused a line the rules accept", line);
    }
  };
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
  if (size == 0)
    return 0;
  const std::size_t maxLine = (data[0] & 0x80) != 0 ? LineReader::kMaxLine : 64;
  const std::size_t piece = (data[0] & 0x3f) + 1u;
  const std::string_view stream(reinterpret_cast<const char*>(data) + 1, size - 1);

  LineReader reader(maxLine);
  Recorder recorder;
  for (std::size_t at = 0; at < stream.size(); at += piece)
    reader.feed(stream.data() + at, std::min(piece, stream.size() - at), recorder);

  // The model of the framing: a line ends at '\n' and loses one '\r' before
  // it; longer than the limit, it is one "too long". The unended rest is
  // pending, or, once past the limit and its '\r', reported and skipped.
  std::vector<Event> expected;
  std::size_t start = 0;
  for (std::size_t end; (end = stream.find('\n', start)) != std::string_view::npos; start = end + 1)
  {
    std::string_view line = stream.substr(start, end - start);
    if (!line.empty() && line.back() == '\r')
      line.remove_suffix(1);
    expected.push_back(line.size() > maxLine ? Event{true, {}} : Event{false, std::string(line)});
  }
  const std::string_view rest = stream.substr(start);
  const bool restTooLong = rest.size() > maxLine + 1;
  if (restTooLong)
    expected.push_back({true, {}});

  if (recorder.events != expected)
    fail("the lines differ from the framing rules", stream.substr(0, 200));
  if (reader.discarding() != restTooLong || reader.pending() != (restTooLong ? std::string_view() : rest))
    fail("the unended rest differs from the framing rules", rest.substr(0, 200));
  return 0;
}
