// Decoding of server lines into messages: the three kinds, the value
// mapping, and the lines that must be refused.
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "../../lib/vaxo/src/json_decoder.h"

using vaxo::detail::JsonDecoder;

namespace
{
  std::string nestedLists(int depth, const std::string& inner = "1")
  {
    return std::string(static_cast<std::size_t>(depth), '[') + inner + std::string(static_cast<std::size_t>(depth), ']');
  }

  VMessage decodeOk(const std::string& line)
  {
    VMessage msg;
    EXPECT_TRUE(JsonDecoder::decode(line, msg)) << line;
    return msg;
  }
}

TEST(JsonDecoder, ValuesMapToNumbersStringsListsAndOther)
{
  const VMessage msg = decodeOk(
      R"({"tag":"midictl","value":[12,-3.5,1e3,18446744073709551615,"a\"b\u00e9",[[],["x"]],true,false,null,{"k":[1]}]})");
  EXPECT_EQ(msg.type, VMessageType::Data);
  EXPECT_EQ(msg.tag, "midictl");
  ASSERT_TRUE(msg.value.isList());
  const VList& list = msg.value.list;
  ASSERT_EQ(list.size(), 10u);
  EXPECT_TRUE(list[0].isNumber());
  EXPECT_EQ(list[0].number, 12.0);
  EXPECT_EQ(list[1].number, -3.5);
  EXPECT_EQ(list[2].number, 1000.0);
  EXPECT_EQ(list[3].number, 18446744073709551615.0);
  ASSERT_TRUE(list[4].isString());
  EXPECT_EQ(list[4].string, "a\"b\xc3\xa9");
  ASSERT_TRUE(list[5].isList());
  ASSERT_EQ(list[5].list.size(), 2u);
  EXPECT_EQ(list[5].list[0].list.size(), 0u);
  EXPECT_TRUE(list[5].list[0].isList());
  ASSERT_EQ(list[5].list[1].list.size(), 1u);
  EXPECT_EQ(list[5].list[1].list[0].string, "x");
  for (std::size_t i = 6; i < 10; ++i)
    EXPECT_EQ(list[i].kind, VValueKind::Other) << "element " << i;
}

TEST(JsonDecoder, ScalarValuesAndTagsAsSent)
{
  EXPECT_EQ(decodeOk(R"({"value":"s","tag":"a b"})").tag, "a b");
  EXPECT_EQ(decodeOk(R"({"tag":"","value":7})").value.number, 7.0);
  EXPECT_EQ(decodeOk(R"({"tag":"t","value":null})").value.kind, VValueKind::Other);
  // A reused message carries nothing over from the last line.
  VMessage msg;
  ASSERT_TRUE(JsonDecoder::decode(R"({"tag":"t","value":[1,2]})", msg));
  ASSERT_TRUE(JsonDecoder::decode(R"({"tag":"t","value":"x"})", msg));
  EXPECT_TRUE(msg.value.isString());
  EXPECT_EQ(msg.value.list.size(), 0u);
}

TEST(JsonDecoder, ErrorsAndSystemMessages)
{
  VMessage error = decodeOk(R"({"tag":"error","error":"unknown identifier x"})");
  EXPECT_EQ(error.type, VMessageType::Error);
  EXPECT_EQ(error.message, "unknown identifier x");
  EXPECT_EQ(error.tag, "error");

  error = decodeOk(R"({"error":"no tag"})");
  EXPECT_EQ(error.type, VMessageType::Error);
  EXPECT_EQ(error.tag, "");

  // A non-string error text is kept as its JSON text.
  EXPECT_EQ(decodeOk(R"({"error":{"code":3}})").message, R"({"code":3})");
  // An error is never mistaken for data.
  EXPECT_EQ(decodeOk(R"({"tag":"midictl","value":1,"error":"both"})").type, VMessageType::Error);

  const VMessage system = decodeOk(R"({"tag":"__system","system":"hello","connection":"U1"})");
  EXPECT_EQ(system.type, VMessageType::System);
  EXPECT_EQ(system.message, "hello");
}

