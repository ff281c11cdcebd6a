// The pure decisions of a self-installing update: which installer an update
// answer offers, and how often one build's update has been tried. Standard
// library only: it builds and is tested on any host.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/site_address.h"

// The announced installer sizes the client takes: a real installer is never
// smaller, and anything larger is not one of ours.
constexpr uint64_t kMinInstallerBytes = 64 * 1024;
constexpr uint64_t kMaxInstallerBytes = 512ull * 1024 * 1024;

// The installer an update answer offers.
struct InstallerOffer {
  SiteAddress url;     // https, on the site's host or a host the build names
  std::string sha256;  // 64 lower-case hex digits
  uint64_t size = 0;   // bytes, kMinInstallerBytes to kMaxInstallerBytes
  int64_t build = 0;   // "latest_build", newer than ours
};

// Reads the installer fields of an update answer `body`: "installer_url"
// (printable ASCII, https, host `site_host` or one of `hosts`, any port),
// "installer_sha256" (64 hex digits, either case), "installer_size" (a whole
// number in range) and "latest_build" (a whole number above `our_build`).
// False with a short English `reason` for the log when any is missing or
// out of bounds: the answer then offers no installer.
bool ReadInstallerOffer(const std::string& body, const std::wstring& site_host,
                        const std::vector<std::wstring>& hosts, int64_t our_build,
                        InstallerOffer* offer, std::string* reason);

// How often the update to one build has been started, as kept between runs
// in one line "build=B attempts=N".
struct UpdateAttempts {
  int64_t build = 0;
  int count = 0;
};

// After this many starts of one build's installer the client stops trying
// and shows the download page.
constexpr int kMaxUpdateAttempts = 2;

// The record in `text`; an empty record (build 0) for anything else.
UpdateAttempts ReadUpdateAttempts(const std::string& text);
std::string WriteUpdateAttempts(const UpdateAttempts& attempts);

// Whether the installer of `build` may be started once more.
bool MayTryUpdate(const UpdateAttempts& attempts, int64_t build);

// The record after one more start of `build`'s installer: counted on for
// the same build, from one for another.
UpdateAttempts CountUpdateAttempt(const UpdateAttempts& attempts, int64_t build);
