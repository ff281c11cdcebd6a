// The conversions between the server's and the files' UTF-8 and the
// platform's UTF-16.
#pragma once

#include <string>

// UTF-8 bytes to UTF-16. Invalid sequences come back as the platform's
// replacement characters; embedded zero bytes are kept. Empty gives empty.
std::wstring Utf8ToWide(const std::string& text);

// UTF-16 to UTF-8 bytes; the mirror of Utf8ToWide. Empty gives empty.
std::string WideToUtf8(const std::wstring& text);
