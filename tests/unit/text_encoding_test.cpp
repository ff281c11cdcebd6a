// UTF-8/UTF-16 conversion through the platform's code-page functions, and
// form encoding.
#include "core/text.h"
#include "platform/utf.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct UrlCase {
  std::string input;
  std::string expected;
};

TEST(UrlEncode, EncodesEverythingOutsideTheUnreservedSet) {
  const UrlCase cases[] = {
      {"", ""},
      {"a b&c=d/\xC3\xA9", "a%20b%26c%3Dd%2F%C3%A9"},
      {"-._~", "-._~"},
      {"*'()!+`", "%2A%27%28%29%21%2B%60"},
      {"AZaz09", "AZaz09"},
      {std::string("\x00\x01\x1F\x7F", 4), "%00%01%1F%7F"},
      {"\x80\xFF", "%80%FF"},
      {"%", "%25"},
      {"a\nb", "a%0Ab"},
      {"\xC4\x9F\xC3\xBC\xC5\x9F", "%C4%9F%C3%BC%C5%9F"},  // ğüş
  };
  for (const UrlCase& c : cases) {
    SCOPED_TRACE(c.input);
    EXPECT_EQ(UrlEncode(c.input), c.expected);
  }
}

TEST(UrlEncode, EncodesEveryByteValueOnce) {
  std::string all;
  for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
  const std::string encoded = UrlEncode(all);
  // 66 unreserved bytes stay single, the other 190 become triples.
  EXPECT_EQ(encoded.size(), 66u + 190u * 3u);
  EXPECT_EQ(encoded.find('+'), std::string::npos);
  EXPECT_EQ(encoded.find(' '), std::string::npos);
}

struct ConversionCase {
  const char* name;
  std::string utf8;
  std::wstring wide;
};

TEST(TextConversion, RoundTripsBetweenUtf8AndUtf16) {
  const ConversionCase cases[] = {
      {"empty", "", L""},
      {"ascii", "Tavrensil", L"Tavrensil"},
      {"turkish", "G\xC3\xBCvenlik", L"G\u00FCvenlik"},
      {"all turkish letters", "\xC3\xA7\xC4\x9F\xC4\xB1\xC3\xB6\xC5\x9F\xC3\xBC\xC4\xB0",
       L"\u00E7\u011F\u0131\u00F6\u015F\u00FC\u0130"},
      {"embedded zero", std::string("a\0b", 3), std::wstring(L"a\0b", 3)},
      {"astral plane", "\xF0\x9F\x98\x80", L"\xD83D\xDE00"},
  };
  for (const ConversionCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Utf8ToWide(c.utf8), c.wide);
    EXPECT_EQ(WideToUtf8(c.wide), c.utf8);
  }
}

TEST(TextConversion, KeepsLengthsOfGuvenlik) {
  const std::string utf8 = "G\xC3\xBCvenlik";
  EXPECT_EQ(utf8.size(), 9u);
  EXPECT_EQ(Utf8ToWide(utf8).size(), 8u);
  EXPECT_EQ(WideToUtf8(Utf8ToWide(utf8)).size(), 9u);
}

TEST(TextConversion, InvalidUtf8StillGivesText) {
  // A lone continuation byte and a truncated sequence are not errors: the
  // platform substitutes, and the valid neighbours survive.
  const std::wstring wide = Utf8ToWide(
      "a\x80"
      "b\xC3");
  ASSERT_GE(wide.size(), 3u);
  EXPECT_EQ(wide.front(), L'a');
  EXPECT_NE(wide.find(L'b'), std::wstring::npos);
  EXPECT_NE(wide.find(L'\uFFFD'), std::wstring::npos);
}

}  // namespace
