#include "app/update.h"

#include <cstdio>
#include <cwchar>
#include <vector>

#include "app/bitmap_file.h"
#include "app/log.h"
#include "app/session.h"
#include "core/sha256.h"
#include "platform/process_state.h"
#include "platform/signed_file.h"

namespace {

const wchar_t kProductName[] = L"Tavrensil Online";
const wchar_t kUninstallKey[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\TavrensilOnline";
const wchar_t kRecordName[] = L"attempts.txt";
// However slow the link, a download ends this long after it started; the
// player may cancel it at any moment before.
const uint32_t kDownloadDeadlineMs = 30 * 60 * 1000;
const DWORD kHashChunk = 64 * 1024;
const DWORD kBusyFolderRetryMs = 250;
const int kBusyFolderRetries = 12;  // three seconds
// ERROR_VIRUS_INFECTED and ERROR_VIRUS_DELETED, which mingw lacks.
const DWORD kVirusInfected = 225;
const DWORD kVirusDeleted = 226;

UpdateFailure FileFailure(DWORD error) {
  if (error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL) return UpdateFailure::kDiskSpace;
  return UpdateFailure::kBlocked;
}

std::wstring Lower(std::wstring text) {
  for (wchar_t& c : text) c = static_cast<wchar_t>(towlower(c));
  return text;
}

// A folder path for comparing: full, no trailing separator, lower case.
std::wstring ComparableFolder(const std::wstring& folder) {
  wchar_t full[MAX_PATH * 4] = {};
  const DWORD n = GetFullPathNameW(folder.c_str(), MAX_PATH * 4, full, nullptr);
  std::wstring text = (n > 0 && n < MAX_PATH * 4) ? std::wstring(full, n) : folder;
  while (!text.empty() && (text.back() == L'\\' || text.back() == L'/')) text.pop_back();
  return Lower(text);
}

// Deletes every file in `folder` and the folder; false when something stays.
// A link put in the folder's place is removed itself, never followed.
bool DeleteFolder(const std::wstring& folder) {
  const DWORD attributes = GetFileAttributesW(folder.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    return RemoveDirectoryW(folder.c_str()) != FALSE;
  }
  WIN32_FIND_DATAW found;
  const HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        DeleteFileW((folder + L"\\" + found.cFileName).c_str());
      }
    } while (FindNextFileW(search, &found));
    FindClose(search);
  }
  return RemoveDirectoryW(folder.c_str()) || GetLastError() == ERROR_FILE_NOT_FOUND ||
         GetLastError() == ERROR_PATH_NOT_FOUND;
}

// The attempt folders in `root` whose process has ended; they are named
// "<process id>-<tick>-<n>".
std::vector<std::wstring> AttemptFolders(const std::wstring& root) {
  std::vector<std::wstring> folders;
  WIN32_FIND_DATAW found;
  const HANDLE search = FindFirstFileW((root + L"\\*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return folders;
  do {
    const std::wstring name = found.cFileName;
    const DWORD owner = wcstoul(name.c_str(), nullptr, 10);
    if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && name != L"." && name != L".." &&
        !(owner != 0 && ProcessRuns(owner))) {
      folders.push_back(root + L"\\" + name);
    }
  } while (FindNextFileW(search, &found));
  FindClose(search);
  return folders;
}

// A folder of its own in `root`, made now; empty when none could be made.
std::wstring FreshFolder(const std::wstring& root) {
  for (int tries = 0; tries < 16; ++tries) {
    wchar_t name[48];
    _snwprintf(name, 47, L"%lu-%lu-%d", GetCurrentProcessId(), GetTickCount(), tries);
    name[47] = L'\0';
    const std::wstring folder = root + L"\\" + name;
    if (CreateDirectoryW(folder.c_str(), nullptr)) return folder;
    if (GetLastError() != ERROR_ALREADY_EXISTS) break;
  }
  return std::wstring();
}

std::wstring FormatCode(DWORD code) {
  wchar_t text[16];
  _snwprintf(text, 15, L"0x%08lX", static_cast<unsigned long>(code));
  text[15] = L'\0';
  return text;
}

}  // namespace

