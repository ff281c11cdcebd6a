// The bridge to the embedded browser's cookie store (WinINet): the site's
// device cookie is read from there and stored back with a longer life.
#pragma once

#include <windows.h>

#include <string>

// The value of cookie `name` for `url` in the browser's store, HTTP-only
// cookies included; empty when the store has none or cannot be read. `url`
// is a site address as ReadSiteAddress reads it (the scheme may be left off),
// else no cookie is read or stored.
std::string BrowserCookie(const std::wstring& url, const std::string& name);

// Stores `name`=`value` for `url` as a persistent HTTP-only cookie for the
// whole site, expiring `days` days from now, and secure when `url` is https.
// False for an empty value or one that IsCookieValue refuses (the store is
// not touched), a date that cannot be formatted, or a refusal.
bool PersistBrowserCookie(const std::wstring& url, const std::string& name,
                          const std::string& value, int days);

// The value of `name` in a store text of the form "a=1; name=value; b=2":
// the first entry whose name is exactly `name`; empty when there is none.
std::wstring CookieValueFromText(const std::wstring& cookies, const std::wstring& name);

// The RFC 1123 date `days` days (positive or negative) after `now_utc`, as
// the cookie's expiry. False when the date cannot be formed.
bool CookieExpiry(const SYSTEMTIME& now_utc, int days, std::wstring* expiry);

// The data part of a persistent cookie for `url`: value, expiry, whole-site
// path, the HTTP-only attribute and, for an https `url`, the secure one.
std::wstring CookieData(const std::wstring& value, const std::wstring& expiry,
                        const std::wstring& url);

// Whether every byte of `value` may stand in a cookie value: printable
// ASCII except space, '"', ',', ';' and '\\', the whole optionally in
// double quotes (kept as part of the value). Empty is allowed.
bool IsCookieValue(const std::string& value);
