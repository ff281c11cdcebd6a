#include "core/sha256.h"

#include <cstring>

namespace {

const uint32_t kInitialState[8] = {
    0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19,
};

const uint32_t kRoundConstants[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

// 0x80 followed by enough zeros for the longest possible padding run, so
// Final can pad with one Update instead of byte-at-a-time calls.
const uint8_t kPadding[64] = {0x80};

inline uint32_t Rotr(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

inline uint32_t LoadBigEndian(const uint8_t* p) {
  return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

inline void StoreBigEndian(uint32_t v, uint8_t* p) {
  p[0] = uint8_t(v >> 24);
  p[1] = uint8_t(v >> 16);
  p[2] = uint8_t(v >> 8);
  p[3] = uint8_t(v);
}

inline uint32_t SmallSigma0(uint32_t x) { return Rotr(x, 7) ^ Rotr(x, 18) ^ (x >> 3); }
inline uint32_t SmallSigma1(uint32_t x) { return Rotr(x, 17) ^ Rotr(x, 19) ^ (x >> 10); }

}  // namespace

// One round. Instead of shifting the eight working variables every round,
// the caller rotates the argument names, so only d and h are written.
#define SHA256_ROUND(a, b, c, d, e, f, g, h, k, w)                                                \
  do {                                                                                            \
    uint32_t t1 = h + (Rotr(e, 6) ^ Rotr(e, 11) ^ Rotr(e, 25)) + (g ^ (e & (f ^ g))) + (k) + (w); \
    uint32_t t2 = (Rotr(a, 2) ^ Rotr(a, 13) ^ Rotr(a, 22)) + ((a & b) | (c & (a | b)));           \
    d += t1;                                                                                      \
    h = t1 + t2;                                                                                  \
  } while (0)

// Next schedule word for ring slot i, stored in place of the word from 16
// rounds ago, which nothing needs any more.
#define SHA256_EXPAND(i) \
  (w[i] += SmallSigma1(w[((i) + 14) & 15]) + w[((i) + 9) & 15] + SmallSigma0(w[((i) + 1) & 15]))

Sha256::Sha256() : buffer{}, buffer_len(0), total(0) {
  std::memcpy(state, kInitialState, sizeof(state));
}

void Sha256::Block(const uint8_t* block) {
  // The schedule is kept as a 16-word ring rather than all 64 words.
  uint32_t w[16];
  for (int i = 0; i < 16; ++i) w[i] = LoadBigEndian(block + 4 * i);

  uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
  uint32_t e = state[4], f = state[5], g = state[6], h = state[7];

  const uint32_t* k = kRoundConstants;
  SHA256_ROUND(a, b, c, d, e, f, g, h, k[0], w[0]);
  SHA256_ROUND(h, a, b, c, d, e, f, g, k[1], w[1]);
  SHA256_ROUND(g, h, a, b, c, d, e, f, k[2], w[2]);
  SHA256_ROUND(f, g, h, a, b, c, d, e, k[3], w[3]);
  SHA256_ROUND(e, f, g, h, a, b, c, d, k[4], w[4]);
  SHA256_ROUND(d, e, f, g, h, a, b, c, k[5], w[5]);
  SHA256_ROUND(c, d, e, f, g, h, a, b, k[6], w[6]);
  SHA256_ROUND(b, c, d, e, f, g, h, a, k[7], w[7]);
  SHA256_ROUND(a, b, c, d, e, f, g, h, k[8], w[8]);
  SHA256_ROUND(h, a, b, c, d, e, f, g, k[9], w[9]);
  SHA256_ROUND(g, h, a, b, c, d, e, f, k[10], w[10]);
  SHA256_ROUND(f, g, h, a, b, c, d, e, k[11], w[11]);
  SHA256_ROUND(e, f, g, h, a, b, c, d, k[12], w[12]);
  SHA256_ROUND(d, e, f, g, h, a, b, c, k[13], w[13]);
  SHA256_ROUND(c, d, e, f, g, h, a, b, k[14], w[14]);
  SHA256_ROUND(b, c, d, e, f, g, h, a, k[15], w[15]);

  // Rounds 16..63 in three passes of 16; within a pass every ring index
  // is a constant, so the schedule lives in registers or fixed slots.
  for (k += 16; k != kRoundConstants + 64; k += 16) {
    SHA256_ROUND(a, b, c, d, e, f, g, h, k[0], SHA256_EXPAND(0));
    SHA256_ROUND(h, a, b, c, d, e, f, g, k[1], SHA256_EXPAND(1));
    SHA256_ROUND(g, h, a, b, c, d, e, f, k[2], SHA256_EXPAND(2));
    SHA256_ROUND(f, g, h, a, b, c, d, e, k[3], SHA256_EXPAND(3));
    SHA256_ROUND(e, f, g, h, a, b, c, d, k[4], SHA256_EXPAND(4));
    SHA256_ROUND(d, e, f, g, h, a, b, c, k[5], SHA256_EXPAND(5));
    SHA256_ROUND(c, d, e, f, g, h, a, b, k[6], SHA256_EXPAND(6));
    SHA256_ROUND(b, c, d, e, f, g, h, a, k[7], SHA256_EXPAND(7));
    SHA256_ROUND(a, b, c, d, e, f, g, h, k[8], SHA256_EXPAND(8));
    SHA256_ROUND(h, a, b, c, d, e, f, g, k[9], SHA256_EXPAND(9));
    SHA256_ROUND(g, h, a, b, c, d, e, f, k[10], SHA256_EXPAND(10));
    SHA256_ROUND(f, g, h, a, b, c, d, e, k[11], SHA256_EXPAND(11));
    SHA256_ROUND(e, f, g, h, a, b, c, d, k[12], SHA256_EXPAND(12));
    SHA256_ROUND(d, e, f, g, h, a, b, c, k[13], SHA256_EXPAND(13));
    SHA256_ROUND(c, d, e, f, g, h, a, b, k[14], SHA256_EXPAND(14));
    SHA256_ROUND(b, c, d, e, f, g, h, a, k[15], SHA256_EXPAND(15));
  }

  state[0] += a;
  state[1] += b;
  state[2] += c;
  state[3] += d;
  state[4] += e;
  state[5] += f;
  state[6] += g;
  state[7] += h;
}

#undef SHA256_EXPAND
#undef SHA256_ROUND

void Sha256::Update(const void* data, uint32_t n) {
  total += n;
  const uint8_t* p = static_cast<const uint8_t*>(data);
  while (n > 0) {
    uint32_t take = 64 - buffer_len;
    if (take > n) take = n;
    std::memcpy(buffer + buffer_len, p, take);
    buffer_len += take;
    p += take;
    n -= take;
    if (buffer_len == 64) {
      Block(buffer);
      buffer_len = 0;
    }
  }
}

void Sha256::Final(uint8_t out[32]) {
  const uint64_t bit_len = total * 8;

  // 0x80 and then zeros up to offset 56 of a block; when fewer than nine
  // bytes are left in this block, the run spills into the next one.
  uint32_t pad_len = (buffer_len < 56) ? 56 - buffer_len : 120 - buffer_len;
  Update(kPadding, pad_len);

  uint8_t length_bytes[8];
  StoreBigEndian(uint32_t(bit_len >> 32), length_bytes);
  StoreBigEndian(uint32_t(bit_len), length_bytes + 4);
  Update(length_bytes, 8);

  for (int i = 0; i < 8; ++i) StoreBigEndian(state[i], out + 4 * i);
}

void Sha256Digest(const void* data, uint32_t n, uint8_t out[32]) {
  Sha256 hasher;
  hasher.Update(data, n);
  hasher.Final(out);
}

void HmacSha256(const void* key, uint32_t key_len, const void* msg, uint32_t msg_len,
                uint8_t out[32]) {
  uint8_t key_block[64] = {};
  if (key_len > 64) {
    Sha256 key_hasher;
    key_hasher.Update(key, key_len);
    key_hasher.Final(key_block);
    SecureZero(&key_hasher, sizeof(key_hasher));
  } else if (key_len > 0) {
    std::memcpy(key_block, key, key_len);
  }

  uint8_t pad[64];
  for (int i = 0; i < 64; ++i) pad[i] = key_block[i] ^ 0x36;
  Sha256 inner;
  inner.Update(pad, 64);
  inner.Update(msg, msg_len);
  uint8_t inner_digest[32];
  inner.Final(inner_digest);

  for (int i = 0; i < 64; ++i) pad[i] = key_block[i] ^ 0x5c;
  Sha256 outer;
  outer.Update(pad, 64);
  outer.Update(inner_digest, 32);
  outer.Final(out);

  // The pads, and the hashers' states after absorbing them, are as good
  // as the key for forging MACs, so they go together with the key block.
  SecureZero(key_block, sizeof(key_block));
  SecureZero(pad, sizeof(pad));
  SecureZero(&inner, sizeof(inner));
  SecureZero(&outer, sizeof(outer));
  SecureZero(inner_digest, sizeof(inner_digest));
}

std::string ToHex(const void* data, uint32_t n) {
  static const char kDigits[] = "0123456789abcdef";
  const uint8_t* p = static_cast<const uint8_t*>(data);
  std::string hex;
  hex.reserve(size_t(n) * 2);
  for (uint32_t i = 0; i < n; ++i) {
    hex.push_back(kDigits[p[i] >> 4]);
    hex.push_back(kDigits[p[i] & 0x0f]);
  }
  return hex;
}

void SecureZero(void* p, uint32_t n) {
  // Writes through a volatile pointer count as observable, so the compiler
  // cannot drop them as dead stores to memory that is about to die.
  volatile uint8_t* v = static_cast<volatile uint8_t*>(p);
  for (uint32_t i = 0; i < n; ++i) v[i] = 0;
}
