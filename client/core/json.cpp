#include "core/json.h"

#include <cfloat>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <limits>
#include <utility>

namespace {

// The one value every failed lookup refers to. It is const so no caller can
// turn a miss into a shared mutable slot.
const Json& Empty() {
  static const Json empty;
  return empty;
}

inline bool IsWhitespace(char c) { return c == ' ' || c == '\n' || c == '\r' || c == '\t'; }

inline bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// The bytes a number run is made of; the run is cut where any other byte
// appears and strtod then decides how much of it is meaningful.
inline bool IsNumberByte(char c) {
  return IsDigit(c) || c == '+' || c == '-' || c == '.' || c == 'e' || c == 'E';
}

inline void SkipWhitespace(JsonParser& p) {
  while (p.pos < p.size && IsWhitespace(p.src[p.pos])) ++p.pos;
}

inline bool HasChildren(const Json& v) { return !v.items.empty() || !v.members.empty(); }

// While a subtree is being dismantled, a container we descend into keeps the
// address of its parent in its `number` bytes: that field is meaningless for
// a container and the value is about to die, so the walk needs no stack and
// no allocation however deep the tree is.
static_assert(sizeof(Json*) <= sizeof(double), "parent link must fit in number");

inline void SetParent(Json& child, Json* parent) {
  std::memcpy(&child.number, &parent, sizeof parent);
}

inline Json* GetParent(const Json& child) {
  Json* parent;
  std::memcpy(&parent, &child.number, sizeof parent);
  return parent;
}

// Destroys every descendant of `root` without recursion, leaving it
// childless. It always takes the last child first and empties it before
// removing it, which frees memory roughly in the reverse of the order a parse
// allocated it; measured on glibc, freeing front to back instead made the
// allocator give the memory back to the system after every large parse and
// fault it in again on the next, several times slower. Every destructor this
// triggers finds a childless value, so nothing below it recurses either.
void Dismantle(Json& root) {
  Json* node = &root;
  for (;;) {
    Json* next = nullptr;
    while (!node->items.empty()) {
      Json& last = node->items.back();
      if (HasChildren(last)) {
        next = &last;
        break;
      }
      node->items.pop_back();
    }
    while (next == nullptr && !node->members.empty()) {
      auto last = std::prev(node->members.end());
      if (HasChildren(last->second)) {
        next = &last->second;
        break;
      }
      node->members.erase(last);
    }
    if (next != nullptr) {
      SetParent(*next, node);
      node = next;
    } else if (node == &root) {
      return;
    } else {
      // Back in the parent, `node` is now its childless last entry and
      // is removed by the next round.
      node = GetParent(*node);
    }
  }
}

// 10^0 to 10^18, one for each scale 18 digits allow; all are exact doubles.
const double kExactPowersOfTen[] = {
    1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,
    1e10, 1e11, 1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18,
};

// Most numbers in answers are short plain decimals ("20", "-0.1590"), and
// strtod is slow for them. When the whole run is such a decimal whose digits,
// read as one integer, are at most 2^53, that integer and the power of ten
// are exact doubles, so one IEEE division is correctly rounded and equals what
// a correctly rounding strtod returns (glibc's is, and mingw-w64 routes strtod
// to its own that is). With x87 excess precision the division could round
// twice, so there only integers take the short cut.
bool ConvertShortDecimal(const char* run, uint32_t len, double* out) {
  const char* p = run;
  const char* end = run + len;
  bool negative = *p == '-';
  if (negative) ++p;
  if (p == end || !IsDigit(*p)) return false;
  uint64_t digits = 0;
  int count = 0;
  int scale = -1;  // digits after the '.', once one was seen
  for (; p < end; ++p) {
    if (IsDigit(*p)) {
      // 18 digits cannot overflow; the exactness check comes after.
      if (++count > 18) return false;
      digits = digits * 10 + uint64_t(*p - '0');
      if (scale >= 0) ++scale;
    } else if (*p == '.' && scale < 0) {
      scale = 0;
    } else {
      return false;
    }
  }
  if (digits > (uint64_t(1) << 53)) return false;
  if (scale < 0) scale = 0;
#if FLT_EVAL_METHOD != 0
  if (scale > 0) return false;
#endif
  // At most 18 digits, so the scale stays within the table.
  double d = double(digits) / kExactPowersOfTen[scale];
  *out = negative ? -d : d;  // "-0" must stay negative zero, as from strtod
  return true;
}

// strtod needs a terminated copy of the run; short runs are copied to the
// stack so the usual number costs no allocation.
double ConvertRun(const char* run, uint32_t len) {
  double value;
  if (ConvertShortDecimal(run, len, &value)) return value;
  char buffer[64];
  if (len < sizeof buffer) {
    std::memcpy(buffer, run, len);
    buffer[len] = '\0';
    return std::strtod(buffer, nullptr);
  }
  std::string copy(run, len);
  return std::strtod(copy.c_str(), nullptr);
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The four bytes after "\u" as strtoul reads them in base 16. Anything but
// four plain hex digits goes to strtoul itself, whose leniency (leading
// blanks, a sign, a "0x" prefix, stopping early) is part of the behaviour.
uint32_t ReadEscapeCode(const char* four) {
  uint32_t cp = 0;
  for (int i = 0; i < 4; ++i) {
    int digit = HexDigit(four[i]);
    if (digit < 0) {
      char buffer[5];
      std::memcpy(buffer, four, 4);
      buffer[4] = '\0';
      // Only the low 32 bits matter below, and they agree between a
      // 32-bit and a 64-bit unsigned long (e.g. "-001" on either).
      return uint32_t(std::strtoul(buffer, nullptr, 16));
    }
    cp = cp * 16 + uint32_t(digit);
  }
  return cp;
}

// One code point as UTF-8, with no check that it is a valid scalar value:
// each escape of a surrogate pair is encoded on its own.
void AppendUtf8(std::string& out, uint32_t cp) {
  if (cp <= 0x7F) {
    out.push_back(char(cp));
  } else if (cp <= 0x7FF) {
    out.push_back(char(0xC0 | (cp >> 6)));
    out.push_back(char(0x80 | (cp & 0x3F)));
  } else if (cp <= 0xFFFF) {
    out.push_back(char(0xE0 | (cp >> 12)));
    out.push_back(char(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(char(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(char(0xF0 | (cp >> 18)));
    out.push_back(char(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(char(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(char(0x80 | (cp & 0x3F)));
  }
}

// A literal matches only when all of its bytes are present; "tru" at the
// end of the input is not a shorter match but no value at all.
bool ConsumeLiteral(JsonParser& p, const char* word, uint32_t len) {
  if (p.size - p.pos < len || std::memcmp(p.src.data() + p.pos, word, len) != 0) return false;
  p.pos += len;
  return true;
}

void ReadNumber(JsonParser& p, Json& out) {
  out.type = Json::Number;
  const char* s = p.src.data();
  uint32_t start = p.pos;
  if (s[p.pos] == '-') ++p.pos;
  while (p.pos < p.size && IsNumberByte(s[p.pos])) ++p.pos;
  out.number = ConvertRun(s + start, p.pos - start);
}

// Appends the string at `pos` (if one starts there) to `out`.
void ReadText(JsonParser& p, std::string& out) {
  SkipWhitespace(p);
  if (p.pos == p.size || p.src[p.pos] != '"') return;
  const char* s = p.src.data();
  const uint32_t size = p.size;
  uint32_t pos = p.pos + 1;
  while (pos < size) {
    // Plain bytes are appended a run at a time; only '"' and '\' need
    // a closer look.
    uint32_t run = pos;
    while (run < size && s[run] != '"' && s[run] != '\\') ++run;
    out.append(s + pos, run - pos);
    pos = run;
    if (pos == size) break;
    if (s[pos++] == '"') break;
    if (pos == size) {
      // A backslash as the very last byte is kept as it stands.
      out.push_back('\\');
      break;
    }
    char e = s[pos++];
    switch (e) {
      case 'b':
        out.push_back('\b');
        break;
      case 'f':
        out.push_back('\f');
        break;
      case 'n':
        out.push_back('\n');
        break;
      case 'r':
        out.push_back('\r');
        break;
      case 't':
        out.push_back('\t');
        break;
      case 'u':
        // With fewer than four bytes left the escape is dropped and the
        // bytes after the 'u' are read again as plain text.
        if (size - pos >= 4) {
          AppendUtf8(out, ReadEscapeCode(s + pos));
          pos += 4;
        }
        break;
      default:
        // '"', '\\' and '/' are among the bytes that stand for themselves.
        out.push_back(e);
        break;
    }
  }
  p.pos = pos;
}

void ReadValue(JsonParser& p, Json& out);

void ReadArray(JsonParser& p, Json& out) {
  out.type = Json::Array;
  ++p.pos;
  SkipWhitespace(p);
  if (p.pos == p.size) return;
  if (p.src[p.pos] == ']') {
    ++p.pos;
    return;
  }
  for (;;) {
    // Elements are read in place, which saves a move per value.
    out.items.emplace_back();
    ReadValue(p, out.items.back());
    SkipWhitespace(p);
    if (p.pos == p.size) return;
    if (p.src[p.pos] != ',') break;
    if (++p.pos == p.size) return;
  }
  // Any separator but ',' ends the array; only a ']' is taken with it.
  if (p.src[p.pos] == ']') ++p.pos;
}

void ReadObject(JsonParser& p, Json& out) {
  out.type = Json::Object;
  ++p.pos;
  SkipWhitespace(p);
  if (p.pos == p.size) return;
  if (p.src[p.pos] == '}') {
    ++p.pos;
    return;
  }
  std::string key;
  for (;;) {
    // A missing key reads as "" and a missing colon is skipped over, so
    // even badly broken members keep whatever value follows them.
    key.clear();
    ReadText(p, key);
    SkipWhitespace(p);
    if (p.pos < p.size && p.src[p.pos] == ':') ++p.pos;
    auto slot = out.members.try_emplace(std::move(key));
    // A repeated key keeps only its last value.
    if (!slot.second) slot.first->second = Json();
    ReadValue(p, slot.first->second);
    SkipWhitespace(p);
    if (p.pos == p.size) return;
    if (p.src[p.pos] != ',') break;
    if (++p.pos == p.size) return;
  }
  if (p.src[p.pos] == '}') ++p.pos;
}

// Reads one value into `out`, which must be a default (Null) value.
void ReadValue(JsonParser& p, Json& out) {
  SkipWhitespace(p);
  if (p.pos == p.size) return;
  switch (p.src[p.pos]) {
    case '{':
    case '[':
      if (p.depth < kMaxJsonDepth) {
        ++p.depth;
        if (p.src[p.pos] == '{') {
          ReadObject(p, out);
        } else {
          ReadArray(p, out);
        }
        --p.depth;
      }
      break;
    case '"':
      out.type = Json::String;
      ReadText(p, out.text);
      break;
    case 't':
      if (ConsumeLiteral(p, "true", 4)) {
        out.type = Json::Bool;
        out.boolean = true;
      }
      break;
    case 'f':
      if (ConsumeLiteral(p, "false", 5)) out.type = Json::Bool;
      break;
    case 'n':
      ConsumeLiteral(p, "null", 4);
      break;
    case '-':
    case '0':
    case '1':
    case '2':
    case '3':
    case '4':
    case '5':
    case '6':
    case '7':
    case '8':
    case '9':
      ReadNumber(p, out);
      break;
    default:
      break;
  }
}

}  // namespace

Json::Json(Json&& other) noexcept
    : type(other.type),
      boolean(other.boolean),
      number(other.number),
      text(std::move(other.text)),
      items(std::move(other.items)),
      members(std::move(other.members)) {
  other.type = Null;
  other.boolean = false;
  other.number = 0.0;
  other.text.clear();
  other.items.clear();
  other.members.clear();
}

Json& Json::operator=(Json&& other) noexcept {
  if (this != &other) {
    // Move the old subtree aside first: `other` may be part of it and must
    // survive until its content has been taken.
    Json previous(std::move(*this));
    type = other.type;
    boolean = other.boolean;
    number = other.number;
    text = std::move(other.text);
    items = std::move(other.items);
    members = std::move(other.members);
    other.type = Null;
    other.boolean = false;
    other.number = 0.0;
    other.text.clear();
    other.items.clear();
    other.members.clear();
  }
  return *this;
}

Json::~Json() {
  if (HasChildren(*this)) Dismantle(*this);
}

Json Json::Parse(const std::string& source) {
  JsonParser parser(source);
  return parser.Value();
}

const Json& Json::operator[](const std::string& key) const {
  if (type != Object) return Empty();
  auto it = members.find(key);
  return it == members.end() ? Empty() : it->second;
}

const Json& Json::operator[](uint32_t index) const {
  if (type != Array || index >= items.size()) return Empty();
  return items[index];
}

std::string Json::str(const std::string& fallback) const {
  return type == String ? text : fallback;
}

int64_t Json::num(int64_t fallback) const {
  if (type != Number) return fallback;
  // -2^63 and 2^63 are both exact doubles; everything in between truncates
  // into range, and NaN fails both comparisons.
  const double kLow = -9223372036854775808.0;
  const double kHigh = 9223372036854775808.0;
  if (number >= kLow && number < kHigh) return int64_t(number);
  return std::numeric_limits<int64_t>::min();
}

bool Json::truthy() const {
  switch (type) {
    case Null:
      return false;
    case Bool:
      return boolean;
    case Number:
      return number != 0.0;
    case String:
      return !text.empty();
    case Array:
      return !items.empty();
    case Object:
      return !members.empty();
  }
  return false;
}

JsonParser::JsonParser(const std::string& source)
    : src(source),
      size(source.size() > std::numeric_limits<uint32_t>::max()
               ? std::numeric_limits<uint32_t>::max()
               : uint32_t(source.size())) {}

Json JsonParser::Value() {
  Json out;
  ReadValue(*this, out);
  return out;
}

std::string JsonParser::Text() {
  std::string out;
  ReadText(*this, out);
  return out;
}
