// The device-cookie bridge: reading a value out of the store's cookie text,
// the expiry date, and a round trip through the real WinINet store.
#include "platform/browser_cookie.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(CookieValueFromText, FindsTheNamedEntry) {
  struct Case {
    const wchar_t* text;
    const wchar_t* value;
  };
  const Case cases[] = {
      {L"a=1; rb_dev=XYZ; b=2", L"XYZ"},
      {L"a=1; rb_dev=XYZ", L"XYZ"},
      {L"rb_dev=XYZ", L"XYZ"},
      {L"rb_dev=", L""},
      {L"rb_dev=a=b; c=1", L"a=b"},
      {L"rb_dev=1;rb_dev=2", L"1"},
      // Another cookie whose name ends in the wanted one is not it.
      {L"xrb_dev=1; rb_dev=2", L"2"},
      {L"xrb_dev=1", L""},
      {L"a=rb_dev=5", L""},
      {L"rb_device=1", L""},
      {L"", L""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "text " << std::string(c.text, c.text + wcslen(c.text)));
    EXPECT_EQ(CookieValueFromText(c.text, L"rb_dev"), c.value);
  }
}

TEST(CookieExpiry, MovesByWholeDaysAcrossMonthAndYearEnds) {
  struct Case {
    SYSTEMTIME now;  // year, month, weekday (unused), day, hour, minute, second, ms
    int days;
    const wchar_t* expiry;
  };
  const Case cases[] = {
      {{2025, 3, 0, 1, 12, 0, 0, 0}, 60, L"Wed, 30 Apr 2025 12:00:00 GMT"},
      {{2024, 12, 0, 31, 23, 59, 59, 0}, 1, L"Wed, 01 Jan 2025 23:59:59 GMT"},
      {{2024, 2, 0, 28, 0, 0, 0, 0}, 1, L"Thu, 29 Feb 2024 00:00:00 GMT"},
      {{2023, 2, 0, 28, 6, 30, 0, 0}, 1, L"Wed, 01 Mar 2023 06:30:00 GMT"},
      {{2025, 1, 0, 1, 0, 0, 0, 0}, -1, L"Tue, 31 Dec 2024 00:00:00 GMT"},
      {{2025, 11, 0, 15, 8, 0, 0, 0}, 60, L"Wed, 14 Jan 2026 08:00:00 GMT"},
      {{2026, 12, 0, 9, 17, 0, 0, 0}, 0, L"Wed, 09 Dec 2026 17:00:00 GMT"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message()
                 << c.now.wYear << "-" << c.now.wMonth << "-" << c.now.wDay << " + " << c.days);
    std::wstring expiry;
    ASSERT_TRUE(CookieExpiry(c.now, c.days, &expiry));
    EXPECT_EQ(expiry, c.expiry);
  }
}

TEST(CookieData, CarriesExpiryPathAndHttpOnly) {
  const wchar_t date[] = L"Wed, 30 Apr 2025 12:00:00 GMT";
  EXPECT_EQ(CookieData(L"abc", date, L"http://oyun.tavrensil.test/"),
            L"abc; expires=Wed, 30 Apr 2025 12:00:00 GMT; path=/; HttpOnly");
  // An https site's cookie stays secure when renewed.
  for (const wchar_t* url : {L"https://oyun.tavrensil.test/", L"HTTPS://oyun.tavrensil.test/"}) {
    EXPECT_EQ(CookieData(L"abc", date, url),
              L"abc; expires=Wed, 30 Apr 2025 12:00:00 GMT; path=/; HttpOnly; secure");
  }
}

TEST(CookieValue, OnlyCookieCharactersPass) {
  struct Case {
    std::string value;
    bool ok;
  };
  const Case cases[] = {
      {"", true},           {"9f86d081884c7d65-_.~!#$%&'()*+/:<=>?@[]^`{|}", true},
      {"a b", false},       {"a\r\nSet-Cookie: x=1", false},
      {"a;b", false},       {"a,b", false},
      {"a\"b", false},      {"a\\b", false},
      {"a\tb", false},      {std::string("a\0b", 3), false},
      {"a\x7F", false},     {"\xC3\xBC", false},
      {"\"quoted\"", true}, {"\"\"", true},
      {"\"", false},        {"\"a\"b\"", false},
      {"\"a b\"", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(IsCookieValue(c.value), c.ok) << c.value;
  }
}

TEST(BrowserCookieStore, PersistsAndReadsBackThroughTheStore) {
  const std::wstring url = L"http://cookies.tavrensil.test/";
  const std::string value = "dev-" + std::to_string(GetTickCount());
  ASSERT_TRUE(PersistBrowserCookie(url, "rb_dev", value, 60));
  EXPECT_EQ(BrowserCookie(url, "rb_dev"), value);
  // Deeper paths of the site see the whole-site cookie too.
  EXPECT_EQ(BrowserCookie(url + L"s3/play?token=x", "rb_dev"), value);

  // An empty value, or one that is no cookie value, changes nothing in the store.
  EXPECT_FALSE(PersistBrowserCookie(url, "rb_dev", "", 60));
  EXPECT_FALSE(PersistBrowserCookie(url, "rb_dev", "x; path=/other", 60));
  EXPECT_EQ(BrowserCookie(url, "rb_dev"), value);

  // The store takes the secure attribute of an https site's cookie.
  const std::wstring secure_url = L"https://secure.tavrensil.test/";
  ASSERT_TRUE(PersistBrowserCookie(secure_url, "rb_dev", value, 60));
  EXPECT_EQ(BrowserCookie(secure_url, "rb_dev"), value);

  EXPECT_EQ(BrowserCookie(url, "missing"), "");
  EXPECT_EQ(BrowserCookie(L"http://no-cookies.tavrensil.test/", "rb_dev"), "");
}

TEST(BrowserCookieStore, ARefusedCookieGivesFalse) {
  // The store takes cookies only for web addresses.
  EXPECT_FALSE(PersistBrowserCookie(L"not a url", "rb_dev", "v", 60));
  EXPECT_FALSE(PersistBrowserCookie(L"", "rb_dev", "v", 60));
}

}  // namespace
