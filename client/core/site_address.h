// The one reading of a site address (the --site option, the browser's
// navigations, the update's download page) and the redirect decisions made
// on it. Standard library only: it builds and is tested on any host.
#pragma once

#include <string>

// An http or https address taken apart.
struct SiteAddress {
  bool secure = false;  // https
  std::wstring host;    // lower-cased; an IPv6 address keeps its brackets
  int port = 0;         // the effective port: 80 or 443 when none is written
  std::wstring rest;    // path, query and fragment as written, or empty
};

// Reads `text` as [http|https://]host[:port][rest]; no scheme means https
// (port 443 when none is written), and "http:" or "https:" without "//" is
// refused.
// The host is a DNS name (labels of 1-63 ASCII letters, digits and hyphens,
// at most 253 characters, the last label neither all digits nor "0x..."
// unless the whole is a dotted quad; no "xn--" label), a dotted quad or a
// bracketed IPv6 address; the port 1-65535; the rest starts with '/', '?' or
// '#'. False (and `out` untouched) for anything else: user information,
// spaces, control characters, backslashes, '%' or non-ASCII in the host.
// Letters beyond ASCII may stand in the rest, as an honest page names them.
bool ReadSiteAddress(const std::wstring& text, SiteAddress* out);

// "http[s]://host" with ":port" only when it is not the scheme's default.
std::wstring SiteOrigin(const SiteAddress& address);

// The address as the client uses it everywhere: SiteOrigin and the rest.
std::wstring SiteText(const SiteAddress& address);

// Whether the update answer's download page may go to the shell: an address
// ReadSiteAddress takes, with its scheme written out and no quote in it.
bool IsDownloadAddress(const std::wstring& url);

// Whether `url` (a browser navigation) goes to the site: scheme http or https
// written out, the site's effective port, and the site's host or its www
// twin ("www." added or removed).
bool IsSameSite(const std::wstring& url, const SiteAddress& site);

// Whether `to` is the https upgrade of `from`: the same host over TLS on
// port 443, from plain http.
bool IsHttpsUpgrade(const SiteAddress& from, const SiteAddress& to);

// The most redirects followed for one request.
constexpr int kMaxRedirects = 3;

// Where a redirect answer (`status`, `location`) to a request for `from`
// (its rest the request's path) leads, after `hops` redirects already
// followed: the same origin, or https on port 443 of the same host when
// `from` is http. GET follows 301, 302, 303, 307 and 308; POST (`post`) 307
// and 308, with its body, and 301 and 302 as the same request only to the
// https upgrade (an operator who moved the API to https; anywhere else they
// would turn the signed POST into a GET). The target's rest is the path to
// request (no fragment). False for anything else, which the caller takes as the answer.
bool NextRedirect(const SiteAddress& from, bool post, int status, const std::wstring& location,
                  int hops, SiteAddress* to);
