// The installer an update answer may offer, read as the client can take it:
// every field present and sound, or no offer at all (the client then shows
// the download page, as for an answer without one); and the record that
// keeps an update that fails from being tried again and again.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/site_address.h"

// The sizes an offered installer may have, in bytes.
constexpr int64_t kMinInstallerBytes = 64 * 1024;
constexpr int64_t kMaxInstallerBytes = 512LL * 1024 * 1024;

struct InstallerOffer {
  SiteAddress at;      // https, on the site's host or one the build names
  std::string sha256;  // 64 lower-case hex digits
  int64_t size = 0;    // kMinInstallerBytes to kMaxInstallerBytes
  int64_t build = 0;   // the build it installs, newer than the client's
};

// The offer in the update answer `body`: "installer_url" (an absolute https
// address, ASCII only, on `site`'s host or one of `other_hosts`),
// "installer_sha256" (64 hex digits, either case), "installer_size" (a whole
// number of bytes in range) and "latest_build" (a whole number above
// `own_build`). True and `offer` filled only when all four are so; false,
// and `offer` untouched, for anything less.
bool ReadInstallerOffer(const std::string& body, const SiteAddress& site, int64_t own_build,
                        const std::vector<std::wstring>& other_hosts, InstallerOffer* offer);

// The attempts to install one build: each counts as failed once the client
// starts again still at its old build. Kept between runs as one line.
struct UpdateAttempts {
  int64_t build = 0;  // the build last tried; 0 for none
  int count = 0;      // how often it was tried
};

// How often one build is tried before the download page takes over.
constexpr int kMaxInstallAttempts = 2;

// One line, "build=B attempts=N".
std::string FormatUpdateAttempts(const UpdateAttempts& attempts);

// Reads FormatUpdateAttempts' line (a trailing CR/LF allowed). False, and
// `attempts` untouched, for anything else: other keys or order, a build
// outside 1 to 10^9, a count outside 0 to 1000.
bool ParseUpdateAttempts(const std::string& text, UpdateAttempts* attempts);

// Whether installing `build` may be tried (again): not once it was tried
// kMaxInstallAttempts times.
bool MayTryInstall(const UpdateAttempts& attempts, int64_t build);

// The record once an attempt at `build` begins.
UpdateAttempts AfterAttempt(const UpdateAttempts& attempts, int64_t build);
