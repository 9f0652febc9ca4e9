// Base64 against the RFC 4648 vectors, the fill rules, bad lengths and bytes
// outside the alphabet.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "Base64.h"

namespace {

struct Freer {
  void operator()(char* p) const { free(p); }
};
typedef std::unique_ptr<char, Freer> Owned;

std::string Encode(const std::string& in) {
  size_t n = 99;
  Owned out(base64_encode(in.data(), in.size(), &n));
  EXPECT_TRUE(out);
  EXPECT_EQ(n, strlen(out.get()));
  return std::string(out.get(), n);
}

bool Decode(const std::string& in, std::string& bytes) {
  size_t n = 99;
  Owned out(base64_decode(in.data(), in.size(), &n));
  if (!out) return false;
  EXPECT_EQ(out.get()[n], '\0');
  bytes.assign(out.get(), n);
  return true;
}

TEST(Base64, RfcVectorsBothWays) {
  const char* vectors[][2] = {{"", ""},
                              {"f", "Zg=="},
                              {"fo", "Zm8="},
                              {"foo", "Zm9v"},
                              {"foob", "Zm9vYg=="},
                              {"fooba", "Zm9vYmE="},
                              {"foobar", "Zm9vYmFy"},
                              {"abc", "YWJj"},
                              {"ab", "YWI="},
                              {"a", "YQ=="}};
  for (auto& v : vectors) {
    EXPECT_EQ(Encode(v[0]), v[1]) << v[0];
    std::string bytes;
    ASSERT_TRUE(Decode(v[1], bytes)) << v[1];
    EXPECT_EQ(bytes, v[0]);
  }
}

TEST(Base64, DecodeRejectsLengthsNotMultipleOfFour) {
  std::string bytes;
  EXPECT_FALSE(Decode("YWJjYW", bytes));  // 6 characters
  EXPECT_FALSE(Decode("YQ=", bytes));
  EXPECT_FALSE(Decode("Y", bytes));
}

TEST(Base64, EveryByteValueRoundTrips) {
  std::string all;
  for (int round = 0; round < 3; ++round)
    for (int i = 0; i < 256; ++i) all += char(i);
  for (size_t len = 0; len < 40; ++len) {
    std::string in = all.substr(len * 7 % 256, len);
    std::string bytes;
    ASSERT_TRUE(Decode(Encode(in), bytes));
    EXPECT_EQ(bytes, in);
  }
  std::string bytes;
  ASSERT_TRUE(Decode(Encode(all), bytes));
  EXPECT_EQ(bytes, all);
}

TEST(Base64, BytesOutsideTheAlphabetDecodeWithoutFault) {
  // High bytes, NULs and punctuation must not index outside the table.
  std::string odd("\xff\x80\x00*", 4);
  std::string bytes;
  ASSERT_TRUE(Decode(odd, bytes));
  EXPECT_EQ(bytes.size(), 3u);
  ASSERT_TRUE(Decode("====", bytes));
  EXPECT_EQ(bytes.size(), 1u);
}

}  // namespace
