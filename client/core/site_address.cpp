#include "core/site_address.h"

#include <vector>

namespace {

const size_t kMaxHostChars = 253;
const size_t kMaxLabelChars = 63;
const int kMaxPort = 65535;

bool IsDigit(wchar_t c) { return c >= L'0' && c <= L'9'; }

bool IsHexDigit(wchar_t c) {
  return IsDigit(c) || (c >= L'a' && c <= L'f') || (c >= L'A' && c <= L'F');
}

wchar_t Lower(wchar_t c) { return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c + 32) : c; }

std::wstring LowerAscii(std::wstring text) {
  for (wchar_t& c : text) c = Lower(c);
  return text;
}

bool StartsWithNoCase(const std::wstring& text, const wchar_t* prefix) {
  size_t i = 0;
  for (; prefix[i]; ++i) {
    if (i >= text.size() || Lower(text[i]) != prefix[i]) return false;
  }
  return true;
}

// No space, control character or backslash: the platforms read those in
// ways of their own. Letters of other alphabets may stand in a path or a
// query (the server's download page may name one), never in a host.
bool HasOnlyAddressCharacters(const std::wstring& text, bool ascii_only) {
  for (const wchar_t c : text) {
    if (c <= 0x20 || (c >= 0x7F && c < 0xA0) || c == L'\\') return false;
    if (ascii_only && c >= 0x7F) return false;
  }
  return true;
}

std::vector<std::wstring> Split(const std::wstring& text, wchar_t separator) {
  std::vector<std::wstring> parts;
  size_t start = 0;
  for (;;) {
    const size_t end = text.find(separator, start);
    parts.push_back(text.substr(start, end == std::wstring::npos ? end : end - start));
    if (end == std::wstring::npos) return parts;
    start = end + 1;
  }
}

// 0-255 in decimal without leading zeros.
bool IsOctet(const std::wstring& text) {
  if (text.empty() || text.size() > 3 || (text.size() > 1 && text[0] == L'0')) return false;
  int value = 0;
  for (const wchar_t c : text) {
    if (!IsDigit(c)) return false;
    value = value * 10 + (c - L'0');
  }
  return value <= 255;
}

bool IsDottedQuad(const std::wstring& host) {
  const std::vector<std::wstring> parts = Split(host, L'.');
  if (parts.size() != 4) return false;
  for (const std::wstring& part : parts) {
    if (!IsOctet(part)) return false;
  }
  return true;
}

bool IsDnsLabel(const std::wstring& label) {
  if (label.empty() || label.size() > kMaxLabelChars) return false;
  // Punycode is not decoded here, so no label of it is taken.
  if (label.compare(0, 4, L"xn--") == 0) return false;
  for (const wchar_t c : label) {
    if (!IsDigit(c) && !(c >= L'a' && c <= L'z') && c != L'-') return false;
  }
  return true;
}

// A lower-cased host that is not bracketed.
bool IsNameOrQuad(const std::wstring& host) {
  if (host.empty() || host.size() > kMaxHostChars) return false;
  const std::vector<std::wstring> labels = Split(host, L'.');
  for (const std::wstring& label : labels) {
    if (!IsDnsLabel(label)) return false;
  }
  // A number in the last place makes the platforms read an address, in
  // forms (octal, hexadecimal, fewer parts) that name other hosts.
  const std::wstring& last = labels.back();
  bool all_digits = true;
  for (const wchar_t c : last) all_digits = all_digits && IsDigit(c);
  if (all_digits || last.compare(0, 2, L"0x") == 0) return IsDottedQuad(host);
  return true;
}

// The inside of the brackets: up to eight groups of 1-4 hex digits, one
// "::" standing for the missing ones, a dotted quad possibly in the last two.
bool IsIpv6(const std::wstring& text) {
  const size_t gap = text.find(L"::");
  if (gap != std::wstring::npos && text.find(L"::", gap + 1) != std::wstring::npos) return false;
  std::vector<std::wstring> groups;
  if (gap == std::wstring::npos) {
    groups = Split(text, L':');
  } else {
    for (const std::wstring& side : {text.substr(0, gap), text.substr(gap + 2)}) {
      if (side.empty()) continue;
      for (const std::wstring& group : Split(side, L':')) groups.push_back(group);
    }
  }
  size_t count = groups.size();
  if (!groups.empty() && groups.back().find(L'.') != std::wstring::npos) {
    // The quad must end the address: "1.2.3.4::" is no address.
    const bool gap_last = gap != std::wstring::npos && gap + 2 == text.size();
    if (gap_last || !IsDottedQuad(groups.back())) return false;
    groups.pop_back();
    count += 1;  // the quad fills two groups
  }
  for (const std::wstring& group : groups) {
    if (group.empty() || group.size() > 4) return false;
    for (const wchar_t c : group) {
      if (!IsHexDigit(c)) return false;
    }
  }
  return gap == std::wstring::npos ? count == 8 : count <= 7;
}

bool ReadPort(const std::wstring& text, int* port) {
  if (text.empty() || text.size() > 5) return false;
  int value = 0;
  for (const wchar_t c : text) {
    if (!IsDigit(c)) return false;
    value = value * 10 + (c - L'0');
  }
  if (value < 1 || value > kMaxPort) return false;
  *port = value;
  return true;
}

