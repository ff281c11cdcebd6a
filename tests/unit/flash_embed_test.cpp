// Writing the embedded control file: where it goes, when it is rewritten,
// what happens when the target is in use, and several clients at once.
#include "app/flash_embed.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "scoped_env.h"

namespace {

using Bytes = std::vector<unsigned char>;

const wchar_t kName[] = L"Flash32_32_0_0_363.ocx";

// Deterministic content, larger than the 1 MiB comparison chunk and not a
// multiple of it, so chunk boundaries and the short last chunk are covered.
Bytes MakeContent(size_t size, unsigned seed) {
  Bytes bytes(size);
  unsigned state = seed * 2654435761u + 1;
  for (auto& b : bytes) {
    state = state * 1103515245u + 12345u;
    b = static_cast<unsigned char>(state >> 16);
  }
  return bytes;
}

std::wstring TempRoot() {
  wchar_t buffer[MAX_PATH + 1] = {};
  const DWORD length = GetTempPathW(MAX_PATH + 1, buffer);
  std::wstring root(buffer, length);
  while (!root.empty() && root.back() == L'\\') root.pop_back();
  return root;
}

void RemoveTree(const std::wstring& path) {
  WIN32_FIND_DATAW entry;
  HANDLE find = FindFirstFileW((path + L"\\*").c_str(), &entry);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      const std::wstring name = entry.cFileName;
      if (name == L"." || name == L"..") continue;
      const std::wstring child = path + L"\\" + name;
      if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        RemoveTree(child);
      } else {
        SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(child.c_str());
      }
    } while (FindNextFileW(find, &entry));
    FindClose(find);
  }
  RemoveDirectoryW(path.c_str());
}

std::set<std::wstring> FilesIn(const std::wstring& folder) {
  std::set<std::wstring> names;
  WIN32_FIND_DATAW entry;
  HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &entry);
  if (find == INVALID_HANDLE_VALUE) return names;
  do {
    const std::wstring name = entry.cFileName;
    if (name != L"." && name != L"..") names.insert(name);
  } while (FindNextFileW(find, &entry));
  FindClose(find);
  return names;
}

bool Exists(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// The file's bytes; `ok` false when it cannot be read.
Bytes ReadAll(const std::wstring& path, bool* ok = nullptr) {
  Bytes bytes;
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  bool good = file != INVALID_HANDLE_VALUE;
  if (good) {
    LARGE_INTEGER size = {};
    good = GetFileSizeEx(file, &size) != 0;
    if (good) {
      bytes.resize(static_cast<size_t>(size.QuadPart));
      DWORD read = 0;
      good = bytes.empty() ||
             (ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr) &&
              read == bytes.size());
    }
    CloseHandle(file);
  }
  if (ok) *ok = good;
  return bytes;
}

bool WriteAll(const std::wstring& path, const Bytes& bytes) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const bool ok = bytes.empty() || (WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()),
                                              &written, nullptr) &&
                                    written == bytes.size());
  CloseHandle(file);
  return ok;
}

FILETIME LastWrite(const std::wstring& path) {
  WIN32_FILE_ATTRIBUTE_DATA data = {};
  GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data);
  return data.ftLastWriteTime;
}

// A write time far in the past, so that any rewrite shows.
void SetOldWriteTime(const std::wstring& path) {
  HANDLE file = CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  SYSTEMTIME old = {};
  old.wYear = 2001;
  old.wMonth = 2;
  old.wDay = 3;
  old.wHour = 4;
  FILETIME time = {};
  SystemTimeToFileTime(&old, &time);
  ASSERT_TRUE(SetFileTime(file, nullptr, nullptr, &time));
  CloseHandle(file);
}

std::wstring TemporaryFor(const std::wstring& target, DWORD process_id) {
  return target + L"." + std::to_wstring(process_id) + L".tmp";
}

