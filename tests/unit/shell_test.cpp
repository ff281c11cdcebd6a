// The shell's pure parts: the command line, the executable's folder, the
// system functions taken at run time, the screenshot file format and the
// update notice.
#include "app/bitmap_file.h"
#include "app/options.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <string>
#include <vector>

#include "app/log.h"
#include "app/session.h"
#include "platform/system_libraries.h"
#include "platform/winhttp_functions.h"

namespace {

ClientOptions Parse(std::initializer_list<const wchar_t*> args) {
  std::vector<wchar_t*> argv = {const_cast<wchar_t*>(L"TavrensilClient.exe")};
  for (const wchar_t* arg : args) argv.push_back(const_cast<wchar_t*>(arg));
  return ParseArguments(static_cast<int>(argv.size()), argv.data());
}

TEST(ParseArguments, DefaultsWithoutArguments) {
  const ClientOptions o = Parse({});
  EXPECT_EQ(o.movie, L"");
  EXPECT_EQ(o.flashvars, L"");
  EXPECT_EQ(o.wmode, L"direct");
  EXPECT_EQ(o.site.compare(0, 8, L"https://"), 0) << "the default site is an https URL";
  EXPECT_NE(o.site.back(), L'/');
  EXPECT_EQ(o.shot, L"");
  EXPECT_EQ(o.after, 5000);
  EXPECT_FALSE(o.mobile);
  EXPECT_EQ(o.loading, L"");
}

TEST(ParseArguments, ReadsEveryOption) {
  struct Case {
    const char* name;
    std::initializer_list<const wchar_t*> args;
    std::wstring ClientOptions::*field;
    const wchar_t* expected;
  };
  const Case cases[] = {
      {"movie", {L"--movie", L"http://h/m.swf"}, &ClientOptions::movie, L"http://h/m.swf"},
      {"flashvars", {L"--flashvars", L"a=1&b=2"}, &ClientOptions::flashvars, L"a=1&b=2"},
      {"wmode", {L"--wmode", L"opaque"}, &ClientOptions::wmode, L"opaque"},
      {"site",
       {L"--site", L"http://127.0.0.1:8080"},
       &ClientOptions::site,
       L"http://127.0.0.1:8080"},
      {"shot", {L"--shot", L"C:\\s.bmp"}, &ClientOptions::shot, L"C:\\s.bmp"},
      {"loading", {L"--loading", L"v2"}, &ClientOptions::loading, L"v2"},
      {"a value that looks like an option",
       {L"--site", L"--movie"},
       &ClientOptions::site,
       L"--movie"},
      {"the later one wins", {L"--movie", L"a", L"--movie", L"b"}, &ClientOptions::movie, L"b"},
      {"last argument gives empty", {L"--movie"}, &ClientOptions::movie, L""},
      {"last argument empties a default", {L"--wmode"}, &ClientOptions::wmode, L""},
      {"other case is not an option", {L"--MOVIE", L"x"}, &ClientOptions::movie, L""},
      {"no prefix matching", {L"--mov", L"x"}, &ClientOptions::movie, L""},
      {"no equals form", {L"--movie=x"}, &ClientOptions::movie, L""},
      {"the installer's report", {L"--update-failed=wait"}, &ClientOptions::update_failed,
       L"wait"},
      {"its report is one argument", {L"--update-failed", L"x"}, &ClientOptions::update_failed,
       L""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Parse(c.args).*c.field, c.expected);
  }
}

TEST(ParseArguments, ReadsTheScreenshotDelayLikeWtoi) {
  struct Case {
    std::initializer_list<const wchar_t*> args;
    int32_t after;
  };
  const Case cases[] = {
      {{L"--after", L"1500"}, 1500}, {{L"--after", L"abc"}, 0},  {{L"--after", L"250ms"}, 250},
      {{L"--after", L"-5"}, -5},     {{L"--after", L" 42"}, 42}, {{L"--after"}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.after);
    EXPECT_EQ(Parse(c.args).after, c.after);
  }
}

TEST(ParseArguments, ValuesAreConsumedAndFlagsTakeNone) {
  // "--site --movie x": --movie is the site, so x is a stray argument.
  ClientOptions o = Parse({L"--site", L"--movie", L"x"});
  EXPECT_EQ(o.movie, L"");
  // "--MOVIE x --mobile": the unknown name leaves x to be read on its own.
  o = Parse({L"--MOVIE", L"--mobile"});
  EXPECT_TRUE(o.mobile);
  o = Parse({L"--mobile", L"--movie", L"m"});
  EXPECT_TRUE(o.mobile);
  EXPECT_EQ(o.movie, L"m");
  o = Parse({L"--shot", L"--mobile"});
  EXPECT_EQ(o.shot, L"--mobile");
  EXPECT_FALSE(o.mobile);
}

TEST(ModuleDir, HasNoTrailingSeparator) {
  struct Case {
    const wchar_t* path;
    const wchar_t* dir;
  };
  const Case cases[] = {
      {L"C:\\Games\\Tavrensil\\TavrensilClient.exe", L"C:\\Games\\Tavrensil"},
      {L"Z:/tmp/x/TavrensilClient.exe", L"Z:/tmp/x"},
      {L"C:\\a/b\\c.exe", L"C:\\a/b"},
      {L"TavrensilClient.exe", L"."},
  };
  for (const Case& c : cases) EXPECT_EQ(DirectoryOf(c.path), c.dir);

  const std::wstring dir = ModuleDir();
  ASSERT_FALSE(dir.empty());
  EXPECT_NE(dir.back(), L'\\');
  EXPECT_NE(dir.back(), L'/');
}

// A function that cannot be had fails as the platform's own do, through the
// typed pointer its callers hold (on 32-bit Windows a stdcall stand-in that
// took its arguments wrongly would wreck the caller's stack here).
TEST(SystemFunction, WhatCannotBeHadFailsWithProcNotFound) {
  const HMODULE winhttp = LoadSystemLibrary(L"winhttp.dll");
  ASSERT_NE(winhttp, nullptr) << GetLastError();
  struct Case {
    HMODULE library;
    const char* name;
    bool found;
  };
  const Case cases[] = {
      {winhttp, "WinHttpOpen", true},
      {winhttp, "WinHttpOpenNoSuchFunction", false},
      {nullptr, "WinHttpOpen", false},
  };
  for (const Case& c : cases) {
    const auto open = SystemFunction<decltype(&::WinHttpOpen)>(c.library, c.name);
    ASSERT_NE(open, nullptr);
    SetLastError(ERROR_SUCCESS);
    HINTERNET session = open(L"test", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                             WINHTTP_NO_PROXY_BYPASS, 0);
    EXPECT_EQ(session != nullptr, c.found) << c.name;
    if (session) {
      EXPECT_TRUE(WinHttp().WinHttpCloseHandle(session));
    } else {
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND)) << c.name;
    }
  }
}