const wchar_t* UpdateFailureText(UpdateFailure failure) {
  switch (failure) {
    case UpdateFailure::kNetwork:
      return L"İndirilemedi: ağ ya da vekil sunucu hatası.";
    case UpdateFailure::kBlocked:
      return L"İndirilen dosya engellendi (virüs koruması olabilir).";
    case UpdateFailure::kVerification:
      return L"Güncelleme doğrulanamadı.";
    case UpdateFailure::kDiskSpace:
      return L"Diskte yeterli boş alan yok.";
    case UpdateFailure::kInstaller:
      return L"Kurulum başarısız oldu.";
    case UpdateFailure::kCancelled:
      return L"İndirme iptal edildi.";
    case UpdateFailure::kNone:
      break;
  }
  return L"";
}

UpdateFailure DownloadFailure(const HttpResponse& response) {
  if (response.status != 0) return UpdateFailure::kNetwork;  // a status other than 200
  if (response.error == kErrorCancelled) return UpdateFailure::kCancelled;
  if (response.error == kErrorAnswerTooLarge) return UpdateFailure::kVerification;
  if (response.error == ERROR_DISK_FULL || response.error == ERROR_HANDLE_DISK_FULL) {
    return UpdateFailure::kDiskSpace;
  }
  if (response.error == kVirusInfected || response.error == kVirusDeleted ||
      response.error == ERROR_ACCESS_DENIED) {
    return UpdateFailure::kBlocked;
  }
  return UpdateFailure::kNetwork;
}

std::wstring UpdatesFolder(bool create) {
  wchar_t base[MAX_PATH * 2] = {};
  const DWORD length = GetEnvironmentVariableW(L"LOCALAPPDATA", base, MAX_PATH * 2);
  if (length < 1 || length >= MAX_PATH * 2) return std::wstring();
  std::wstring folder(base, length);
  while (!folder.empty() && (folder.back() == L'\\' || folder.back() == L'/')) folder.pop_back();
  folder += L"\\Tavrensil";
  if (create) CreateDirectoryW(folder.c_str(), nullptr);
  folder += L"\\Updates";
  if (create && !CreateDirectoryW(folder.c_str(), nullptr) &&
      GetLastError() != ERROR_ALREADY_EXISTS) {
    return std::wstring();
  }
  return folder;
}

void RemoveOldAttempts(const std::wstring& root) {
  if (root.empty()) return;
  std::vector<std::wstring> left = AttemptFolders(root);
  for (int round = 0; !left.empty(); ++round) {
    std::vector<std::wstring> busy;
    for (const std::wstring& folder : left) {
      if (!DeleteFolder(folder)) busy.push_back(folder);
    }
    if (busy.empty() || round == kBusyFolderRetries) break;
    left.swap(busy);
    Sleep(kBusyFolderRetryMs);
  }
}

bool IsInstalledCopy() {
  wchar_t location[MAX_PATH * 2] = {};
  DWORD size = sizeof(location) - sizeof(wchar_t);
  if (RegGetValueW(HKEY_CURRENT_USER, kUninstallKey, L"InstallLocation", RRF_RT_REG_SZ, nullptr,
                   location, &size) != ERROR_SUCCESS) {
    return false;
  }
  return ComparableFolder(location) == ComparableFolder(ModuleDir());
}