// host[:port] into `address`; false when either is not acceptable.
bool ReadAuthority(const std::wstring& authority, SiteAddress* address) {
  std::wstring host = LowerAscii(authority);
  std::wstring port;
  if (!host.empty() && host[0] == L'[') {
    const size_t close = host.find(L']');
    if (close == std::wstring::npos || !IsIpv6(host.substr(1, close - 1))) return false;
    if (close + 1 < host.size()) {
      if (host[close + 1] != L':') return false;
      port = host.substr(close + 2);
      if (port.empty()) return false;
    }
    host.erase(close + 1);
  } else {
    const size_t colon = host.find(L':');
    if (colon != std::wstring::npos) {
      port = host.substr(colon + 1);
      if (port.empty()) return false;
      host.erase(colon);
    }
    if (!IsNameOrQuad(host)) return false;
  }
  if (!port.empty() && !ReadPort(port, &address->port)) return false;
  address->host = host;
  return true;
}

bool IsRedirectStatus(int status) {
  return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

// The path a relative `location` names from the request path `from_path`.
std::wstring ResolvePath(const std::wstring& from_path, const std::wstring& location) {
  if (!location.empty() && location[0] == L'/') return location;
  // A fragment alone names the same resource, query included.
  if (!location.empty() && location[0] == L'#') return from_path.substr(0, from_path.find(L'#'));
  const std::wstring path = from_path.substr(0, from_path.find_first_of(L"?#"));
  if (!location.empty() && location[0] == L'?') return path + location;
  return path.substr(0, path.rfind(L'/') + 1) + location;
}

// Whether a reference starts with a scheme ("mailto:", "javascript:").
bool HasScheme(const std::wstring& reference) {
  const size_t colon = reference.find(L':');
  return colon != std::wstring::npos && colon < reference.find_first_of(L"/?#");
}

}  // namespace

bool ReadSiteAddress(const std::wstring& text, SiteAddress* out) {
  if (!HasOnlyAddressCharacters(text, false)) return false;
  SiteAddress address;
  size_t start = 0;
  // Written without a scheme, an address is https, as the site's own is.
  address.secure = true;
  if (StartsWithNoCase(text, L"https://")) {
    start = 8;
  } else if (StartsWithNoCase(text, L"http://")) {
    address.secure = false;
    start = 7;
  } else if (StartsWithNoCase(text, L"https:") || StartsWithNoCase(text, L"http:")) {
    return false;  // a scheme without "//": no host to read as one
  }
  const size_t end = text.find_first_of(L"/?#", start);
  const std::wstring authority =
      text.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start);
  address.port = address.secure ? 443 : 80;
  if (!HasOnlyAddressCharacters(authority, true) || !ReadAuthority(authority, &address)) {
    return false;
  }
  if (end != std::wstring::npos) address.rest = text.substr(end);
  *out = address;
  return true;
}

std::wstring SiteOrigin(const SiteAddress& address) {
  const bool default_port = address.port == (address.secure ? 443 : 80);
  return (address.secure ? L"https://" : L"http://") + address.host +
         (default_port ? L"" : L":" + std::to_wstring(address.port));
}

std::wstring SiteText(const SiteAddress& address) { return SiteOrigin(address) + address.rest; }

bool IsDownloadAddress(const std::wstring& url) {
  SiteAddress address;
  const bool scheme = StartsWithNoCase(url, L"https://") || StartsWithNoCase(url, L"http://");
  return scheme && url.find(L'"') == std::wstring::npos && ReadSiteAddress(url, &address);
}

bool IsSameSite(const std::wstring& url, const SiteAddress& site) {
  SiteAddress target;
  const bool scheme = StartsWithNoCase(url, L"https://") || StartsWithNoCase(url, L"http://");
  if (!scheme || !ReadSiteAddress(url, &target) || target.port != site.port) return false;
  return target.host == site.host || L"www." + target.host == site.host ||
         target.host == L"www." + site.host;
}

bool IsHttpsUpgrade(const SiteAddress& from, const SiteAddress& to) {
  return !from.secure && to.secure && to.host == from.host && to.port == 443;
}

bool NextRedirect(const SiteAddress& from, bool post, int status, const std::wstring& location,
                  int hops, SiteAddress* to) {
  if (hops >= kMaxRedirects || !IsRedirectStatus(status) || location.empty()) return false;
  if (post && status == 303) return false;
  SiteAddress target;
  const bool absolute =
      StartsWithNoCase(location, L"https://") || StartsWithNoCase(location, L"http://");
  if (absolute) {
    if (!ReadSiteAddress(location, &target)) return false;
  } else if (location.compare(0, 2, L"//") == 0 || HasScheme(location) ||
             !ReadSiteAddress(SiteOrigin(from) + ResolvePath(from.rest, location), &target)) {
    // "//host/..." names another host without a scheme, "x:..." another
    // scheme; nothing else may hold what the site's own address may not.
    return false;
  }
  const bool same_origin =
      target.secure == from.secure && target.host == from.host && target.port == from.port;
  const bool upgrade = IsHttpsUpgrade(from, target);
  if (!same_origin && !upgrade) return false;
  if (post && (status == 301 || status == 302) && !upgrade) return false;
  target.rest = target.rest.substr(0, target.rest.find(L'#'));
  if (target.rest.empty() || target.rest[0] != L'/') target.rest = L"/" + target.rest;
  *to = target;
  return true;
}