// Little-endian field of the serialised headers.
uint32_t Field(const std::vector<uint8_t>& bytes, size_t offset, size_t size) {
  uint32_t value = 0;
  for (size_t i = 0; i < size; ++i) value |= static_cast<uint32_t>(bytes[offset + i]) << (8 * i);
  return value;
}

std::vector<uint8_t> Headers(int width, int height) {
  BITMAPFILEHEADER file;
  BITMAPINFOHEADER info;
  FillBitmapHeaders(width, height, &file, &info);
  std::vector<uint8_t> bytes(sizeof(file) + sizeof(info));
  std::memcpy(bytes.data(), &file, sizeof(file));
  std::memcpy(bytes.data() + sizeof(file), &info, sizeof(info));
  return bytes;
}

TEST(BitmapFile, HeadersAreByteExact) {
  struct Case {
    int width;
    int height;
    uint32_t stride;
  };
  const Case cases[] = {{1000, 600, 3000}, {101, 7, 304}, {1, 1, 4}, {4, 2, 12}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.width << "x" << c.height);
    EXPECT_EQ(BitmapStride(c.width), c.stride);
    const std::vector<uint8_t> h = Headers(c.width, c.height);
    ASSERT_EQ(h.size(), 54u);
    const uint32_t image = c.stride * static_cast<uint32_t>(c.height);
    EXPECT_EQ(h[0], 'B');
    EXPECT_EQ(h[1], 'M');
    EXPECT_EQ(Field(h, 2, 4), 54 + image);
    EXPECT_EQ(Field(h, 6, 4), 0u);  // both reserved words
    EXPECT_EQ(Field(h, 10, 4), 54u);
    EXPECT_EQ(Field(h, 14, 4), 40u);
    EXPECT_EQ(Field(h, 18, 4), static_cast<uint32_t>(c.width));
    EXPECT_EQ(Field(h, 22, 4), static_cast<uint32_t>(c.height));
    EXPECT_EQ(Field(h, 26, 2), 1u);
    EXPECT_EQ(Field(h, 28, 2), 24u);
    EXPECT_EQ(Field(h, 30, 4), 0u);
    EXPECT_EQ(Field(h, 34, 4), image);
    for (size_t offset = 38; offset < 54; offset += 4) EXPECT_EQ(Field(h, offset, 4), 0u);
  }
  EXPECT_EQ(Field(Headers(1000, 600), 2, 4), 1800054u);
}

std::wstring TempFile(const wchar_t* name) {
  wchar_t folder[MAX_PATH];
  GetTempPathW(MAX_PATH, folder);
  return std::wstring(folder) + name;
}

