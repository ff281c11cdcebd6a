// The client's HTTP transport to the game server (WinHTTP), and the text
// conversions between the server's UTF-8 and the platform's UTF-16.
#pragma once

#include <cstdint>
#include <map>
#include <string>

// UTF-8 bytes to UTF-16. Invalid sequences come back as the platform's
// replacement characters; embedded zero bytes are kept. Empty gives empty.
std::wstring Utf8ToWide(const std::string& text);

// UTF-16 to UTF-8 bytes; the mirror of Utf8ToWide. Empty gives empty.
std::string WideToUtf8(const std::wstring& text);

// Percent-encodes every byte outside A-Z a-z 0-9 - . _ ~ as %XX with upper-case
// digits; a space becomes %20, never '+'.
std::string UrlEncode(const std::string& bytes);
