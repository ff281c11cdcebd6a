#pragma once

#include <cstdint>
#include <string>

// Incremental SHA-256 hasher. Use once: construct, Update any number of
// times, then Final; the object is spent afterwards and is not reset.
class Sha256 {
 public:
  // Starts a fresh hash: initial hash value, empty buffer, nothing counted.
  Sha256();

  // Runs the compression function over exactly 64 bytes at `block` and
  // adds the result into `state`.
  void Block(const uint8_t* block);

  // Feeds `n` bytes from `data`; `data` may be null when `n` is 0.
  void Update(const void* data, uint32_t n);

  // Pads, appends the bit length and writes the 32-byte digest to `out`.
  void Final(uint8_t out[32]);

  uint32_t state[8];
  uint8_t buffer[64];
  uint32_t buffer_len;
  uint64_t total;
};

// Writes the SHA-256 digest of `n` bytes at `data` to `out` (32 bytes).
void Sha256Digest(const void* data, uint32_t n, uint8_t out[32]);

// Writes HMAC-SHA-256 (RFC 2104, 64-byte block) of the message under the
// key to `out` (32 bytes). Empty keys and messages are valid.
void HmacSha256(const void* key, uint32_t key_len, const void* msg, uint32_t msg_len,
                uint8_t out[32]);

// Returns `n` bytes as lower-case hexadecimal, two characters per byte.
std::string ToHex(const void* data, uint32_t n);

// Overwrites `n` bytes at `p` with zeros in a way the optimiser must keep,
// for buffers that held key material and are about to go out of scope.
void SecureZero(void* p, uint32_t n);