TEST(JsonDecoder, RefusesWhatIsNotAMessage)
{
  for (const char* line : {"", " ", "not json", "{", R"({"tag":"t","value":1} extra)", "[1,2]", "\"value\"", "42",
                           R"({"tag":"t"})", R"({"tag":"t","values":1})", R"({"value":1})", R"({"tag":5,"value":1})",
                           R"({"tag":"t","value":[1,]})", "{\"tag\":\"t\",\"value\":\"\xff\"}"})
  {
    VMessage msg;
    EXPECT_FALSE(JsonDecoder::decode(line, msg)) << line;
  }
}

TEST(JsonDecoder, ListsNestedDeeperThan64AreRefused)
{
  VMessage msg;
  ASSERT_TRUE(JsonDecoder::decode(R"({"tag":"t","value":)" + nestedLists(64) + "}", msg));
  const VValue* v = &msg.value;
  int depth = 0;
  while (v->isList())
  {
    ++depth;
    ASSERT_EQ(v->list.size(), 1u);
    v = &v->list[0];
  }
  EXPECT_EQ(depth, 64);
  EXPECT_EQ(v->number, 1.0);

  EXPECT_FALSE(JsonDecoder::decode(R"({"tag":"t","value":)" + nestedLists(65) + "}", msg));
  // Deep lists count even inside an object, which is otherwise not looked into.
  EXPECT_FALSE(JsonDecoder::decode(R"({"tag":"t","value":[{"k":)" + nestedLists(64) + "}]}", msg));
  // Brackets inside strings are text, also after an escaped quote.
  const std::string brackets(200, '[');
  EXPECT_TRUE(JsonDecoder::decode(R"({"tag":"t","value":["\")" + brackets + R"(\\"]})", msg));
  EXPECT_EQ(msg.value.list[0].string, "\"" + brackets + "\\");
}

TEST(JsonDecoder, ObjectsCountLikeListsInEveryMember)
{
  VMessage msg;
  // 64 levels of objects and lists mixed are a member's limit; the text of
  // an error member that is not a string is its JSON.
  std::string nested = "1";
  for (int i = 0; i < 64; ++i)
    nested = i % 2 == 0 ? R"({"a":)" + nested + "}" : "[" + nested + "]";
  ASSERT_TRUE(JsonDecoder::decode(R"({"error":)" + nested + "}", msg));
  EXPECT_EQ(msg.type, VMessageType::Error);
  EXPECT_EQ(msg.message, nlohmann::json::parse(nested).dump());
  ASSERT_TRUE(JsonDecoder::decode(R"({"system":)" + nested + "}", msg));
  EXPECT_EQ(msg.message, nlohmann::json::parse(nested).dump());

  const std::string deeper = R"({"a":)" + nested + "}";
  // Also in a member that nothing reads.
  for (const char* member : {"error", "system", "value", "value\":1,\"unread"})
    EXPECT_FALSE(JsonDecoder::decode(R"({"tag":"t",")" + std::string(member) + "\":" + deeper + "}", msg))
        << member;
  EXPECT_FALSE(JsonDecoder::decode(std::string(65, '[') + std::string(65, ']'), msg));
}

TEST(JsonDecoder, AHostileDepthIsRefusedWithoutRecursion)
{
  // 100,000 nested objects in an error member (some 500 kB), and a
  // megabyte of '[': parsed on this thread's stack, neither may crash it.
  std::string hostile = R"({"tag":"error","error":)";
  for (int i = 0; i < 100000; ++i)
    hostile += R"({"a":)";
  hostile += "1" + std::string(100000, '}') + "}";
  VMessage msg;
  EXPECT_FALSE(JsonDecoder::decode(hostile, msg));
  EXPECT_FALSE(JsonDecoder::decode(R"({"tag":"t","value":)" + std::string(1 << 20, '['), msg));
}