UpdateAttempts LoadUpdateAttempts(const std::wstring& root) {
  const ScopedHandle file(CreateFileW((root + L"\\" + kRecordName).c_str(), GENERIC_READ,
                                      FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  char text[64] = {};
  DWORD read = 0;
  if (!file.valid() || !ReadFile(file.get(), text, sizeof(text) - 1, &read, nullptr)) return {};
  return ReadUpdateAttempts(std::string(text, read));
}

bool SaveUpdateAttempts(const std::wstring& root, const UpdateAttempts& attempts) {
  const ScopedHandle file(CreateFileW((root + L"\\" + kRecordName).c_str(), GENERIC_WRITE, 0,
                                      nullptr, CREATE_ALWAYS, 0, nullptr));
  const std::string text = WriteUpdateAttempts(attempts);
  DWORD written = 0;
  return file.valid() &&
         WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
         written == text.size() && FlushFileBuffers(file.get());
}

// ---------------------------------------------------------------------------
// The updater.

Updater::Updater(HttpClient& http, const InstallerOffer& offer, const std::wstring& root)
    : http_(http),
      offer_(offer),
      root_(root),
      cancel_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

Updater::~Updater() {
  Cancel();
  if (thread_.valid()) WaitForSingleObject(thread_.get(), INFINITE);
  partial_.reset();  // a worker that never started left it open
  verified_.reset();
  if (!launched_) RemoveFolder();
}

bool Updater::Start(HWND window, UINT done_message) {
  window_ = window;
  done_message_ = done_message;
  folder_ = FreshFolder(root_);
  if (folder_.empty()) {
    Fail(FileFailure(GetLastError()), L"klasor", GetLastError());
    return false;
  }
  ULARGE_INTEGER free_bytes = {};
  if (GetDiskFreeSpaceExW(folder_.c_str(), &free_bytes, nullptr, nullptr) &&
      free_bytes.QuadPart < offer_.size * 2) {  // the download and the installed copy
    Fail(UpdateFailure::kDiskSpace, L"bos alan", ERROR_DISK_FULL);
    return false;
  }
  installer_ = folder_ + L"\\setup-" + std::to_wstring(offer_.build) + L".exe";
  // Ours alone while it is written: nobody else may open it.
  partial_.reset(CreateFileW((installer_ + L".partial").c_str(), GENERIC_WRITE, 0, nullptr,
                             CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!partial_.valid()) {
    Fail(FileFailure(GetLastError()), L"dosya", GetLastError());
    return false;
  }
  sink_ = std::make_shared<BodySink>(partial_.get(), offer_.size, kDownloadDeadlineMs);
  thread_.reset(CreateThread(nullptr, 0, Run, this, 0, nullptr));
  if (!thread_.valid()) {
    Fail(UpdateFailure::kBlocked, L"is parcacigi", GetLastError());
    return false;
  }
  return true;
}

void Updater::Cancel() {
  if (cancel_.valid()) SetEvent(cancel_.get());
}

Updater::Phase Updater::phase() const {
  return static_cast<Phase>(InterlockedCompareExchange(const_cast<volatile LONG*>(&phase_), 0, 0));
}

UpdateFailure Updater::failure() const {
  return static_cast<UpdateFailure>(
      InterlockedCompareExchange(const_cast<volatile LONG*>(&failure_), 0, 0));
}

uint64_t Updater::received() const { return sink_ ? sink_->Received() : 0; }

DWORD WINAPI Updater::Run(LPVOID self) {
  static_cast<Updater*>(self)->Work();
  return 0;
}

void Updater::Work() {
  if (Download() && Verify()) {
    InterlockedExchange(&phase_, static_cast<LONG>(Phase::kReady));
    Log(L"guncelleme: kurulum dosyasi dogrulandi (build %lld)",
        static_cast<long long>(offer_.build));
  }
  PostMessageW(window_, done_message_, 0, 0);
}

void Updater::Fail(UpdateFailure failure, const wchar_t* what, DWORD code) {
  Log(L"guncelleme: %ls basarisiz (%ls)", what, FormatCode(code).c_str());
  InterlockedExchange(&failure_, static_cast<LONG>(failure));
  InterlockedExchange(&phase_, static_cast<LONG>(Phase::kFailed));
}

void Updater::Refuse(UpdateFailure failure, const wchar_t* what) {
  Fail(failure, what, ERROR_CANCELLED);
}

void Updater::RemoveFolder() {
  if (!folder_.empty()) DeleteFolder(folder_);
}

bool Updater::Download() {
  const HttpResponse response = http_.Download(offer_.url, sink_, cancel_.get());
  // From here on the attempt's thread writes nothing, however late it ends.
  sink_->Close();
  const uint64_t received = sink_->Received();
  partial_.reset();
  const std::wstring partial = installer_ + L".partial";
  if (response.status != 200 || response.error != 0) {
    DeleteFileW(partial.c_str());
    const UpdateFailure failure = DownloadFailure(response);
    Log(L"guncelleme: indirme: durum %d, %hs %lu, %llu bayt", response.status,
        StageName(response.stage), static_cast<unsigned long>(response.error),
        static_cast<unsigned long long>(received));
    Fail(failure, L"indirme",
         response.status != 0 ? static_cast<DWORD>(response.status) : response.error);
    return false;
  }
  if (!MoveFileExW(partial.c_str(), installer_.c_str(), 0)) {
    const DWORD error = GetLastError();
    DeleteFileW(partial.c_str());
    Fail(FileFailure(error), L"dosya adi", error);
    return false;
  }
  return true;
}

bool Updater::Verify() {
  InterlockedExchange(&phase_, static_cast<LONG>(Phase::kVerifying));
  // Read-shared only: from now until the installer runs, nobody can change
  // the bytes that are checked.
  verified_.reset(CreateFileW(installer_.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!verified_.valid()) {
    Fail(FileFailure(GetLastError()), L"dosya acma", GetLastError());
    return false;
  }
  LARGE_INTEGER size = {};
  if (!GetFileSizeEx(verified_.get(), &size) ||
      static_cast<uint64_t>(size.QuadPart) != offer_.size) {
    Fail(UpdateFailure::kVerification, L"dogrulama: boyut", ERROR_INVALID_DATA);
    return false;
  }
  Sha256 hash;
  std::vector<char> chunk(kHashChunk);
  DWORD read = 0;
  while (ReadFile(verified_.get(), chunk.data(), kHashChunk, &read, nullptr) && read > 0) {
    if (WaitForSingleObject(cancel_.get(), 0) == WAIT_OBJECT_0) {
      Fail(UpdateFailure::kCancelled, L"dogrulama", ERROR_CANCELLED);
      return false;
    }
    hash.Update(chunk.data(), read);
  }
  uint8_t digest[32];
  hash.Final(digest);
  if (ToHex(digest, sizeof(digest)) != offer_.sha256) {
    Fail(UpdateFailure::kVerification, L"dogrulama: SHA-256", ERROR_INVALID_DATA);
    return false;
  }
  std::string key;
  const LONG trust = VerifyFileSignature(verified_.get(), installer_, &key);
  if (trust != ERROR_SUCCESS) {
    Fail(UpdateFailure::kVerification, L"dogrulama: imza", static_cast<DWORD>(trust));
    return false;
  }
  bool pinned = false;
  for (const std::string& trusted : TrustedSignerKeys()) pinned = pinned || key == trusted;
  if (!pinned) {
    Log(L"guncelleme: imzalayan anahtar %hs", key.c_str());
    Fail(UpdateFailure::kVerification, L"dogrulama: imzalayan", CERT_E_UNTRUSTEDROOT);
    return false;
  }
  std::wstring product;
  int64_t build = 0;
  if (!ReadFileVersion(installer_, &product, &build) || product != kProductName ||
      build != offer_.build || build <= kBuild) {
    Log(L"guncelleme: surum bilgisi build %lld", static_cast<long long>(build));
    Fail(UpdateFailure::kVerification, L"dogrulama: surum", ERROR_INVALID_DATA);
    return false;
  }
  return true;
}

bool Updater::Launch() {
  // Unrecorded, a failing installer could be started on every run.
  if (!SaveUpdateAttempts(root_, CountUpdateAttempt(LoadUpdateAttempts(root_), offer_.build))) {
    Fail(FileFailure(GetLastError()), L"deneme kaydi", GetLastError());
    return false;
  }
  std::wstring folder = ModuleDir();
  while (!folder.empty() && folder.back() == L'\\') folder.pop_back();
  // /D must come last and unquoted, as the installer reads it.
  std::wstring command = L"\"" + installer_ + L"\" /S /UPDATE=" +
                         std::to_wstring(GetCurrentProcessId()) + L" /D=" + folder;
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(installer_.c_str(), &command[0], nullptr, nullptr, FALSE, 0, nullptr,
                      folder_.c_str(), &startup, &process)) {
    Fail(UpdateFailure::kInstaller, L"kurulum baslatma", GetLastError());
    return false;
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  launched_ = true;
  verified_.reset();
  Log(L"guncelleme: kurulum baslatildi (build %lld)", static_cast<long long>(offer_.build));
  return true;
}