// Each test gets its own folder as LOCALAPPDATA.
class EnsureFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    static int counter = 0;
    base_ = TempRoot() + L"\\embed_test." + std::to_wstring(GetCurrentProcessId()) + L"." +
            std::to_wstring(++counter);
    RemoveTree(base_);
    ASSERT_TRUE(CreateDirectoryW(base_.c_str(), nullptr));
    local_app_data_ = std::make_unique<ScopedEnv>(L"LOCALAPPDATA", base_.c_str());
    folder_ = base_ + L"\\Tavrensil";
    target_ = folder_ + L"\\" + kName;
  }
  void TearDown() override {
    local_app_data_.reset();
    RemoveTree(base_);
  }

  std::wstring Ensure(const Bytes& bytes, std::wstring* error) {
    return flash_embed::EnsureFile(kName, bytes.data(), static_cast<DWORD>(bytes.size()), error);
  }

  std::wstring base_;
  std::wstring folder_;
  std::wstring target_;
  std::unique_ptr<ScopedEnv> local_app_data_;
  const Bytes content_ = MakeContent(3 * 1024 * 1024 + 17, 1);
  const Bytes other_ = MakeContent(3 * 1024 * 1024 + 17, 2);
};

TEST_F(EnsureFileTest, WritesTheBytesOnFirstUse) {
  std::wstring error = L"untouched";
  EXPECT_EQ(Ensure(content_, &error), target_);
  EXPECT_EQ(error, L"untouched") << "success leaves the error text alone";
  EXPECT_EQ(ReadAll(target_), content_);
  EXPECT_EQ(FilesIn(folder_), std::set<std::wstring>{kName}) << "no temporary file is left";
}

TEST_F(EnsureFileTest, ReusesAnIdenticalFileWithoutWriting) {
  ASSERT_EQ(Ensure(content_, nullptr), target_);
  SetOldWriteTime(target_);
  const FILETIME before = LastWrite(target_);

  // Readers only: any attempt to replace or rewrite the file now fails, and
  // the call would have to fall back to a temporary copy.
  HANDLE reader = CreateFileW(target_.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(reader, INVALID_HANDLE_VALUE);
  std::wstring error;
  const std::wstring path = Ensure(content_, &error);
  CloseHandle(reader);

  EXPECT_EQ(path, target_);
  EXPECT_EQ(error, L"");
  const FILETIME after = LastWrite(target_);
  EXPECT_EQ(CompareFileTime(&before, &after), 0) << "the file was written again";
  EXPECT_FALSE(Exists(TemporaryFor(target_, GetCurrentProcessId())));
  EXPECT_EQ(FilesIn(folder_), std::set<std::wstring>{kName});
}

TEST_F(EnsureFileTest, RewritesAFileThatDiffers) {
  struct Case {
    const char* name;
    Bytes (*make)(const Bytes&);
  };
  const Case cases[] = {
      {"last byte differs",
       [](const Bytes& c) {
         Bytes b = c;
         b.back() ^= 0x01;
         return b;
       }},
      {"first byte differs",
       [](const Bytes& c) {
         Bytes b = c;
         b.front() ^= 0x80;
         return b;
       }},
      {"first byte of the second chunk differs",
       [](const Bytes& c) {
         Bytes b = c;
         b[1024 * 1024] ^= 0x10;
         return b;
       }},
      {"last byte of the first chunk differs",
       [](const Bytes& c) {
         Bytes b = c;
         b[1024 * 1024 - 1] ^= 0x10;
         return b;
       }},
      {"one byte short", [](const Bytes& c) { return Bytes(c.begin(), c.end() - 1); }},
      {"one byte long",
       [](const Bytes& c) {
         Bytes b = c;
         b.push_back(0);
         return b;
       }},
      {"empty", [](const Bytes&) { return Bytes(); }},
      {"other content of the same size", [](const Bytes& c) { return MakeContent(c.size(), 2); }},
  };
  CreateDirectoryW(folder_.c_str(), nullptr);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(WriteAll(target_, c.make(content_)));
    SetOldWriteTime(target_);
    const FILETIME before = LastWrite(target_);
    std::wstring error;
    EXPECT_EQ(Ensure(content_, &error), target_);
    EXPECT_EQ(error, L"");
    EXPECT_EQ(ReadAll(target_), content_);
    const FILETIME after = LastWrite(target_);
    EXPECT_NE(CompareFileTime(&before, &after), 0);
    EXPECT_EQ(FilesIn(folder_), std::set<std::wstring>{kName});
  }
}