std::vector<uint8_t> ReadAll(const std::wstring& path) {
  std::ifstream in(path.c_str(), std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

TEST(BitmapFile, WritesHeadersThenPixels) {
  BITMAPFILEHEADER file;
  BITMAPINFOHEADER info;
  FillBitmapHeaders(101, 2, &file, &info);
  std::vector<uint8_t> pixels(info.biSizeImage);
  for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<uint8_t>(i * 13);
  const std::wstring path = TempFile(L"tavrensil-shot-test.bmp");
  ASSERT_TRUE(WriteBitmapFile(path, file, info, pixels.data()));
  const std::vector<uint8_t> written = ReadAll(path);
  ASSERT_EQ(written.size(), 54u + 608u);
  EXPECT_EQ(std::vector<uint8_t>(written.begin(), written.begin() + 54), Headers(101, 2));
  EXPECT_EQ(std::vector<uint8_t>(written.begin() + 54, written.end()), pixels);
  DeleteFileW(path.c_str());
}

TEST(BitmapFile, WithoutPixelsNoFileIsMade) {
  BITMAPFILEHEADER file;
  BITMAPINFOHEADER info;
  FillBitmapHeaders(10, 10, &file, &info);
  const std::wstring path = TempFile(L"tavrensil-no-pixels.bmp");
  DeleteFileW(path.c_str());
  EXPECT_FALSE(WriteBitmapFile(path, file, info, nullptr));
  EXPECT_EQ(GetFileAttributesW(path.c_str()), INVALID_FILE_ATTRIBUTES);
  std::vector<uint8_t> pixels(info.biSizeImage);
  EXPECT_FALSE(WriteBitmapFile(L"Z:\\no\\such\\folder\\x.bmp", file, info, pixels.data()));
}

struct LoggerArgs {
  wchar_t tag;
  int lines;
};

DWORD WINAPI LogLines(LPVOID param) {
  const LoggerArgs* args = static_cast<LoggerArgs*>(param);
  const std::wstring filler(60, args->tag);
  for (int i = 0; i < args->lines; ++i) Log(L"%ls %d %ls", filler.c_str(), i, filler.c_str());
  return 0;
}

TEST(Log, TwoThreadsWriteWholeLines) {
  const std::wstring path = TempFile(L"tavrensil-log-test.log");
  ASSERT_TRUE(OpenLog(path));
  const int kLines = 2000;
  LoggerArgs a = {L'a', kLines};
  LoggerArgs b = {L'b', kLines};
  HANDLE threads[2] = {CreateThread(nullptr, 0, LogLines, &a, 0, nullptr),
                       CreateThread(nullptr, 0, LogLines, &b, 0, nullptr)};
  WaitForMultipleObjects(2, threads, TRUE, INFINITE);
  CloseHandle(threads[0]);
  CloseHandle(threads[1]);

  std::ifstream in(path.c_str(), std::ios::binary);
  std::string line;
  int counts[2] = {0, 0};
  int broken = 0;
  while (std::getline(in, line)) {
    const char tag = line.empty() ? '?' : line[0];
    const std::string filler(60, tag);
    // "<filler> <n> <filler>\r": anything else is a torn line.
    const bool whole = (tag == 'a' || tag == 'b') && line.size() > 123 &&
                       line.compare(0, 61, filler + " ") == 0 &&
                       line.compare(line.size() - 62, 62, " " + filler + "\r") == 0;
    if (!whole) {
      ++broken;
      continue;
    }
    ++counts[tag - 'a'];
  }
  EXPECT_EQ(broken, 0);
  EXPECT_EQ(counts[0], kLines);
  EXPECT_EQ(counts[1], kLines);
}

TEST(UpdateNotice, ShowsBothVersionsOnTheirLines) {
  struct Case {
    int64_t latest;
    const wchar_t* line;
  };
  const Case cases[] = {{9, L"\nEn Yeni Sürüm: v9\n"},
                        {8, L"\nEn Yeni Sürüm: v8\n"},
                        {-3, L"\nEn Yeni Sürüm: v-3\n"},
                        {1, L"\nEn Yeni Sürüm: v1\n"},
                        {1234567, L"\nEn Yeni Sürüm: v1234567\n"}};
  for (const Case& c : cases) {
    const std::wstring text = UpdateNoticeText(c.latest);
    EXPECT_NE(text.find(c.line), std::wstring::npos) << c.latest;
  }
  EXPECT_EQ(UpdateNoticeText(9),
            L"Tavrensil Online istemcisinin yeni bir sürümü yayınlandı!\n\n"
            L"Mevcut Sürüm: v" + std::to_wstring(kBuild) + L"\nEn Yeni Sürüm: v9\n\n"
            L"Oyuna devam edebilmek için lütfen yeni sürümü indirin.\n"
            L"İndirme sayfası tarayıcınızda açılacaktır.");
}

TEST(UpdateNotice, ReadsTheAnswerWithItsDefaults) {
  struct Case {
    const char* body;
    bool must_update;
    const wchar_t* url;
    int64_t latest;
  };
  const Case cases[] = {
      {R"({"must_update":false,"latest_build":9})", false, L"", 9},
      {R"({"must_update":"no"})", true, L"", 1},
      {R"({"must_update":1,"latest_build":8.7,"download_url":""})", true, L"", 8},
      {R"({"must_update":true,"latest_build":-3,"download_url":"https://x/d"})", true,
       L"https://x/d", -3},
      {R"({"must_update":0})", false, L"", 1},
      {R"({"must_update":null})", false, L"", 1},
      {R"({"must_update":""})", false, L"", 1},
      {R"({"latest_build":9})", false, L"", 9},
      {"<html>not json</html>", false, L"", 1},
      {"", false, L"", 1},
      {"{\"must_update\":true,\"download_url\":\"https://x/\u00fc\"}", true, L"https://x/\u00fc",
       1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.body);
    const UpdateAnswer answer = ReadUpdateAnswer(c.body);
    EXPECT_EQ(answer.must_update, c.must_update);
    EXPECT_EQ(answer.download_url, c.url);
    EXPECT_EQ(answer.latest_build, c.latest);
  }
}

TEST(UpdateNotice, OnlyWebAddressesGoToTheShell) {
  struct Case {
    const wchar_t* url;
    bool web;
  };
  const Case cases[] = {
      {L"https://oyun.tavrensil.com/indir", true},
      {L"http://127.0.0.1:8080/download", true},
      {L"HTTPS://X/Y", true},
      {L"C:\\Windows\\System32\\calc.exe", false},
      {L"file:///C:/x.exe", false},
      {L"\\\\server\\share\\setup.exe", false},
      {L"javascript:alert(1)", false},
      {L"", false},
  };
  for (const Case& c : cases) EXPECT_EQ(IsWebAddress(c.url), c.web);
}

}  // namespace

namespace {

TEST(MobileMovie, RewritesOnlyTheLoadingMovie) {
  struct Case {
    const char* movie;
    const wchar_t* loading;
    const char* expected;
  };
  const Case cases[] = {
      {"https://g.test/game/Loading.swf", L"", "https://g.test/game/Loading_m.swf?m=2"},
      {"https://g.test/game/Loading.swf?v=31", L"", "https://g.test/game/Loading_m.swf?v=31&m=2"},
      {"https://g.test/game/Loading.swf", L"Phone2.swf", "https://g.test/game/Phone2.swf?m=2"},
      {"https://g.test/game/Loading.swf", L"../Phone2.swf",
       "https://g.test/game/Loading_m.swf?m=2"},
      {"https://g.test/game/Loading.swf", L"Telefon ekran\u0131.swf",
       "https://g.test/game/Loading_m.swf?m=2"},
      {"https://g.test/game/Main.swf?v=31", L"Phone2.swf", "https://g.test/game/Main.swf?v=31"},
      {"https://g.test/game/loading.swf", L"", "https://g.test/game/loading.swf"},
      {"https://g.test/a/Loading.swf/b/Loading.swf", L"",
       "https://g.test/a/Loading.swf/b/Loading_m.swf?m=2"},
      {"https://g.test/game/Loading.swf#top", L"", "https://g.test/game/Loading_m.swf#top?m=2"},
      {"https://g.test/game/Loading.swf", L"a\\b.swf", "https://g.test/game/Loading_m.swf?m=2"},
      {"https://g.test/game/Loading.swf", L"c:x.swf", "https://g.test/game/Loading_m.swf?m=2"},
      {"https://g.test/game/Loading.swf", L"\u00e7.swf", "https://g.test/game/Loading_m.swf?m=2"},
      {"", L"", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.movie);
    EXPECT_EQ(MobileMovie(c.movie, c.loading), c.expected);
  }
}

TEST(MobileMovie, AcceptsLoaderNamesUpTo63Bytes) {
  const std::wstring name63 = std::wstring(59, L'a') + L".swf";
  const std::wstring name64 = std::wstring(60, L'a') + L".swf";
  ASSERT_EQ(name63.size(), 63u);
  EXPECT_EQ(MobileMovie("/g/Loading.swf", name63),
            "/g/" + std::string(name63.begin(), name63.end()) + "?m=2");
  EXPECT_EQ(MobileMovie("/g/Loading.swf", name64), "/g/Loading_m.swf?m=2");
}

}  // namespace
