// SHA-512 and Base64 of the signature entry, against published vectors (FIPS 180-4, RFC 4648)
// and digests computed by an independent implementation for every padding boundary.
#include "packaging/vant_base64.h"
#include "packaging/vant_sha512.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::string Hex(const VANT::Sha512::Digest& digest) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string text;
  for (uint8_t byte : digest) {
    text += kHex[byte >> 4];
    text += kHex[byte & 15];
  }
  return text;
}

std::vector<uint8_t> Pattern(size_t size) {
  std::vector<uint8_t> bytes(size);
  for (size_t i = 0; i < size; ++i) {
    bytes[i] = static_cast<uint8_t>((i * 7 + 3) % 256);
  }
  return bytes;
}

TEST(Sha512, PublishedVectors) {
  EXPECT_EQ(Hex(VANT::Sha512::Of("")),
            "cf83e1357eefb8bdf1542850d66d8007d620e4050b5715dc83f4a921d36ce9ce47d0d13c5d85f2b0ff831"
            "8d2877eec2f63b931bd47417a81a538327af927da3e");
  EXPECT_EQ(Hex(VANT::Sha512::Of("abc")),
            "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a2192992a274fc1a836ba3"
            "c23a3feebbd454d4423643ce80e2a9ac94fa54ca49f");
  EXPECT_EQ(Hex(VANT::Sha512::Of("abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmno"
                                 "ijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu")),
            "8e959b75dae313da8cf4f72814fc143f8f7779c6eb9f7fa17299aeadb6889018501d289e4900f7e4331b9"
            "9dec4b5433ac7d329eeb6dd26545e96e55b874be909");
  const std::string million(1000000, 'a');
  EXPECT_EQ(Hex(VANT::Sha512::Of(million)),
            "e718483d0ce769644e2e42c7bc15b4638e1f98b13b2044285632a803afa973ebde0ff244877ea60a4cb04"
            "32ce577c31beb009c5c2c49aa2e4eadb217ad8cc09b");
}

// Lengths around the 112-byte padding limit and the 128-byte block, whole and fed in pieces.
TEST(Sha512, PaddingBoundariesWholeAndInPieces) {
  const struct {
    size_t size;
    const char* digest;
  } cases[] = {
      {1, "e45bf5817ddf94aa2f7a407071f0eedc6beb98f768b4cd33d1176d44d1563a45a5d7212290eb7670c6786b1"
          "3591aedac86478993895e8b24e612014abaa6ba04"},
      {111, "68cffa6d0d76f309c9ce0d35280939f8e25990c43b7b086ccdf709be35b07d4ddba599541ff2b1c19d34e"
            "a49aeafb9659adb7ac3c0b078bb30a22d57fc6687ef"},
      {112, "d0865c524d1dddf7c23b799c413f5adcd7caefd3f66a9b49750ec81066012c25a8bcf94ddea6dc5256916"
            "73097ca40e0101e897fc97218cfdb0704084e2bef4b"},
      {127, "e0b6a20f1c0c88970a9340152cd5a1c1ecf3d3b8de55102741879438079473540133b812706e5dbec322c"
            "8c9523b6fc8c6d16ee626e87ad5fe3d2916afedc369"},
      {128, "99b16f17aa0b969a5b8f08f367719d516e330ccd2660b6f0688ec031dbc783de50a1cd185a2568dba7507"
            "0a2403d17d4741d163578515dfd2ff756ddfe4d47b1"},
      {129, "a1556e29185778aa5991e34b8884c840d589f0fbb4b8ed590e51e9ac4eb03a008125000db2671f8fe7f48"
            "5b59a77b518670078ecb41a54b4cd02a7f1d2ca4c6d"},
      {239, "18ee83f30261c3c645d52aee6a209105b25bba39d33845ef48984cc238e4f21661fb7bd7dd4336f71c40f"
            "e87d95e5115d6c7be52e0d3e7e7877d24500b5b58df"},
      {240, "9d60ee60d29ec4fa0b9690c04c1c29413bbe3ed345639182d9d53dcc05926b77b04f4fec1562fb8518295"
            "4c96b7cbb5d5e4410251ff4f352d09a2da90419fb13"},
      {1000, "00e36fccf193e59697a92b5ab24666ce6326d7fa16bf10832d0991ddc591112e9dfa6a636950ed9c4d67"
             "344a760654c2ff7785e1d60094d651038735b5dccabd"},
  };
  for (const auto& c : cases) {
    const std::vector<uint8_t> bytes = Pattern(c.size);
    EXPECT_EQ(Hex(VANT::Sha512::Of(bytes.data(), bytes.size())), c.digest) << c.size;
    for (size_t piece : {1u, 5u, 127u, 129u}) {
      VANT::Sha512 hash;
      for (size_t at = 0; at < bytes.size(); at += piece) {
        hash.Update(bytes.data() + at, std::min(piece, bytes.size() - at));
      }
      EXPECT_EQ(Hex(hash.Finish()), c.digest) << c.size << " in pieces of " << piece;
    }
  }
}

TEST(Base64, EncodesTheRfcVectors) {
  const std::pair<std::string, std::string> vectors[] = {{"", ""},
                                                         {"f", "Zg=="},
                                                         {"fo", "Zm8="},
                                                         {"foo", "Zm9v"},
                                                         {"foob", "Zm9vYg=="},
                                                         {"fooba", "Zm9vYmE="},
                                                         {"foobar", "Zm9vYmFy"}};
  for (const auto& [plain, encoded] : vectors) {
    EXPECT_EQ(VANT::Base64Encode(plain.data(), plain.size()), encoded);
  }
  // 64 bytes, as the signature entry holds: 88 characters ending in "==".
  const std::vector<uint8_t> bytes = Pattern(64);
  const std::string text = VANT::Base64Encode(bytes.data(), bytes.size());
  EXPECT_EQ(text.size(), 88u);
  EXPECT_EQ(text.substr(86), "==");
  EXPECT_EQ(text.substr(0, 8), "AwoRGB8m"); // 03 0a 11 18 1f 26
}

} // namespace
