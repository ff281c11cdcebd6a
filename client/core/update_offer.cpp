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

// The number after "name=" in `field`, within [low, high]; digits only.
bool ReadField(const std::string& field, const std::string& name, int64_t low, int64_t high,
               int64_t* value) {
  const std::string prefix = name + "=";
  if (field.compare(0, prefix.size(), prefix) != 0) return false;
  const std::string digits = field.substr(prefix.size());
  if (digits.empty() || digits.size() > 10) return false;
  int64_t number = 0;
  for (const char c : digits) {
    if (c < '0' || c > '9') return false;
    number = number * 10 + (c - '0');
  }
  if (number < low || number > high) return false;
  *value = number;
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

std::string FormatUpdateAttempts(const UpdateAttempts& attempts) {
  return "build=" + std::to_string(attempts.build) + " attempts=" + std::to_string(attempts.count);
}

bool ParseUpdateAttempts(const std::string& text, UpdateAttempts* attempts) {
  std::string line = text;
  if (!line.empty() && line.back() == '\n') line.pop_back();
  if (!line.empty() && line.back() == '\r') line.pop_back();
  const size_t blank = line.find(' ');
  if (blank == std::string::npos) return false;
  int64_t build = 0;
  int64_t count = 0;
  if (!ReadField(line.substr(0, blank), "build", 1, 1000000000, &build) ||
      !ReadField(line.substr(blank + 1), "attempts", 0, 1000, &count)) {
    return false;
  }
  attempts->build = build;
  attempts->count = static_cast<int>(count);
  return true;
}

bool MayTryInstall(const UpdateAttempts& attempts, int64_t build) {
  return attempts.build != build || attempts.count < kMaxInstallAttempts;
}

UpdateAttempts AfterAttempt(const UpdateAttempts& attempts, int64_t build) {
  UpdateAttempts next;
  next.build = build;
  next.count = attempts.build == build ? attempts.count + 1 : 1;
  return next;
}