TEST_F(EnsureFileTest, SmallContentAndExactChunkSizes) {
  for (size_t size : {size_t{1}, size_t{1024 * 1024}, size_t{2 * 1024 * 1024}}) {
    SCOPED_TRACE(size);
    const Bytes bytes = MakeContent(size, static_cast<unsigned>(size));
    EXPECT_EQ(Ensure(bytes, nullptr), target_);
    EXPECT_EQ(ReadAll(target_), bytes);
    // And once more: identical now, so it is kept.
    SetOldWriteTime(target_);
    const FILETIME before = LastWrite(target_);
    EXPECT_EQ(Ensure(bytes, nullptr), target_);
    const FILETIME after = LastWrite(target_);
    EXPECT_EQ(CompareFileTime(&before, &after), 0);
  }
}

TEST_F(EnsureFileTest, OverwritesAStaleTemporaryFileOfThisProcessId) {
  // A copy left by an earlier client that had the same process id, longer
  // than the content: it must be truncated, not written over in place.
  CreateDirectoryW(folder_.c_str(), nullptr);
  const std::wstring stale = TemporaryFor(target_, GetCurrentProcessId());
  ASSERT_TRUE(WriteAll(stale, MakeContent(content_.size() + 4096, 9)));
  EXPECT_EQ(Ensure(content_, nullptr), target_);
  EXPECT_EQ(ReadAll(target_), content_);
  EXPECT_FALSE(Exists(stale));
}

TEST_F(EnsureFileTest, TrailingSeparatorsOfTheBaseFolderCollapse) {
  const wchar_t* const endings[] = {L"\\", L"\\\\\\", L"/", L"\\/\\", L"//"};
  for (const wchar_t* ending : endings) {
    SCOPED_TRACE(::testing::PrintToString(std::wstring(ending)));
    ScopedEnv env(L"LOCALAPPDATA", (base_ + ending).c_str());
    EXPECT_EQ(Ensure(content_, nullptr), target_);
    EXPECT_EQ(ReadAll(target_), content_);
  }
}

