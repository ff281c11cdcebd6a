#include "core/sha256.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

std::string DigestHex(const std::string& message) {
  uint8_t out[32];
  Sha256Digest(message.data(), uint32_t(message.size()), out);
  return ToHex(out, 32);
}

std::string HmacHex(const std::string& key, const std::string& message) {
  uint8_t out[32];
  HmacSha256(key.data(), uint32_t(key.size()), message.data(), uint32_t(message.size()), out);
  return ToHex(out, 32);
}

// Deterministic non-repeating filler, so a misplaced block boundary shows up
// as a wrong digest rather than hiding behind identical bytes.
std::string Pattern(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = char((i * 7 + 3) & 0xff);
  return s;
}

struct DigestCase {
  const char* name;
  std::string message;
  const char* digest;
};

TEST(Sha256Test, FipsExamples) {
  const DigestCase cases[] = {
      {"abc", "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"empty", "", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"448 bits", "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {"896 bits",
       "abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmn"
       "opqrsmnopqrstnopqrstu",
       "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
      {"million a", std::string(1000000, 'a'),
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const DigestCase& c : cases) {
    EXPECT_EQ(DigestHex(c.message), c.digest) << c.name;
  }
}

TEST(Sha256Test, MillionAInSmallPieces) {
  Sha256 hasher;
  const std::string piece(1000, 'a');
  for (int i = 0; i < 1000; ++i) hasher.Update(piece.data(), uint32_t(piece.size()));
  uint8_t out[32];
  hasher.Final(out);
  EXPECT_EQ(ToHex(out, 32), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST(Sha256Test, PaddingBoundaries) {
  // 55 bytes leave room for 0x80 and the length in the same block; from
  // 56 on the length spills into an extra block.
  const struct {
    size_t length;
    const char* digest;
  } cases[] = {
      {0, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {1, "084fed08b978af4d7d196a7446a86b58009e636b611db16211b65a9aadff29c5"},
      {55, "e7313d333c272e639f790978283f9eb392e843d0f29b7016828bb1daa4aac70b"},
      {56, "4324d65f3c103567f5589c710bc08f8523f929a9272e3af36fc968e52abc6c27"},
      {63, "81c80242132f230c3bd41b3e63bbcff16107339549214a99614ff26664625055"},
      {64, "39e3d7b6b5d075d37d053ad89b24b41bef4f3c29760c84447cab3f3be1882241"},
      {65, "aacca6ff74fdbb296d165a45cecfa04e5127bc008770fbbdd48006f2d2fae95e"},
      {119, "9ce7368e4daf32341631b492e80359dc9f594b48453cd0dd5bf0b19279cc177e"},
      {120, "7836b787757e95e58b3ca5aec90b1b004e8deba1e50e9675af9cabf1a13a04b5"},
      {1000, "1e9bc38cbf860b9ec31918b065f9b52476c549a782e0e7990bed8ce3868d2371"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(DigestHex(Pattern(c.length)), c.digest) << "length " << c.length;
  }
}

TEST(Sha256Test, IncrementalEqualsOneShot) {
  const std::vector<std::vector<uint32_t>> chunkings = {
      {0},
      {1},
      {55},
      {56},
      {63},
      {64},
      {65},
      {0, 1, 0, 55, 56, 0, 63, 64, 65},
      {65, 64, 63, 56, 55, 1, 0},
      {2, 3, 5, 7, 11, 13},
      {63, 1, 64, 0, 55, 9, 56, 8},
      {7, 200, 3, 129},
  };
  for (size_t length : {0u, 1u, 55u, 56u, 63u, 64u, 65u, 128u, 1000u}) {
    const std::string message = Pattern(length);
    const std::string expected = DigestHex(message);
    for (size_t k = 0; k < chunkings.size(); ++k) {
      // The chunk sizes repeat until the message is used up, so a
      // sequence hits the same boundary positions over and over.
      const std::vector<uint32_t>& sizes = chunkings[k];
      uint64_t period = 0;
      for (uint32_t n : sizes) period += n;
      Sha256 hasher;
      if (period == 0) {
        hasher.Update(message.data(), 0);
        hasher.Update(message.data(), uint32_t(message.size()));
        hasher.Update(message.data() + message.size(), 0);
      } else {
        size_t offset = 0;
        for (size_t step = 0; offset < message.size(); ++step) {
          uint32_t n = sizes[step % sizes.size()];
          if (n > message.size() - offset) n = uint32_t(message.size() - offset);
          hasher.Update(message.data() + offset, n);
          offset += n;
        }
      }
      uint8_t out[32];
      hasher.Final(out);
      EXPECT_EQ(ToHex(out, 32), expected) << "length " << length << ", chunking " << k;
    }
  }
}

TEST(Sha256Test, ZeroLengthUpdatesAreNeutral) {
  Sha256 hasher;
  hasher.Update(nullptr, 0);
  hasher.Update("ab", 2);
  hasher.Update(nullptr, 0);
  hasher.Update("c", 1);
  hasher.Update(nullptr, 0);
  uint8_t out[32];
  hasher.Final(out);
  EXPECT_EQ(ToHex(out, 32), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");

  uint8_t empty[32];
  Sha256Digest(nullptr, 0, empty);
  EXPECT_EQ(ToHex(empty, 32), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
}

TEST(Sha256Test, FreshHasherState) {
  Sha256 hasher;
  EXPECT_EQ(hasher.state[0], 0x6a09e667u);
  EXPECT_EQ(hasher.state[7], 0x5be0cd19u);
  EXPECT_EQ(hasher.buffer_len, 0u);
  EXPECT_EQ(hasher.total, 0u);
  hasher.Update(Pattern(70).data(), 70);
  EXPECT_EQ(hasher.buffer_len, 6u);
  EXPECT_EQ(hasher.total, 70u);
}

struct HmacCase {
  const char* name;
  std::string key;
  std::string message;
  const char* mac;
  size_t compare_bytes;
};

TEST(HmacSha256Test, Rfc4231) {
  const HmacCase cases[] = {
      {"case 1", std::string(20, '\x0b'), "Hi There",
       "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7", 32},
      {"case 2", "Jefe", "what do ya want for nothing?",
       "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843", 32},
      {"case 3", std::string(20, '\xaa'), std::string(50, '\xdd'),
       "773ea91e36800e46854db8ebd09181a72959098b3ef8c122d9635514ced565fe", 32},
      {"case 4",
       "\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0a\x0b\x0c\x0d\x0e\x0f\x10"
       "\x11\x12\x13\x14\x15\x16\x17\x18\x19",
       std::string(50, '\xcd'), "82558a389a443c0ea4cc819899f2083a85f0faa3e578f8077a2e3ff46729665b",
       32},
      // The RFC publishes only the first 128 bits for this case.
      {"case 5", std::string(20, '\x0c'), "Test With Truncation",
       "a3b6167473100ee06e0c796c2955552b", 16},
      {"case 6", std::string(131, '\xaa'), "Test Using Larger Than Block-Size Key - Hash Key First",
       "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54", 32},
      {"case 7", std::string(131, '\xaa'),
       "This is a test using a larger than block-size key and a larger than "
       "block-size data. The key needs to be hashed before being used by the "
       "HMAC algorithm.",
       "9b09ffa71b942fcb27635fbcd5b0e944bfdc63644f0713938a7f51535c3a35e2", 32},
  };
  for (const HmacCase& c : cases) {
    uint8_t out[32];
    HmacSha256(c.key.data(), uint32_t(c.key.size()), c.message.data(), uint32_t(c.message.size()),
               out);
    EXPECT_EQ(ToHex(out, uint32_t(c.compare_bytes)), c.mac) << c.name;
  }
}

TEST(HmacSha256Test, EmptyKeyAndMessage) {
  uint8_t out[32];
  HmacSha256(nullptr, 0, nullptr, 0, out);
  EXPECT_EQ(ToHex(out, 32), "b613679a0814d9ec772f95d778c35fc5ff1697c493715653c6c712144292c5ad");
}

// RFC 2104 assembled by hand from the hasher, for keys of at most 64 bytes,
// as a second route to the same answer.
std::string HmacByHand(const std::string& key, const std::string& message) {
  uint8_t ipad[64];
  uint8_t opad[64];
  for (size_t i = 0; i < 64; ++i) {
    const uint8_t k = i < key.size() ? uint8_t(key[i]) : 0;
    ipad[i] = k ^ 0x36;
    opad[i] = k ^ 0x5c;
  }
  uint8_t inner[32];
  Sha256 h1;
  h1.Update(ipad, 64);
  h1.Update(message.data(), uint32_t(message.size()));
  h1.Final(inner);
  uint8_t out[32];
  Sha256 h2;
  h2.Update(opad, 64);
  h2.Update(inner, 32);
  h2.Final(out);
  return ToHex(out, 32);
}

TEST(HmacSha256Test, BlockSizedKeyUsedAsIs) {
  std::string key(64, '\0');
  for (size_t i = 0; i < key.size(); ++i) key[i] = char(i);
  const std::string message = "boundary key";
  const std::string expected = "3103801c39d030fa5ad888e7eefb109735cc151488f8742c890b633c07b4afb4";
  EXPECT_EQ(HmacHex(key, message), expected);
  EXPECT_EQ(HmacByHand(key, message), expected);

  uint8_t key_digest[32];
  Sha256Digest(key.data(), uint32_t(key.size()), key_digest);
  EXPECT_NE(HmacHex(std::string(reinterpret_cast<char*>(key_digest), 32), message), expected);
}

TEST(HmacSha256Test, LongerKeyHashedFirst) {
  std::string key(65, '\0');
  for (size_t i = 0; i < key.size(); ++i) key[i] = char(i);
  const std::string message = "boundary key";
  const std::string expected = "798501e6aed622eaec55fda11bf475717fa2a70ef335674f65cf2a9f1c6f2fbb";
  EXPECT_EQ(HmacHex(key, message), expected);

  uint8_t key_digest[32];
  Sha256Digest(key.data(), uint32_t(key.size()), key_digest);
  const std::string hashed_key(reinterpret_cast<char*>(key_digest), 32);
  EXPECT_EQ(HmacByHand(hashed_key, message), expected);
  EXPECT_EQ(HmacHex(hashed_key, message), expected);
}

TEST(HmacSha256Test, ShortKeysMatchHandAssembly) {
  for (size_t key_len : {0u, 1u, 4u, 32u, 63u, 64u}) {
    const std::string key = Pattern(key_len + 5).substr(5);
    for (size_t msg_len : {0u, 1u, 55u, 64u, 200u}) {
      const std::string message = Pattern(msg_len);
      EXPECT_EQ(HmacHex(key, message), HmacByHand(key, message))
          << "key " << key_len << ", message " << msg_len;
    }
  }
}

TEST(ToHexTest, Table) {
  const uint8_t bytes[] = {0x00, 0xAB, 0xFF};
  EXPECT_EQ(ToHex(bytes, 3), "00abff");
  EXPECT_EQ(ToHex(bytes, 0), "");
  EXPECT_EQ(ToHex(nullptr, 0), "");
  const uint8_t all_nibbles[] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};
  EXPECT_EQ(ToHex(all_nibbles, 8), "0123456789abcdef");
}

TEST(SecureZeroTest, ClearsExactlyTheRange) {
  uint8_t bytes[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  SecureZero(bytes + 2, 4);
  const uint8_t expected[8] = {1, 2, 0, 0, 0, 0, 7, 8};
  for (int i = 0; i < 8; ++i) EXPECT_EQ(bytes[i], expected[i]) << "byte " << i;
  SecureZero(nullptr, 0);
}

}  // namespace
