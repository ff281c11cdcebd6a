#include "core/signer.h"

#include <cstdint>

#include "core/sha256.h"

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
  // HMAC. The halves are read through volatile: otherwise the optimiser
  // folds the two constant tables into the key, which then stands whole in
  // the executable as instruction operands.
  const volatile uint8_t* part_a = kKeyPartA;
  const volatile uint8_t* part_b = kKeyPartB;
  uint8_t key[32];
  for (int i = 0; i < 32; ++i) key[i] = static_cast<uint8_t>(part_b[i] ^ part_a[i]);

  uint8_t mac[32];
  HmacSha256(key, sizeof(key), text.data(), uint32_t(text.size()), mac);
  SecureZero(key, sizeof(key));

  return ToHex(mac, sizeof(mac));
}
