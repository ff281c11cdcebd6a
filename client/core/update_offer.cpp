#include "core/update_offer.h"

#include "core/json.h"

namespace {

// A whole number as JSON wrote it: 1e6 is one, 1.5 is not.
bool WholeNumber(const Json& value, int64_t* out) {
  if (value.type != Json::Number) return false;
  const int64_t whole = value.num();
  if (whole == INT64_MIN || static_cast<double>(whole) != value.number) return false;
  *out = whole;
  return true;
}

// The digest in lower case; false unless exactly 64 hex digits.
bool ReadDigest(const Json& value, std::string* out) {
  if (value.type != Json::String || value.text.size() != 64) return false;
  std::string digest;
  for (const char c : value.text) {
    const bool digit = c >= '0' && c <= '9';
    const bool lower = c >= 'a' && c <= 'f';
    const bool upper = c >= 'A' && c <= 'F';
    if (!digit && !lower && !upper) return false;
    digest += upper ? static_cast<char>(c - 'A' + 'a') : c;
  }
  *out = digest;
  return true;
}

// An absolute https address on an allowed host. The text must be ASCII: an
// address is, and so it widens byte for byte without the platform.
bool ReadInstallerAddress(const Json& value, const SiteAddress& site,
                          const std::vector<std::wstring>& other_hosts, SiteAddress* out) {
  if (value.type != Json::String || value.text.compare(0, 8, "https://") != 0) return false;
  std::wstring wide;
  for (const char c : value.text) {
    if (static_cast<unsigned char>(c) >= 0x80) return false;
    wide += static_cast<wchar_t>(c);
  }
  SiteAddress at;
  if (!ReadSiteAddress(wide, &at) || !at.secure) return false;
  bool allowed = at.host == site.host;
  for (const std::wstring& host : other_hosts) allowed = allowed || at.host == host;
  if (!allowed) return false;
  *out = at;
  return true;
}

}  // namespace

bool ReadInstallerOffer(const std::string& body, const SiteAddress& site, int64_t own_build,
                        const std::vector<std::wstring>& other_hosts, InstallerOffer* offer) {
  const Json answer = Json::Parse(body);
  InstallerOffer read;
  if (!ReadInstallerAddress(answer["installer_url"], site, other_hosts, &read.at) ||
      !ReadDigest(answer["installer_sha256"], &read.sha256) ||
      !WholeNumber(answer["installer_size"], &read.size) ||
      !WholeNumber(answer["latest_build"], &read.build)) {
    return false;
  }
  if (read.size < kMinInstallerBytes || read.size > kMaxInstallerBytes) return false;
  if (read.build <= own_build) return false;
  *offer = read;
  return true;
}
