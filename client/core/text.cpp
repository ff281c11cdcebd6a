#include "core/text.h"

std::string UrlEncode(const std::string& bytes) {
  static const char kHexDigits[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(bytes.size());
  for (const char ch : bytes) {
    const unsigned char b = static_cast<unsigned char>(ch);
    const bool unreserved = (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') ||
                            (b >= '0' && b <= '9') || b == '-' || b == '.' || b == '_' || b == '~';
    if (unreserved) {
      out += static_cast<char>(b);
    } else {
      out += '%';
      out += kHexDigits[b >> 4];
      out += kHexDigits[b & 0x0F];
    }
  }
  return out;
}
