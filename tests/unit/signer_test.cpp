#include "core/signer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

// mingw's libstdc++ built for Win32 threads has no std::thread; the check
// below is then simply left out of that build.
#if !defined(__GLIBCXX__) || defined(_GLIBCXX_HAS_GTHREADS)
#define SIGNER_TEST_HAS_THREADS 1
#include <thread>
#endif

namespace {

// Builds a string from a literal that may contain zero bytes.
template <size_t N>
std::string Bytes(const char (&literal)[N]) {
  return std::string(literal, N - 1);
}

struct TextCase {
  const char* name;
  std::string a;
  std::string b;
  std::string c;
  std::string expected;
  size_t lines_after_prefix;
};

size_t CountLines(const std::string& text) {
  return size_t(std::count(text.begin(), text.end(), '\n')) + 1;
}

TEST(SigningTextTest, ByteForByte) {
  const TextCase cases[] = {
      {"play: token and site joined by the caller", "play", "ch-7f3a", "tok123\nmy-site",
       "TAVRENSIL/1\nplay\nch-7f3a\ntok123\nmy-site", 4},
      {"beat with empty challenge and csid", "beat", "", "", "TAVRENSIL/1\nbeat\n\n", 3},
      {"beat", "beat", "c2", "csid-42", "TAVRENSIL/1\nbeat\nc2\ncsid-42", 3},
      {"bye", "bye", "c3", "csid-42", "TAVRENSIL/1\nbye\nc3\ncsid-42", 3},
      {"all empty", "", "", "", "TAVRENSIL/1\n\n\n", 3},
      {"token with a line feed is not escaped", "play", "ch", "to\nken\nsite",
       "TAVRENSIL/1\nplay\nch\nto\nken\nsite", 5},
      {"UTF-8 kept as bytes", "play", "\xc4\x9f\xc3\xbc\xc5\x9f\xc4\xb1\xc3\xb6\xc3\xa7",
       "tok\nT\xc3\xbcrk\xc3\xa7"
       "e",
       "TAVRENSIL/"
       "1\nplay\n\xc4\x9f\xc3\xbc\xc5\x9f\xc4\xb1\xc3\xb6\xc3\xa7\ntok\nT\xc3\xbcrk\xc3\xa7"
       "e",
       4},
      {"zero bytes kept", Bytes("be\0at"), Bytes("\0"), Bytes("cs\0id\0"),
       Bytes("TAVRENSIL/1\nbe\0at\n\0\ncs\0id\0"), 3},
      {"carriage return kept", "bye", "c\r", "\r\n", "TAVRENSIL/1\nbye\nc\r\n\r\n", 4},
  };
  for (const TextCase& c : cases) {
    const std::string text = SigningText(c.a, c.b, c.c);
    EXPECT_EQ(text, c.expected) << c.name;
    EXPECT_EQ(text.size(), 12 + c.a.size() + c.b.size() + c.c.size() + 2) << c.name;
    ASSERT_GE(text.size(), 12u) << c.name;
    EXPECT_EQ(text.compare(0, 12, "TAVRENSIL/1\n"), 0) << c.name;
    EXPECT_EQ(CountLines(text.substr(12)), c.lines_after_prefix) << c.name;
  }
}

TEST(SigningTextTest, EmptyBeatIsEighteenBytes) {
  EXPECT_EQ(SigningText("beat", "", "").size(), 18u);
}

bool IsLowerHex64(const std::string& s) {
  if (s.size() != 64) return false;
  for (char ch : s) {
    if (!((ch >= '0' && ch <= '9') || (ch >= 'a' && ch <= 'f'))) return false;
  }
  return true;
}

TEST(SignRequestTest, AlwaysSixtyFourLowerCaseHex) {
  const std::string long_arg(5000, 'x');
  const std::vector<std::vector<std::string>> inputs = {
      {"", "", ""},
      {"beat", "", ""},
      {"play", "ch", "tok\nsite"},
      {"bye", long_arg, long_arg},
      {Bytes("\0"), Bytes("\0\0"), Bytes("\xff\0")},
      {"play", "\xc4\x9f\xc3\xbc\xc5\x9f\xc4\xb1\xc3\xb6\xc3\xa7", "t\nsite"},
  };
  for (const auto& in : inputs) {
    const std::string sig = SignRequest(in[0], in[1], in[2]);
    EXPECT_TRUE(IsLowerHex64(sig)) << sig;
  }
}

TEST(SignRequestTest, Deterministic) {
  const std::string first = SignRequest("beat", "challenge-1", "csid-1");
  for (int i = 0; i < 10; ++i) {
    EXPECT_EQ(SignRequest("beat", "challenge-1", "csid-1"), first);
  }
}

TEST(SignRequestTest, EveryArgumentMatters) {
  const std::string base = SignRequest("beat", "challenge-1", "csid-1");
  const std::vector<std::vector<std::string>> variants = {
      {"bye", "challenge-1", "csid-1"},
      {"beat", "challenge-2", "csid-1"},
      {"beat", "challenge-1", "csid-2"},
      {"beat", "challenge-1", "csid-1 "},
      {"beat", "", "csid-1"},
      {"beat", "challenge-1", ""},
      {"beatchallenge-1", "", "csid-1"},
      {"beat", "challenge-1csid-1", ""},
      {"Beat", "challenge-1", "csid-1"},
  };
  std::vector<std::string> seen = {base};
  for (const auto& v : variants) {
    const std::string sig = SignRequest(v[0], v[1], v[2]);
    EXPECT_NE(sig, base) << v[0] << "|" << v[1] << "|" << v[2];
    seen.push_back(sig);
  }
  std::sort(seen.begin(), seen.end());
  EXPECT_EQ(std::unique(seen.begin(), seen.end()), seen.end());
}

TEST(SignRequestTest, DependsOnlyOnTheText) {
  // Line feeds are not escaped, so moving one across an argument boundary
  // yields the same text and therefore the same signature.
  EXPECT_EQ(SigningText("play", "ch\ntok", "site"), SigningText("play", "ch", "tok\nsite"));
  EXPECT_EQ(SignRequest("play", "ch\ntok", "site"), SignRequest("play", "ch", "tok\nsite"));
}

#ifdef SIGNER_TEST_HAS_THREADS
TEST(SignRequestTest, ConcurrentCallsAgree) {
  // Beats are signed on the heartbeat thread while the UI thread may sign
  // a goodbye, so concurrent calls must not disturb each other.
  const std::string beat = SignRequest("beat", "c", "s");
  const std::string bye = SignRequest("bye", "c", "s");
  bool beat_ok = true;
  bool bye_ok = true;
  std::thread t1([&] {
    for (int i = 0; i < 2000; ++i) beat_ok = beat_ok && SignRequest("beat", "c", "s") == beat;
  });
  std::thread t2([&] {
    for (int i = 0; i < 2000; ++i) bye_ok = bye_ok && SignRequest("bye", "c", "s") == bye;
  });
  t1.join();
  t2.join();
  EXPECT_TRUE(beat_ok);
  EXPECT_TRUE(bye_ok);
}
#endif

}  // namespace
