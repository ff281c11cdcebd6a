#include "core/json.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace {

void Check(bool ok) {
  if (!ok) __builtin_trap();
}

bool IsPristineNull(const Json& v) {
  return v.type == Json::Null && !v.boolean && v.number == 0.0 && v.text.empty() &&
         v.items.empty() && v.members.empty();
}

// Every accessor on one value, against what its fields say.
void CheckValue(const Json& v, const Json& shared, size_t input_size) {
  Check(v.type <= Json::Object);
  Check(v.type == Json::Bool || !v.boolean);
  Check(v.type == Json::Number || v.number == 0.0);
  Check(v.type == Json::String || v.text.empty());
  Check(v.type == Json::Array || v.items.empty());
  Check(v.type == Json::Object || v.members.empty());
  // Decoding never makes a string longer than the bytes it came from.
  Check(v.text.size() <= input_size);
  // Only strings give their text; nothing is converted to text.
  Check(v.str("\x01sentinel") == (v.type == Json::String ? v.text : std::string("\x01sentinel")));

  const int64_t kFallback = 0x5eed;
  int64_t n = v.num(kFallback);
  if (v.type != Json::Number) {
    Check(n == kFallback);
  } else if (std::fabs(v.number) < 9223372036854775808.0) {
    Check(double(n) == std::trunc(v.number));
  } else {
    Check(n == INT64_MIN);
  }

  bool expected_truthy = false;
  switch (v.type) {
    case Json::Null:
      break;
    case Json::Bool:
      expected_truthy = v.boolean;
      break;
    case Json::Number:
      expected_truthy = v.number != 0.0;
      break;
    case Json::String:
      expected_truthy = !v.text.empty();
      break;
    case Json::Array:
      expected_truthy = !v.items.empty();
      break;
    case Json::Object:
      expected_truthy = !v.members.empty();
      break;
  }
  Check(v.truthy() == expected_truthy);

  for (uint32_t i = 0; i < v.items.size(); ++i) Check(&v[i] == &v.items[i]);
  Check(&v[uint32_t(v.items.size())] == &shared);
  Check(&v[0xFFFFFFFFu] == &shared);
  for (const auto& member : v.members) Check(&v[member.first] == &member.second);
  // A key one byte longer than the last (greatest) one cannot be present.
  std::string missing = v.members.empty() ? std::string() : v.members.rbegin()->first + '\0';
  Check(&v[missing] == &shared);
  Check(IsPristineNull(shared));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const Json& shared = Json()["probe"];
  Check(IsPristineNull(shared));

  JsonParser parser(input);
  Json root = parser.Value();
  Check(parser.pos <= input.size());
  Check(parser.depth == 0);

  // Iterative walk, tracking how many containers enclose each value.
  std::vector<std::pair<const Json*, uint32_t>> pending{{&root, 0}};
  while (!pending.empty()) {
    const Json* v = pending.back().first;
    uint32_t depth = pending.back().second;
    pending.pop_back();
    CheckValue(*v, shared, input.size());
    if (v->type == Json::Array || v->type == Json::Object) Check(depth < kMaxJsonDepth);
    for (const Json& item : v->items) pending.push_back({&item, depth + 1});
    for (const auto& member : v->members) pending.push_back({&member.second, depth + 1});
  }

  // A top-level number is the library's own strtod reading of the run of
  // number bytes, whatever shortcut the parser took.
  if (root.type == Json::Number) {
    size_t start = input.find_first_not_of(" \t\r\n");
    size_t end = input.find_first_not_of("0123456789+-.eE", start + 1);
    std::string run =
        input.substr(start, end == std::string::npos ? std::string::npos : end - start);
    double expected = std::strtod(run.c_str(), nullptr);
    Check(std::memcmp(&expected, &root.number, sizeof expected) == 0);
  }

  // Parsing is a pure function of the input.
  Json again = Json::Parse(input);
  Check(again.type == root.type && again.items.size() == root.items.size() &&
        again.members.size() == root.members.size() && again.text == root.text);

  // A move hands the whole tree over and leaves the source empty.
  const Json* first = root.items.empty() ? nullptr : &root.items[0];
  Json moved(std::move(root));
  Check(IsPristineNull(root));
  Check(first == nullptr || &moved[0u] == first);
  return 0;
}
