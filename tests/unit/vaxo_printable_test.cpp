// Server texts made printable: nothing but printable ASCII comes out, and
// what goes in can be read back from it.
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "vaxo/printable.h"

using vaxo::printable;

TEST(Printable, ControlsAndNonAsciiAreEscapedPlainTextStays)
{
  EXPECT_EQ(printable("unknown identifier x (line 3)"), "unknown identifier x (line 3)");
  EXPECT_EQ(printable(""), "");
  EXPECT_EQ(printable("a\nb\tc\rd"), R"(a\nb\tc\rd)");
  EXPECT_EQ(printable(std::string("nul\0esc\x1b[2Jdel\x7f", 15)), R"(nul\u0000esc\u001b[2Jdel\u007f)");
  // A C1 control written in UTF-8 (CSI) is a control too; other non-ASCII
  // text is escaped as well, so the output is plain ASCII.
  EXPECT_EQ(printable("\xc2\x9b" "31m caf\xc3\xa9"), R"(\u009b31m caf\u00e9)");
  // The escape character itself is escaped, so no text can pose as an escape.
  EXPECT_EQ(printable(R"(a\u001b "q")"), R"(a\\u001b \"q\")");
}

TEST(Printable, BytesThatAreNotUtf8BecomeReplacementCharacters)
{
  // A lone 8-bit CSI, a cut sequence (a quote of 80 bytes may end in one).
  EXPECT_EQ(printable("\x9b" "31m"), R"(\ufffd31m)");
  EXPECT_EQ(printable("ab\xc3"), R"(ab\ufffd)");
  EXPECT_EQ(printable("\xff\xfe"), R"(\ufffd\ufffd)");
}

TEST(Printable, EveryByteComesOutPrintableAndValidUtf8TextReadsBack)
{
  std::string all;
  for (int c = 0; c < 128; ++c)
    all += static_cast<char>(c);
  const std::string out = printable(all);
  for (const char c : out)
    EXPECT_TRUE(c >= 0x20 && c < 0x7f) << int(c);
  EXPECT_EQ(nlohmann::json::parse("\"" + out + "\"").get<std::string>(), all);
}