TEST_F(EnsureFileTest, FallsBackToTheTemporaryFolder) {
  const std::wstring temp = base_ + L"\\temp";
  ASSERT_TRUE(CreateDirectoryW(temp.c_str(), nullptr));
  ScopedEnv tmp(L"TMP", temp.c_str());
  ScopedEnv temp_env(L"TEMP", temp.c_str());
  const std::wstring expected = temp + L"\\Tavrensil\\" + kName;

  struct Case {
    const char* name;
    const wchar_t* value;  // null: not set at all
  };
  const std::wstring too_long = L"C:\\" + std::wstring(300, L'x');
  const std::wstring just_too_long = L"C:\\" + std::wstring(257, L'x');
  ASSERT_EQ(just_too_long.size(), 260u);
  const Case cases[] = {
      {"unset", nullptr},
      {"empty", L""},
      {"far longer than the buffer", too_long.c_str()},
      {"260 characters: no room for the terminator", just_too_long.c_str()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScopedEnv env(L"LOCALAPPDATA", c.value);
    std::wstring error;
    EXPECT_EQ(Ensure(content_, &error), expected);
    EXPECT_EQ(error, L"");
    EXPECT_EQ(ReadAll(expected), content_);
    EXPECT_FALSE(Exists(folder_));
  }
}

TEST_F(EnsureFileTest, ABaseFolderOf259CharactersIsUsed) {
  // The longest value that fits the 260-character buffer with its
  // terminator. The folder does not exist (and such paths exceed the file
  // system's limit), so the write fails; the text shows the folder chosen.
  const std::wstring value = base_ + L"\\" + std::wstring(259 - base_.size() - 1, L'y');
  ASSERT_EQ(value.size(), 259u);
  ScopedEnv env(L"LOCALAPPDATA", value.c_str());
  std::wstring error;
  EXPECT_EQ(Ensure(content_, &error), L"");
  const std::wstring full = L"Flash yazilamadi: " +
                            TemporaryFor(value + L"\\Tavrensil\\" + kName, GetCurrentProcessId()) +
                            L" (hata ";
  ASSERT_EQ(error.size(), 255u) << "cut to the text buffer";
  EXPECT_EQ(full.compare(0, 255, error), 0) << ::testing::PrintToString(error);
}

TEST_F(EnsureFileTest, NoUsableFolder) {
  const std::wstring too_long = L"C:\\" + std::wstring(300, L'x');
  ScopedEnv env(L"LOCALAPPDATA", nullptr);
  ScopedEnv tmp(L"TMP", too_long.c_str());
  ScopedEnv temp(L"TEMP", too_long.c_str());
  ScopedEnv profile(L"USERPROFILE", too_long.c_str());
  wchar_t probe[260];
  const DWORD probe_length = GetTempPathW(260, probe);
  if (probe_length >= 1 && probe_length < 260) {
    GTEST_SKIP() << "this system finds a temporary folder anyway";
  }
  std::wstring error = L"x";
  EXPECT_EQ(Ensure(content_, &error), L"");
  EXPECT_EQ(error, L"Flash icin yazilabilir klasor bulunamadi");
  EXPECT_EQ(Ensure(content_, nullptr), L"");
}

TEST_F(EnsureFileTest, TargetInUseGivesTheTemporaryCopy) {
  CreateDirectoryW(folder_.c_str(), nullptr);
  const Bytes old = MakeContent(content_.size(), 3);
  ASSERT_TRUE(WriteAll(target_, old));
  // Held like a loaded module that nobody may replace.
  HANDLE holder = CreateFileW(target_.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(holder, INVALID_HANDLE_VALUE);
  std::wstring error = L"untouched";
  const std::wstring path = Ensure(content_, &error);
  CloseHandle(holder);

  const std::wstring temporary = TemporaryFor(target_, GetCurrentProcessId());
  EXPECT_EQ(path, temporary);
  EXPECT_EQ(error, L"untouched");
  EXPECT_EQ(ReadAll(temporary), content_);
  EXPECT_EQ(ReadAll(target_), old) << "the file in use is left alone";
}

// Another client holds the target (as a loaded module would) and, while this
// one writes its copy, makes the target right. The replace is refused, but
// the target is now identical, so it is used and the copy goes.
struct Rival {
  std::wstring target;
  std::wstring temporary;
  const Bytes* content = nullptr;
  HANDLE writer = INVALID_HANDLE_VALUE;  // write access, no delete sharing
  bool swapped = false;
};

DWORD WINAPI RivalWrites(void* argument) {
  Rival* rival = static_cast<Rival*>(argument);
  // The temporary file appears after the first comparison has failed.
  const DWORD deadline = GetTickCount() + 20000;
  while (GetFileAttributesW(rival->temporary.c_str()) == INVALID_FILE_ATTRIBUTES) {
    if (GetTickCount() > deadline) return 1;
  }
  DWORD written = 0;
  SetFilePointer(rival->writer, 0, nullptr, FILE_BEGIN);
  WriteFile(rival->writer, rival->content->data(), static_cast<DWORD>(rival->content->size()),
            &written, nullptr);
  SetEndOfFile(rival->writer);
  FlushFileBuffers(rival->writer);
  // Keep holding the file, now for reading only, before letting go of the
  // writer: there is no moment at which the target could be replaced.
  HANDLE reader =
      CreateFileW(rival->target.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                  OPEN_EXISTING, 0, nullptr);
  CloseHandle(rival->writer);
  rival->writer = reader;
  rival->swapped = reader != INVALID_HANDLE_VALUE;
  return 0;
}

TEST_F(EnsureFileTest, ReplaceRefusedButTargetAlreadyRight) {
  // Large enough that the rival is done long before this copy is written.
  const Bytes content = MakeContent(24 * 1024 * 1024 + 3, 11);
  const std::wstring temporary = TemporaryFor(target_, GetCurrentProcessId());
  CreateDirectoryW(folder_.c_str(), nullptr);
  int target_used = 0;
  for (int attempt = 0; attempt < 5 && target_used == 0; ++attempt) {
    SCOPED_TRACE(attempt);
    ASSERT_TRUE(WriteAll(target_, MakeContent(content.size(), 12)));
    Rival rival;
    rival.target = target_;
    rival.temporary = temporary;
    rival.content = &content;
    // Write access without write sharing on our side keeps the comparison
    // out, and no delete sharing keeps the replace out.
    rival.writer = CreateFileW(target_.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(rival.writer, INVALID_HANDLE_VALUE);
    HANDLE thread = CreateThread(nullptr, 0, RivalWrites, &rival, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    std::wstring error = L"untouched";
    const std::wstring path = Ensure(content, &error);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    CloseHandle(rival.writer);

    EXPECT_TRUE(rival.swapped);
    EXPECT_EQ(error, L"untouched");
    EXPECT_EQ(ReadAll(target_), content);
    if (path == target_) {
      ++target_used;
      EXPECT_FALSE(Exists(temporary)) << "the copy is deleted when the target is used";
    } else {
      // The rival was too slow: the replace and the second look both met
      // the writer. Then this process plays from its own copy.
      EXPECT_EQ(path, temporary);
      EXPECT_EQ(ReadAll(temporary), content);
      DeleteFileW(temporary.c_str());
    }
  }
  EXPECT_EQ(target_used, 1) << "the target, made right meanwhile, was never used";
}

TEST_F(EnsureFileTest, TemporaryFileCannotBeMade) {
  // "Tavrensil" is a file here, so nothing can be made inside it.
  ASSERT_TRUE(WriteAll(folder_, Bytes{1, 2, 3}));
  const std::wstring temporary = TemporaryFor(target_, GetCurrentProcessId());
  HANDLE probe = CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_EQ(probe, INVALID_HANDLE_VALUE);
  const DWORD code = GetLastError();
  ASSERT_NE(code, 0u);

  std::wstring error;
  EXPECT_EQ(Ensure(content_, &error), L"");
  EXPECT_EQ(error, L"Flash yazilamadi: " + temporary + L" (hata " + std::to_wstring(code) + L")");
  EXPECT_EQ(Ensure(content_, nullptr), L"") << "a null error pointer is fine";
  EXPECT_EQ(ReadAll(folder_), (Bytes{1, 2, 3}));
}

TEST_F(EnsureFileTest, EmptyBytesAreAMissingResource) {
  std::wstring error;
  EXPECT_EQ(flash_embed::EnsureFile(kName, content_.data(), 0, &error), L"");
  EXPECT_EQ(error, L"gomulu Flash kaynagi okunamadi");
  error.clear();
  EXPECT_EQ(flash_embed::EnsureFile(kName, nullptr, 10, &error), L"");
  EXPECT_EQ(error, L"gomulu Flash kaynagi okunamadi");
  EXPECT_EQ(flash_embed::EnsureFile(kName, nullptr, 0, nullptr), L"");
  EXPECT_FALSE(Exists(folder_)) << "nothing is made without bytes";
}

TEST_F(EnsureFileTest, WithoutTheResource) {
  // This test program carries no control resource: the file beside the
  // executable is all there is.
  std::wstring error;
  EXPECT_EQ(flash_embed::ChooseOcx(kName, base_, &error), base_ + L"\\" + kName);
  EXPECT_EQ(error, L"gomulu Flash kaynagi okunamadi");
  EXPECT_FALSE(Exists(folder_));
}

// Where the copy cannot be written, the file beside the executable is
// loaded only when it holds the embedded bytes: anything else may have
// been put there by anyone.
TEST_F(EnsureFileTest, TheFileBesideIsTakenOnlyWhenItIsTheEmbeddedOne) {
  ASSERT_TRUE(WriteAll(folder_, Bytes{1, 2, 3}));  // nothing can be made inside it
  const std::wstring beside = base_ + L"\\program";
  ASSERT_TRUE(CreateDirectoryW(beside.c_str(), nullptr));
  const std::wstring planted = beside + L"\\" + kName;
  const struct {
    const Bytes* there;  // null: no file
    const wchar_t* chosen;
  } cases[] = {{&content_, planted.c_str()}, {&other_, L""}, {nullptr, L""}};
  for (const auto& c : cases) {
    DeleteFileW(planted.c_str());
    if (c.there) {
      ASSERT_TRUE(WriteAll(planted, *c.there));
    }
    std::wstring error;
    EXPECT_EQ(flash_embed::ChooseControlFile(kName, content_.data(),
                                             static_cast<DWORD>(content_.size()), beside, &error),
              c.chosen);
    EXPECT_EQ(error.find(L"Flash yazilamadi: "), 0u);
    EXPECT_EQ(error.find(L"yuklenmedi") != std::wstring::npos, *c.chosen == L'\0');
  }
}

// ---------------------------------------------------------------------------
// Several clients at once, each its own process.

std::wstring WindowsPathFromEnv(const char* variable) {
  const char* value = std::getenv(variable);
  if (!value || !*value) return std::wstring();
  std::wstring path(value, value + std::char_traits<char>::length(value));
  if (path.size() > 1 && path[1] == L':') return path;  // already a Windows path
  std::replace(path.begin(), path.end(), L'/', L'\\');
  return L"Z:" + path;
}

std::wstring ToolPath() {
  std::wstring path = WindowsPathFromEnv("TAVRENSIL_EMBED_TOOL");
  if (!path.empty()) return path;
  wchar_t self[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  path = self;
  return path.substr(0, path.find_last_of(L"\\/") + 1) + L"embed_tool.exe";
}

// Opens the target over and over while the writers run; every time it exists
// it must be the whole file.
struct Watch {
  std::wstring target;
  const Bytes* content = nullptr;
  const Bytes* old = nullptr;  // what was there before, whole, also fine
  volatile LONG stop = 0;
  LONG seen = 0;
  LONG partial = 0;
};

DWORD WINAPI WatchTarget(void* argument) {
  Watch* watch = static_cast<Watch*>(argument);
  while (!InterlockedCompareExchange(&watch->stop, 0, 0)) {
    bool ok = false;
    const Bytes bytes = ReadAll(watch->target, &ok);
    if (ok) {
      ++watch->seen;
      if (bytes != *watch->content && !(watch->old && bytes == *watch->old)) ++watch->partial;
    }
    Sleep(1);
  }
  return 0;
}

TEST_F(EnsureFileTest, FourProcessesAtOnce) {
  const std::wstring tool = ToolPath();
  ASSERT_TRUE(Exists(tool)) << "embed_tool not found at " << ::testing::PrintToString(tool);

  const Bytes content = MakeContent(6 * 1024 * 1024 + 5, 7);
  const std::wstring content_file = base_ + L"\\content.bin";
  ASSERT_TRUE(WriteAll(content_file, content));

  // The watcher's reads hold the target open, which (like a running client
  // that has it loaded) may refuse every replace; so the rounds that check
  // that the target ends up written do without it.
  struct Round {
    const char* name;
    bool old_target;  // a different file is there before
    bool watch;       // look at the target while they run
  };
  const Bytes old = MakeContent(content.size(), 8);
  const Round rounds[] = {
      {"no file yet, watched", false, true},  {"an identical file", false, false},
      {"an older file", true, false},         {"an identical file, watched", false, true},
      {"an older file, watched", true, true},
  };
  for (const Round& round : rounds) {
    SCOPED_TRACE(round.name);
    CreateDirectoryW(folder_.c_str(), nullptr);
    if (round.old_target) {
      ASSERT_TRUE(WriteAll(target_, old));
    }

    const std::wstring event_name = L"Local\\tavrensil_embed_test_" +
                                    std::to_wstring(GetCurrentProcessId()) + L"_" +
                                    std::to_wstring(GetTickCount());
    HANDLE start = CreateEventW(nullptr, TRUE, FALSE, event_name.c_str());
    ASSERT_NE(start, nullptr);

    constexpr int kCount = 4;
    HANDLE processes[kCount] = {};
    DWORD ids[kCount] = {};
    std::wstring results[kCount];
    int started = 0;
    for (int i = 0; i < kCount; ++i) {
      results[i] = base_ + L"\\result" + std::to_wstring(i) + L".txt";
      DeleteFileW(results[i].c_str());
      std::wstring command = L"\"" + tool + L"\" " + kName + L" \"" + content_file + L"\" \"" +
                             results[i] + L"\" " + event_name;
      STARTUPINFOW startup = {};
      startup.cb = sizeof(startup);
      PROCESS_INFORMATION info = {};
      if (!CreateProcessW(tool.c_str(), &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                          &startup, &info)) {
        ADD_FAILURE() << "CreateProcessW failed: " << GetLastError();
        break;
      }
      CloseHandle(info.hThread);
      processes[i] = info.hProcess;
      ids[i] = info.dwProcessId;
      ++started;
    }

    Watch watch;
    watch.target = target_;
    watch.content = &content;
    watch.old = &old;
    HANDLE watcher =
        round.watch ? CreateThread(nullptr, 0, WatchTarget, &watch, 0, nullptr) : nullptr;
    EXPECT_EQ(watcher != nullptr, round.watch);

    SetEvent(start);
    if (started > 0) {
      EXPECT_EQ(WaitForMultipleObjects(started, processes, TRUE, 120000), WAIT_OBJECT_0);
    }
    InterlockedExchange(&watch.stop, 1);
    if (watcher) {
      WaitForSingleObject(watcher, INFINITE);
      CloseHandle(watcher);
    }
    CloseHandle(start);
    EXPECT_EQ(watch.partial, 0) << "the target was seen incomplete or old " << watch.partial
                                << " times of " << watch.seen;

    std::set<std::wstring> allowed = {kName};
    std::wstring returned;  // for the messages
    bool target_returned = false;
    for (int i = 0; i < started; ++i) {
      SCOPED_TRACE(i);
      DWORD code = 99;
      GetExitCodeProcess(processes[i], &code);
      CloseHandle(processes[i]);
      bool ok = false;
      const Bytes raw = ReadAll(results[i], &ok);
      EXPECT_TRUE(ok) << "no result from the tool";
      const std::wstring path(reinterpret_cast<const wchar_t*>(raw.data()),
                              raw.size() / sizeof(wchar_t));
      EXPECT_EQ(code, 0u) << ::testing::PrintToString(path);
      const std::wstring own_copy = TemporaryFor(target_, ids[i]);
      EXPECT_TRUE(path == target_ || path == own_copy) << ::testing::PrintToString(path);
      if (path == own_copy) allowed.insert(own_copy.substr(folder_.size() + 1));
      EXPECT_EQ(ReadAll(path), content) << ::testing::PrintToString(path);
      returned += L"\n" + path;
      target_returned = target_returned || path == target_;
    }
    if (target_returned || !round.watch) {
      EXPECT_EQ(ReadAll(target_), content) << ::testing::PrintToString(returned);
    } else {
      // Every replace was refused and each process plays from its own copy;
      // the target is still the whole file that was there before.
      EXPECT_EQ(ReadAll(target_), round.old_target ? old : content);
    }
    // Only the target and the copies that were handed out: no orphans.
    EXPECT_EQ(FilesIn(folder_), allowed);
    for (const std::wstring& name : allowed) {
      if (name != kName) DeleteFileW((folder_ + L"\\" + name).c_str());
    }
  }
}

}  // namespace

TEST(CopyProcessIdTest, OnlyTheNamesOfCopies) {
  const struct {
    const wchar_t* file_name;
    bool copy;
    DWORD process_id;
  } cases[] = {
      {L"Flash32_32_0_0_363.ocx.1234.tmp", true, 1234},
      {L"flash32_32_0_0_363.OCX.7.TMP", true, 7},
      {L"Flash32_32_0_0_363.ocx.4294967295.tmp", true, 4294967295u},
      {L"Flash32_32_0_0_363.ocx.4294967296.tmp", false, 0},  // past 32 bits
      {L"Flash32_32_0_0_363.ocx.00000000001.tmp", false, 0},  // eleven digits
      {L"Flash32_32_0_0_363.ocx..tmp", false, 0},
      {L"Flash32_32_0_0_363.ocx.12a.tmp", false, 0},
      {L"Flash32_32_0_0_363.ocx.-1.tmp", false, 0},
      {L"Flash32_32_0_0_363.ocx.12.tmp.old", false, 0},
      {L"Flash32_32_0_0_363.ocx", false, 0},
      {L"Other.ocx.12.tmp", false, 0},
  };
  for (const auto& c : cases) {
    DWORD process_id = 0;
    EXPECT_EQ(flash_embed::CopyProcessId(kName, c.file_name, &process_id), c.copy) << c.file_name;
    if (c.copy) {
      EXPECT_EQ(process_id, c.process_id) << c.file_name;
    }
  }
}

TEST_F(EnsureFileTest, StaleCopiesOfEndedProcessesGo) {
  CreateDirectoryW(folder_.c_str(), nullptr);
  // No process has an id that is not a multiple of four.
  const std::wstring ended = TemporaryFor(target_, 4001);
  const std::wstring running = TemporaryFor(target_, GetCurrentProcessId());
  const std::wstring other = folder_ + L"\\notes.1.tmp";
  for (const auto& path : {ended, running, other, target_}) ASSERT_TRUE(WriteAll(path, content_));
  flash_embed::RemoveStaleCopies(kName);
  EXPECT_FALSE(Exists(ended));
  EXPECT_TRUE(Exists(running));
  EXPECT_TRUE(Exists(other));
  EXPECT_TRUE(Exists(target_));
}
