#include "core/update_plan.h"

#include <cmath>
#include <cstdio>

#include "core/json.h"

namespace {

bool IsPrintableAscii(const std::string& text) {
  for (unsigned char c : text) {
    if (c < 0x21 || c > 0x7e) return false;
  }
  return true;
}

bool IsHexDigest(const std::string& text) {
  if (text.size() != 64) return false;
  for (char c : text) {
    const bool digit = c >= '0' && c <= '9';
    const bool letter = (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    if (!digit && !letter) return false;
  }
  return true;
}

std::string Lower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

// A JSON number that is a whole number from `low` to `high`.
bool WholeNumber(const Json& value, double low, double high, double* out) {
  if (value.type != Json::Number) return false;
  const double n = value.number;
  if (!(n >= low && n <= high) || std::floor(n) != n) return false;
  *out = n;
  return true;
}

bool IsAllowedHost(const std::wstring& host, const std::wstring& site_host,
                   const std::vector<std::wstring>& hosts) {
  if (host == site_host) return true;
  for (const std::wstring& allowed : hosts) {
    if (host == allowed) return true;
  }
  return false;
}

}  // namespace

bool ReadInstallerOffer(const std::string& body, const std::wstring& site_host,
                        const std::vector<std::wstring>& hosts, int64_t our_build,
                        InstallerOffer* offer, std::string* reason) {
  const Json answer = Json::Parse(body);
  const Json& url = answer["installer_url"];
  const std::string sha256 = answer["installer_sha256"].str();
  InstallerOffer read;
  double size = 0;
  double build = 0;
  if (url.type != Json::String || !IsPrintableAscii(url.text) || url.text.size() > 2048 ||
      url.text.compare(0, 8, "https://") != 0 ||
      !ReadSiteAddress(std::wstring(url.text.begin(), url.text.end()), &read.url)) {
    *reason = "installer_url is not an https address";
  } else if (!IsAllowedHost(read.url.host, site_host, hosts)) {
    *reason = "installer_url is on another host";
  } else if (!IsHexDigest(sha256)) {
    *reason = "installer_sha256 is not 64 hex digits";
  } else if (!WholeNumber(answer["installer_size"], static_cast<double>(kMinInstallerBytes),
                          static_cast<double>(kMaxInstallerBytes), &size)) {
    *reason = "installer_size is not a whole number from 64 KiB to 512 MiB";
  } else if (!WholeNumber(answer["latest_build"], static_cast<double>(our_build) + 1, 1e15,
                          &build)) {
    *reason = "latest_build is not newer than this build";
  } else {
    read.sha256 = Lower(sha256);
    read.size = static_cast<uint64_t>(size);
    read.build = static_cast<int64_t>(build);
    *offer = read;
    return true;
  }
  return false;
}

UpdateAttempts ReadUpdateAttempts(const std::string& text) {
  long long build = 0;
  int count = 0;
  char end = 0;
  UpdateAttempts attempts;
  // One line, an optional line end, nothing else.
  const int fields = std::sscanf(text.c_str(), "build=%lld attempts=%d%c", &build, &count, &end);
  const bool whole = fields == 2 || (fields == 3 && (end == '\n' || end == '\r'));
  if (whole && build > 0 && count >= 0 && text.size() < 64) {
    attempts.build = build;
    attempts.count = count;
  }
  return attempts;
}

std::string WriteUpdateAttempts(const UpdateAttempts& attempts) {
  return "build=" + std::to_string(attempts.build) + " attempts=" + std::to_string(attempts.count) +
         "\n";
}

bool MayTryUpdate(const UpdateAttempts& attempts, int64_t build) {
  return attempts.build != build || attempts.count < kMaxUpdateAttempts;
}

UpdateAttempts CountUpdateAttempt(const UpdateAttempts& attempts, int64_t build) {
  UpdateAttempts next;
  next.build = build;
  next.count = attempts.build == build ? attempts.count + 1 : 1;
  return next;
}
