// A self-installing update: the installer an update answer offers is
// downloaded through the session's HTTP client into a folder of its own,
// checked from one open handle (size, SHA-256, signature, the pinned
// signer, the version resource) and started silently to replace this copy.
// Anything short of that leaves the player the download page.
#pragma once

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "core/update_plan.h"
#include "platform/http.h"
#include "platform/scoped_win.h"

// Why an update did not install, as the player reads it.
enum class UpdateFailure {
  kNone,
  kNetwork,
  kBlocked,
  kVerification,
  kDiskSpace,
  kInstaller,
  kCancelled
};

// The one line the update window shows for `failure`.
const wchar_t* UpdateFailureText(UpdateFailure failure);

// What a failed download (no status 200, or a failure to receive) means:
// a full disk, a file the system took away (an antivirus), a cancel, a body
// that is not the announced one, or else the network or its proxy.
UpdateFailure DownloadFailure(const HttpResponse& response);

// The signer keys (SHA-256 of the public key info, hex) this build trusts
// and the hosts besides the site's that may serve installers; a build
// without keys never installs updates itself.
const std::vector<std::string>& TrustedSignerKeys();
const std::vector<std::wstring>& InstallerHosts();

// "<local app data>\Tavrensil\Updates", created when `create`; empty when
// the system names no local application data folder (never the temporary
// folder) or it cannot be created.
std::wstring UpdatesFolder(bool create);

// Deletes the attempt folders earlier runs left in `root` (the record
// stays); a running client's own stays. A folder still in use (an
// installer that is just ending) is tried again for up to three seconds.
void RemoveOldAttempts(const std::wstring& root);

// Whether this copy is the one our installer installed: the install folder
// of its uninstall entry is the executable's folder. A portable copy is not.
bool IsInstalledCopy();

// The attempt record kept in `root`, and writing it back.
UpdateAttempts LoadUpdateAttempts(const std::wstring& root);
bool SaveUpdateAttempts(const std::wstring& root, const UpdateAttempts& attempts);

// One update, from download to the installer's start. Its worker thread
// posts `done_message` to `window` when the installer is ready or failed.
class Updater {
 public:
  enum class Phase { kDownloading, kVerifying, kReady, kFailed };

  Updater(HttpClient& http, const InstallerOffer& offer, const std::wstring& root);
  // Cancels the worker and waits for it; deletes the attempt's folder unless
  // its installer was started.
  ~Updater();
  Updater(const Updater&) = delete;
  Updater& operator=(const Updater&) = delete;

  // Starts the worker; false (failure kBlocked) when it could not start.
  bool Start(HWND window, UINT done_message);
  // Asks the worker to stop; a download stops at once.
  void Cancel();

  Phase phase() const;
  UpdateFailure failure() const;
  uint64_t received() const;
  const InstallerOffer& offer() const { return offer_; }

  // Marks the update failed without trying it (the installer of the run
  // before reported `failure`); `what` goes to the log.
  void Refuse(UpdateFailure failure, const wchar_t* what);

  // Once kReady: counts the attempt, starts the installer silently into
  // this copy's folder with this process's id, and lets go of the file once
  // it runs. False (failure kInstaller) when it could not be started, or
  // when the attempt could not be recorded.
  bool Launch();

 private:
  static DWORD WINAPI Run(LPVOID self);
  void Work();
  bool Download();
  bool Verify();
  void Fail(UpdateFailure failure, const wchar_t* what, DWORD code);
  void RemoveFolder();

  HttpClient& http_;
  const InstallerOffer offer_;
  const std::wstring root_;
  std::wstring folder_;     // this attempt's own folder
  std::wstring installer_;  // "<folder>\setup-<build>.exe"
  ScopedHandle cancel_;
  ScopedHandle thread_;
  ScopedHandle partial_;   // the download, written by the attempt's thread
  ScopedHandle verified_;  // the installer, read-shared only, until it runs
  std::shared_ptr<BodySink> sink_;
  HWND window_ = nullptr;
  UINT done_message_ = 0;
  volatile LONG phase_ = 0;
  volatile LONG failure_ = 0;
  bool launched_ = false;
};
