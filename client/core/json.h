#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

// Deepest container nesting the parser descends into. The format sets no
// limit, and every open container costs a level of recursion, so a hostile
// answer of a million '[' must not be able to exhaust the stack. A '[' or '{'
// met while this many containers are already open reads as Null and is not
// consumed: the innermost kept container then ends at that byte, exactly as
// it would at any other byte that cannot start a value, and every enclosing
// container ends there too. A document nested to exactly this depth parses
// whole.
constexpr uint32_t kMaxJsonDepth = 512;

// The stack one level of that recursion may take in the builds we ship
// (the Windows builds' test `parse_stack` holds every build's frame to it),
// and so the stack a thread needs to parse any answer.
constexpr uint32_t kJsonLevelStackBytes = 512;
constexpr uint32_t kJsonParseStackBytes = kMaxJsonDepth * kJsonLevelStackBytes;

// One value of a parsed JSON document. All fields exist at once; only the
// one selected by `type` is meaningful, the others stay empty (false, 0.0,
// empty text and containers). A value owns its subtree.
//
// Lookups never fail: a miss of any kind yields one shared Null value that
// lives for the whole process, so callers chain lookups and read with a
// default, e.g. `answer["data"]["csid"].str()`.
class Json {
 public:
  // Unscoped so both `Json::String` and `Json::Type::String` read well;
  // the fixed width keeps the layout identical on every target.
  enum Type : uint32_t {
    Null = 0,
    Bool = 1,
    Number = 2,
    String = 3,
    Array = 4,
    Object = 5,
  };

  Type type = Null;
  bool boolean = false;
  double number = 0.0;  // all numbers; integers above 2^53 lose precision
  std::string text;     // UTF-8, escapes resolved, never validated
  std::vector<Json> items;
  std::map<std::string, Json> members;  // byte-wise key order

  // A Null value with every field empty.
  Json() = default;

  // Takes over `other`'s subtree node for node, so references into it stay
  // valid; `other` is left Null with every field empty.
  Json(Json&& other) noexcept;

  // Releases the current subtree and takes over `other`'s, which may live
  // inside it (`doc = std::move(doc.items[0])` is fine); `other` ends Null.
  Json& operator=(Json&& other) noexcept;

  // Not copyable: copying a parsed answer is always a mistake here, and a
  // deep copy would recurse as deep as the tree.
  Json(const Json&) = delete;
  Json& operator=(const Json&) = delete;

  // Releases the subtree with a loop, not recursion, so no tree (even one
  // assembled by hand far deeper than kMaxJsonDepth) can exhaust the stack.
  ~Json();

  // Parses the first value in `source` leniently and ignores what follows.
  // Never fails on content; only std::bad_alloc can escape.
  static Json Parse(const std::string& source);

  // The member under exactly `key` when this is an Object holding it,
  // otherwise the shared Null value. Never inserts.
  const Json& operator[](const std::string& key) const;

  // The element at `index` when this is an Array that long, otherwise the
  // shared Null value.
  const Json& operator[](uint32_t index) const;

  // A copy of `text` for a String, otherwise `fallback`; other kinds are
  // not converted to text.
  std::string str(const std::string& fallback = std::string()) const;

  // For a Number, `number` truncated toward zero, or INT64_MIN when that is
  // outside int64_t (infinities and NaN included); otherwise `fallback`.
  int64_t num(int64_t fallback = 0) const;

  // False for Null, false, 0 (either sign) and empty text, arrays and
  // objects; true for every other value of the six kinds (NaN included).
  bool truthy() const;
};

// The state of one lenient parse: it never reports an error, a fault simply
// ends reading at its level and keeps what was read. Json::Parse is the usual
// entry point; the parser is exposed so tests can see how much a value consumed.
class JsonParser {
 public:
  // Starts at byte 0 of `source`, which is not copied and must outlive the
  // parser; bytes past the 32-bit position range (4 GiB) count as absent.
  explicit JsonParser(const std::string& source);

  // A temporary would be gone before the parse reads it.
  explicit JsonParser(const std::string&& source) = delete;

  // Skips whitespace and reads one value at `pos`. A byte that cannot start
  // a value (or a '[' / '{' beyond kMaxJsonDepth) gives Null and stays unread.
  Json Value();

  // Skips whitespace and reads one quoted string, decoding escapes; gives ""
  // and consumes nothing but the whitespace when no '"' stands there.
  std::string Text();

  const std::string& src;
  uint32_t pos = 0;    // next unread byte
  uint32_t depth = 0;  // containers currently open around `pos`
  uint32_t size;       // readable length of `src`
};
