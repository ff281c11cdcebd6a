// The installer an update answer may offer, read as the client can take it:
// every field present and sound, or no offer at all (the client then shows
// the download page, as for an answer without one).
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
