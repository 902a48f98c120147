#include <gtest/gtest.h>

#include "fleck/CFleckDisk.h"
#include "fleck/CFleckDiskHeader.h"
#include "zel/CInvalidArgError.h"

namespace fleck {
namespace {

CFleckDiskHeader encryptedHeader(std::initializer_list<unsigned char> salt, int iterations) {
  CFleckDiskHeader header;
  header.setCipherKeyDerivationSalt(zel::TBuffer<unsigned char>(salt.begin(), salt.size()));
  header.setCipherKeyDerivationIterations(iterations);
  return header;
}

zel::TCryptBuffer<unsigned char> derive(const zel::String& password,
                                        const CFleckDiskHeader& header) {
  zel::TCryptBuffer<unsigned char> key;
  CFleckDisk::deriveCipherKey(key, password, header);
  return key;
}

void expectInvalid(const CFleckDiskHeader& header, const char* message) {
  try {
    derive("pw", header);
    FAIL() << "derived a key";
  } catch (const zel::CInvalidArgError& e) {
    EXPECT_EQ(e.getSource(), zel::String("CFleckDisk::deriveCypherKey"));
    EXPECT_EQ(e.getMessage(), zel::String(message));
    EXPECT_TRUE(e.getProps().isEmpty());
  }
}

TEST(CipherKeyTest, DerivationDependsOnPasswordSaltAndIterations) {
  const auto header = encryptedHeader({1, 2, 3, 4, 5, 6, 7, 8}, 1000);
  const auto key = derive("secret", header);
  EXPECT_EQ(key.getUsed(), 32u);
  EXPECT_TRUE(key == derive("secret", header));
  EXPECT_FALSE(key == derive("secreT", header));
  EXPECT_FALSE(key == derive("secret", encryptedHeader({1, 2, 3, 4, 5, 6, 7, 9}, 1000)));
  EXPECT_FALSE(key == derive("secret", encryptedHeader({1, 2, 3, 4, 5, 6, 7, 8}, 1001)));
  // The password's bytes end at the first zero character.
  EXPECT_TRUE(key == derive(zel::String(L"secret\0ignored", 14), header));
  // Non-ASCII passwords are derived from their UTF-8 bytes.
  EXPECT_FALSE(derive(L"p\u00e4ss", header) == derive("pass", header));
}

TEST(CipherKeyTest, ParameterLimits) {
  expectInvalid(encryptedHeader({1, 2, 3, 4, 5, 6, 7}, 10000),
                "Key derivation salt is too small: 7 bytes");
  expectInvalid(encryptedHeader({1, 2, 3, 4, 5, 6, 7, 8}, 999),
                "Key derivation iterations are too small: 999");
  auto header = encryptedHeader({1, 2, 3, 4, 5, 6, 7, 8}, 1000);
  header.setCipherKeyDeriverID("scrypt");
  expectInvalid(header, "Unknown key deriver ID: scrypt");
  EXPECT_EQ(derive("pw", encryptedHeader({1, 2, 3, 4, 5, 6, 7, 8}, 1000)).getUsed(), 32u);
}

TEST(CipherKeyTest, KeyCheck) {
  auto header = encryptedHeader({8, 7, 6, 5, 4, 3, 2, 1}, 1000);
  const auto key = derive("right", header);
  zel::TCryptBuffer<unsigned char> out;
  EXPECT_FALSE(CFleckDisk::isEncryptPasswordCorrect(header, "right", &out));  // no hash stored
  EXPECT_EQ(out.getUsed(), 0u);
  // A key of the wrong length is refused whatever the stored hash says.
  EXPECT_FALSE(
      CFleckDisk::isCipherKeyCorrect(header, zel::TCryptBuffer<unsigned char>(key.getData(), 31)));

  // An unencrypted disk takes any key and only the empty password, which empties the key.
  CFleckDiskHeader unencrypted;
  unencrypted.setCipherID("null");
  EXPECT_TRUE(CFleckDisk::isCipherKeyCorrect(unencrypted, key));
  zel::TCryptBuffer<unsigned char> emptied(key);
  EXPECT_TRUE(CFleckDisk::isEncryptPasswordCorrect(unencrypted, "", &emptied));
  EXPECT_EQ(emptied.getUsed(), 0u);
  zel::TCryptBuffer<unsigned char> kept(key);
  EXPECT_FALSE(CFleckDisk::isEncryptPasswordCorrect(unencrypted, "x", &kept));
  EXPECT_TRUE(kept == key);
}

}  // namespace
}  // namespace fleck
