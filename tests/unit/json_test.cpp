#include "core/json.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <type_traits>

namespace {

// Canonical text of a value: bytes outside printable ASCII as \xHH, numbers
// shortest-exact, members in stored order. A field that should be empty for
// the value's kind but is not shows up as "!".
std::string Describe(const Json& v) {
  bool dirty = (v.type != Json::Bool && v.boolean) || (v.type != Json::Number && v.number != 0.0) ||
               (v.type != Json::String && !v.text.empty()) ||
               (v.type != Json::Array && !v.items.empty()) ||
               (v.type != Json::Object && !v.members.empty());
  std::string out = dirty ? "!" : "";
  char buffer[40];
  auto quote = [&out, &buffer](const std::string& s) {
    out += '"';
    for (unsigned char c : s) {
      std::snprintf(buffer, sizeof buffer, "\\x%02X", c);
      out += (c >= 0x20 && c < 0x7F && c != '\\' && c != '"') ? std::string(1, char(c)) : buffer;
    }
    out += '"';
  };
  switch (v.type) {
    case Json::Null:
      return out + "null";
    case Json::Bool:
      return out + (v.boolean ? "true" : "false");
    case Json::Number:
      std::snprintf(buffer, sizeof buffer, "%.15g", v.number);
      if (std::strtod(buffer, nullptr) != v.number)
        std::snprintf(buffer, sizeof buffer, "%.17g", v.number);
      return out + buffer;
    case Json::String:
      quote(v.text);
      return out;
    case Json::Array:
      out += '[';
      for (const Json& item : v.items) out += (&item == &v.items[0] ? "" : ",") + Describe(item);
      return out + ']';
    case Json::Object:
      out += '{';
      for (const auto& member : v.members) {
        if (&member != &*v.members.begin()) out += ',';
        quote(member.first);
        out += ':' + Describe(member.second);
      }
      return out + '}';
  }
  return out + "?";
}

// Follows a chain of containers that each hold exactly one child (under "a"
// for objects) without recursion; gives the number of containers passed.
int ChainDepth(const Json& root, const Json** innermost) {
  int depth = 0;
  for (*innermost = &root;; ++depth) {
    const Json& node = **innermost;
    if (node.type == Json::Array && node.items.size() == 1) {
      *innermost = &node.items[0];
    } else if (node.type == Json::Object && node.members.size() == 1 && node.members.count("a")) {
      *innermost = &node.members.begin()->second;
    } else {
      return depth;
    }
  }
}

const size_t kAll = std::string::npos;

TEST(JsonParseTest, LenientGrammar) {
  const struct {
    std::string input;
    const char* expected;
    size_t consumed;  // bytes the value takes; kAll for the whole input
  } cases[] = {
      // Whitespace is exactly four bytes; literals need all their bytes.
      {"", "null", 0},
      {" \t\r\n", "null", kAll},
      {"\f1", "null", 0},
      {"  x", "null", 2},
      {"true", "true", kAll},
      {"trueish", "true", 4},
      {"false", "false", kAll},
      {"null", "null", kAll},
      {"tru", "null", 0},
      {"nul", "null", 0},
      {"fals", "null", 0},
      {"nulL", "null", 0},
      // Numbers: the whole run is consumed, strtod picks the meaningful prefix.
      {"1.5e3", "1500", kAll},
      {"-", "0", kAll},
      {"1-2", "1", kAll},
      {"00012", "12", kAll},
      {"1.2.3", "1.2", kAll},
      {"+1", "null", 0},
      {".5", "null", 0},
      {"-.5", "-0.5", kAll},
      {"-0", "-0", kAll},
      {"1e5x", "100000", 3},
      {"2e", "2", kAll},
      {"1E+2", "100", kAll},
      {"9007199254740993", "9007199254740992", kAll},
      {"-123456789012345678901", "-1.2345678901234568e+20", kAll},
      // Strings: escapes, \u one escape at a time, unterminated input kept.
      {"\"abc\"", "\"abc\"", kAll},
      {"\"abc", "\"abc\"", kAll},
      {"\"ab\\", "\"ab\\x5C\"", kAll},
      {"\"ab\\u00e9\"", "\"ab\\xC3\\xA9\"", kAll},
      {"\"\\ud83d\\ude00\"", "\"\\xED\\xA0\\xBD\\xED\\xB8\\x80\"", kAll},
      {"\"ab\\u12\"", "\"ab12\"", kAll},
      {"\"\\u1", "\"1\"", kAll},
      {"\"\\u0041", "\"A\"", kAll},
      {"\"\\u0041\\u007f\\u0080\\u07FF\\u0800\\uFFFF\"",
       "\"A\\x7F\\xC2\\x80\\xDF\\xBF\\xE0\\xA0\\x80\\xEF\\xBF\\xBF\"", kAll},
      // strtoul's leniency decides odd escapes: no digits, blanks, a sign.
      {"\"\\uzzzz\"", "\"\\x00\"", kAll},
      {"\"\\u 0x1\"", "\"\\x01\"", kAll},
      {"\"\\u-001\"", "\"\\xFF\\xBF\\xBF\\xBF\"", kAll},
      {"\"\\u12\",\"b\"", "\"\\x12\"", 8},
      {"\"\\b\\f\\n\\r\\t\\/\\\\\\\"\\x\\'\"", "\"\\x08\\x0C\\x0A\\x0D\\x09/\\x5C\\x22x'\"", kAll},
      {std::string("\"a\0\x01\x80\xff\"z", 8), "\"a\\x00\\x01\\x80\\xFF\"", 7},
      // Containers and their faults.
      {"{\"a\":1,\"a\":2}", "{\"a\":2}", kAll},
      {"{\"a\" 1}", "{\"a\":1}", kAll},
      {"{a:1}", "{\"\":null}", 1},
      {"[1,]", "[1,null]", kAll},
      {"{\"a\":1,}", "{\"\":null,\"a\":1}", kAll},
      {"[1 2]", "[1]", 3},
      {"{\"a\":1} trailing", "{\"a\":1}", 7},
      {"{\"a", "{\"a\":null}", kAll},
      {"[1,2", "[1,2]", kAll},
      {"[1,", "[1]", kAll},
      {"[", "[]", kAll},
      {"{", "{}", kAll},
      {"[1;2]", "[1]", 2},
      {"[1}", "[1]", 2},
      {"{\"a\":1]", "{\"a\":1}", 6},
      {"{\"a\":1 \"b\":2}", "{\"a\":1}", 7},
      {"{\"a\":}", "{\"a\":null}", kAll},
      {"{,}", "{\"\":null}", kAll},
      {"[\"a\" \"b\"]", "[\"a\"]", 5},
      {"{\"a\":[1],\"a\":{}}", "{\"a\":{}}", kAll},
      {" [ 1 , \"x\" , [ ] , { } ] ", "[1,\"x\",[],{}]", 24},
      {"{\"b\":1,\"B\":2,\"\xc3\xa9\":3,\"a\":[true,{\"\":false}]}",
       "{\"B\":2,\"a\":[true,{\"\":false}],\"b\":1,\"\\xC3\\xA9\":3}", kAll},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("input: " + c.input);
    JsonParser parser(c.input);
    EXPECT_EQ(Describe(parser.Value()), c.expected);
    EXPECT_EQ(parser.pos, c.consumed == kAll ? c.input.size() : c.consumed);
    EXPECT_EQ(Describe(Json::Parse(c.input)), c.expected);
  }
}

// Short plain decimals bypass strtod; every run, whether near 2^53, with many
// fraction digits or malformed, must still give strtod's exact bits.
TEST(JsonParseTest, NumbersMatchStrtodBitForBit) {
  const char kRunBytes[] = "0123456789+-.eE";
  uint32_t seed = 12345;
  auto next = [&seed](uint32_t n) {
    seed = seed * 1103515245u + 12345u;
    return (seed >> 8) % n;
  };
  for (int i = 0; i < 30000; ++i) {
    std::string run = next(2) ? "" : "-";
    for (size_t k = 0, len = 1 + next(21); k < len; ++k)
      run += i % 3 ? char('0' + next(10)) : kRunBytes[next(15)];
    if (i % 3 == 2) run.insert(run.size() - next(uint32_t(run.size())), 1, '.');
    if (run[0] != '-' && !(run[0] >= '0' && run[0] <= '9')) run.insert(0, 1, '7');
    SCOPED_TRACE(run);
    std::string input = run + "]";
    JsonParser parser(input);
    Json value = parser.Value();
    double expected = std::strtod(run.c_str(), nullptr);
    ASSERT_EQ(value.type, Json::Number);
    ASSERT_EQ(std::memcmp(&value.number, &expected, sizeof expected), 0);
    ASSERT_EQ(parser.pos, run.size());
  }
}

TEST(JsonAccessTest, AccessorsFollowTheTypeOnly) {
  const int64_t kMin = std::numeric_limits<int64_t>::min();
  const struct {
    const char* input;
    int64_t num;      // num(7)
    const char* str;  // str("x")
    bool truthy;
  } cases[] = {
      {"null", 7, "x", false},
      {"x", 7, "x", false},
      {"false", 7, "x", false},
      {"true", 7, "x", true},
      {"0", 0, "x", false},
      {"-0", 0, "x", false},
      {"1e-320", 0, "x", true},
      {"2.9", 2, "x", true},
      {"-2.9", -2, "x", true},
      {"-0.5", 0, "x", true},
      {"1e300", kMin, "x", true},
      {"1e400", kMin, "x", true},
      {"-1e400", kMin, "x", true},
      {"-9223372036854775808", kMin, "x", true},
      {"9223372036854775807", kMin, "x", true},  // rounds up to 2^63
      {"9223372036854774784", 9223372036854774784, "x", true},
      {"-9223372036854774784", -9223372036854774784, "x", true},
      {"\"\"", 7, "", false},
      {"\"3\"", 7, "3", true},
      {"[]", 7, "x", false},
      {"[0]", 7, "x", true},
      {"{}", 7, "x", false},
      {"{\"\":null}", 7, "x", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.input);
    Json v = Json::Parse(c.input);
    EXPECT_EQ(v.num(7), c.num);
    EXPECT_EQ(v.str("x"), c.str);
    EXPECT_EQ(v.truthy(), c.truthy);
  }
  EXPECT_EQ(Json().num(), 0);
  EXPECT_EQ(Json().str(), "");
  Json odd;
  odd.type = Json::Number;
  odd.number = std::numeric_limits<double>::quiet_NaN();
  EXPECT_EQ(odd.num(7), kMin);
  EXPECT_TRUE(odd.truthy());
  odd.type = Json::Type(9);
  EXPECT_FALSE(odd.truthy());
}

TEST(JsonAccessTest, EveryMissIsTheSharedNull) {
  const Json doc =
      Json::Parse("{\"n\":null,\"arr\":[1,2],\"none\":[],\"s\":\"x\",\"o\":{\"Key\":1}}");
  const Json* shared = &Json()["y"];
  const Json* misses[] = {
      &doc["zz"],
      &doc[0u],
      &doc["arr"]["0"],
      &doc["arr"][2u],
      &doc["arr"][0xFFFFFFFFu],
      &doc["none"][0u],
      &doc["s"]["k"],
      &doc["s"][0u],
      &doc["o"][0u],
      &doc["o"]["key"],
      &doc["n"]["k"],
      &doc["zz"]["deeper"][3u],
      &Json::Parse("5")[0u],
  };
  for (const Json* miss : misses) EXPECT_EQ(miss, shared);
  EXPECT_EQ(Describe(*shared), "null");
  EXPECT_NE(&doc["n"], shared);  // a member holding null is part of the tree
  EXPECT_EQ(doc["arr"][1u].num(), 2);
  EXPECT_EQ(doc["o"]["Key"].num(), 1);
  EXPECT_EQ(doc.members.size(), 5u);  // lookups never insert
}

TEST(JsonMoveTest, MovesKeepNodesAndEmptyTheSource) {
  static_assert(std::is_nothrow_move_constructible<Json>::value, "vector growth must move");
  static_assert(!std::is_copy_constructible<Json>::value, "trees are never copied");
  Json doc = Json::Parse("{\"a\":[1,{\"b\":\"c\"}],\"d\":true}");
  const Json* inner = &doc["a"][1u];
  Json moved(std::move(doc));
  EXPECT_EQ(&moved["a"][1u], inner);
  EXPECT_EQ(Describe(doc), "null");
  Json target = Json::Parse("[\"old\"]");
  target = std::move(moved);
  EXPECT_EQ(&target["a"][1u], inner);
  EXPECT_EQ(Describe(target), "{\"a\":[1,{\"b\":\"c\"}],\"d\":true}");
  EXPECT_EQ(Describe(moved), "null");
  // Taking over a part of the current tree must read it before the rest dies.
  target = std::move(target.members.at("a"));
  EXPECT_EQ(Describe(target), "[1,{\"b\":\"c\"}]");
  target = std::move(target.items[1].members.at("b"));
  EXPECT_EQ(Describe(target), "\"c\"");
  Json& alias = target;
  target = std::move(alias);
  EXPECT_EQ(Describe(target), "\"c\"");
}

TEST(JsonDepthTest, MillionOpenContainersKeepExactlyTheBound) {
  const Json* innermost = nullptr;
  std::string arrays(1000000, '[');
  JsonParser array_parser(arrays);
  Json deep = array_parser.Value();
  EXPECT_EQ(ChainDepth(deep, &innermost), int(kMaxJsonDepth));
  EXPECT_EQ(Describe(*innermost), "null");  // the first '[' too deep, unread
  EXPECT_EQ(array_parser.pos, kMaxJsonDepth);

  std::string objects;
  for (int i = 0; i < 1000000; ++i) objects += "{\"a\":";
  JsonParser object_parser(objects);
  Json deep_objects = object_parser.Value();
  EXPECT_EQ(ChainDepth(deep_objects, &innermost), int(kMaxJsonDepth));
  EXPECT_EQ(Describe(*innermost), "null");
  EXPECT_EQ(object_parser.pos, 5 * kMaxJsonDepth);
}

TEST(JsonDepthTest, DocumentAtTheBoundParsesWhole) {
  auto nested = [](uint32_t n) { return std::string(n, '[') + "1" + std::string(n, ']'); };
  const Json* innermost = nullptr;
  // The outer array and 511 inside it make exactly the bound; the sibling
  // after them proves every closing bracket was consumed.
  std::string at_bound = "[" + nested(kMaxJsonDepth - 1) + ",2]";
  JsonParser parser(at_bound);
  Json doc = parser.Value();
  EXPECT_EQ(parser.pos, at_bound.size());
  ASSERT_EQ(doc.items.size(), 2u);
  EXPECT_EQ(doc[1u].num(), 2);
  EXPECT_EQ(ChainDepth(doc[0u], &innermost), int(kMaxJsonDepth) - 1);
  EXPECT_EQ(Describe(*innermost), "1");
  // One level more and the innermost '[' ends every level at once.
  std::string beyond = "[" + nested(kMaxJsonDepth) + ",2]";
  JsonParser beyond_parser(beyond);
  Json cut = beyond_parser.Value();
  EXPECT_EQ(beyond_parser.pos, kMaxJsonDepth);
  EXPECT_EQ(ChainDepth(cut, &innermost), int(kMaxJsonDepth));
  EXPECT_EQ(Describe(*innermost), "null");
}

// Trees assembled by hand have no depth bound; releasing one must neither
// recurse (200000 levels would overflow any thread's stack) nor leak.
TEST(JsonDepthTest, DestroyingHandBuiltDeepTreeDoesNotRecurse) {
  Json chain;
  for (int i = 0; i < 200000; ++i) {
    Json parent;
    parent.type = i % 2 ? Json::Array : Json::Object;
    if (i % 2) {
      parent.items.push_back(std::move(chain));
      if (i % 100 == 1) parent.items.push_back(Json::Parse("[0,{\"x\":[1]}]"));
    } else {
      parent.members.emplace("a", std::move(chain));
      if (i % 100 == 0) parent.members.emplace("b", Json::Parse("{\"y\":[2]}"));
    }
    chain = std::move(parent);
  }
  chain = Json::Parse("[3]");
  EXPECT_EQ(Describe(chain), "[3]");
}

}  // namespace
