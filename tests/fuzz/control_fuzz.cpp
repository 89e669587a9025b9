// control_fuzz: the control commands a server sends on "midictl". Each
// input line is decoded as the client library decodes it and handed to
// Midi::onControl, then a note and a controller on every channel are
// dispatched through what the commands installed. Checks: every text sent
// ends in ","; every action record points to a live operation; what
// reaches standard error holds no control character but the line ends
// (trace lines of sent texts excepted, see below).
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "bridge/actionowners.h"
#include "fuzz/fuzz_support.h"
#include "json_decoder.h"

using notara::fuzz::fail;

namespace
{
  // Every line, the "Sending '" trace of statements built from a server's
  // words among them.
  void checkPrintable(const std::string& text)
  {
    std::size_t start = 0;
    while (start < text.size())
    {
      std::size_t end = text.find('\n', start);
      if (end == std::string::npos)
        end = text.size();
      const std::string_view line(text.data() + start, end - start);
      for (const char c : line)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
          fail("a control character reached standard error", line);
      start = end + 1;
    }
  }
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  notara::test::CerrCapture sink;
  {
    notara::fuzz::Bridge bridge;
    VMessage msg;
    msg.client = bridge.clients.front();
    std::size_t start = 0;
    while (start < input.size())
    {
      std::size_t end = input.find('\n', start);
      if (end == std::string_view::npos)
        end = input.size();
      if (vaxo::detail::JsonDecoder::decode(input.substr(start, end - start), msg))
      {
        bridge.midi.onControl(msg, ActionOwners::unknownRobot);
        // A debug level the server chose must not make each event cost a
        // page of traces; the traces are still built below level 10000.
        if (bridge.midi.debugLevel > 9999)
          bridge.midi.debugLevel = 9999;
        bridge.checkRecordsLive();
        bridge.checkSends();
      }
      start = end + 1;
    }
    for (std::uint8_t channel = 0; channel < 16; ++channel)
      for (std::uint8_t data1 : {0, 36, 60, 127})
      {
        bridge.midi.onMessage(9, channel, data1, 100);
        bridge.midi.onMessage(8, channel, data1, 0);
        bridge.midi.onMessage(11, channel, data1, 64);
      }
    bridge.checkSends();
  }
  checkPrintable(sink.text());
  return 0;
}
