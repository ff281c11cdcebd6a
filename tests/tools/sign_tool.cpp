// Prints SignRequest(a, b, c) for three hex-encoded arguments. The arguments
// are hex so that line feeds, zero bytes and non-ASCII text survive a
// Windows command line unchanged.

#include <cstdio>
#include <string>

#include "core/signer.h"

namespace {

int HexValue(char ch) {
  if (ch >= '0' && ch <= '9') return ch - '0';
  if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
  if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
  return -1;
}

// Decodes `hex` into `out`; false on odd length or a non-hex character.
bool DecodeHex(const char* hex, std::string* out) {
  const std::string text(hex);
  if (text.size() % 2 != 0) return false;
  out->clear();
  out->reserve(text.size() / 2);
  for (size_t i = 0; i < text.size(); i += 2) {
    const int hi = HexValue(text[i]);
    const int lo = HexValue(text[i + 1]);
    if (hi < 0 || lo < 0) return false;
    out->push_back(char(hi * 16 + lo));
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: sign_tool <hexA> <hexB> <hexC>\n");
    return 2;
  }
  std::string args[3];
  for (int i = 0; i < 3; ++i) {
    if (!DecodeHex(argv[i + 1], &args[i])) {
      std::fprintf(stderr, "sign_tool: argument %d is not valid hex\n", i + 1);
      return 2;
    }
  }
  const std::string sig = SignRequest(args[0], args[1], args[2]);
  std::printf("%s\n", sig.c_str());
  return 0;
}
