#include "signer.h"

#include <cstdint>
#include <cstring>

#include "sha256.h"

// Generated at build time from keys/signing-key-parts.txt, so the key is
// never spelled out in the source and the server side reads the same file.
#include "signing_key_parts.inc"

namespace {

static_assert(sizeof(kKeyPartA) == 32 && sizeof(kKeyPartB) == 32,
              "the client key is 32 bytes, split into two 32-byte parts");

const char kSigningPrefix[] = "TAVRENSIL/1\n";

}  // namespace

std::string SigningText(const std::string& a, const std::string& b, const std::string& c) {
  std::string text;
  text.reserve(sizeof(kSigningPrefix) - 1 + a.size() + b.size() + c.size() + 2);
  text.append(kSigningPrefix, sizeof(kSigningPrefix) - 1);
  text.append(a);
  text.push_back('\n');
  text.append(b);
  text.push_back('\n');
  text.append(c);
  return text;
}

std::string SignRequest(const std::string& a, const std::string& b, const std::string& c) {
  const std::string text = SigningText(a, b, c);

  // The whole key only ever exists in this buffer, for the length of one
  // HMAC; memcpy keeps the word access free of alignment assumptions.
  uint8_t key[32];
  for (int w = 0; w < 8; ++w) {
    uint32_t part_a;
    uint32_t part_b;
    std::memcpy(&part_a, kKeyPartA + 4 * w, 4);
    std::memcpy(&part_b, kKeyPartB + 4 * w, 4);
    const uint32_t word = part_b ^ part_a;
    std::memcpy(key + 4 * w, &word, 4);
  }

  uint8_t mac[32];
  HmacSha256(key, sizeof(key), text.data(), uint32_t(text.size()), mac);
  SecureZero(key, sizeof(key));

  return ToHex(mac, sizeof(mac));
}
