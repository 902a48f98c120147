#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "KeelTestSupport.h"
#include "keel/KeyDerivation.h"
#include "zel/CInvalidArgError.h"

using namespace keel_test;

namespace {

struct Vector {
  std::string password;
  std::string salt;
  int iterations;
  std::string expected;  // hex; its length gives the key length
};

std::string derive(const std::string& password, const std::string& salt, int iterations,
                   int keyLength) {
  Bytes key(static_cast<std::size_t>(keyLength));
  keel::deriveKey_PKCS5_PBKDF2_HMAC_SHA1(password.data(), password.size(),
                                         reinterpret_cast<const unsigned char*>(salt.data()),
                                         salt.size(), iterations, keyLength, key.data());
  return toHex(key.data(), key.size());
}

}  // namespace

TEST(KeyDerivationTest, MatchesTheRFC6070Vectors) {
  using namespace std::string_literals;
  // The 16777216-iteration vector is left out: it takes too long for a unit test.
  const std::vector<Vector> vectors = {
      {"password", "salt", 1, "0c60c80f961f0e71f3a9b524af6012062fe037a6"},
      {"password", "salt", 4096, "4b007901b765489abead49d926f721d065a429c1"},
      // Longer than one SHA-1 block of output.
      {"passwordPASSWORDpassword", "saltSALTsaltSALTsaltSALTsaltSALTsalt", 4096,
       "3d2eec4fe41c849b80c8d83662c0e44a8b291a964cf2f07038"},
      // Embedded NUL bytes: lengths, not terminators, end the inputs.
      {"pass\0word"s, "sa\0lt"s, 4096, "56fa6aa75548099dcc37d7f03425e0c3"},
  };
  for (const Vector& v : vectors) {
    EXPECT_EQ(derive(v.password, v.salt, v.iterations, static_cast<int>(v.expected.size() / 2)),
              v.expected)
        << "password length " << v.password.size() << ", " << v.iterations << " iterations";
  }
}

TEST(KeyDerivationTest, EmptyInputsMayBeNullAndBadArgumentsAreRejected) {
  Bytes fromNull(32);
  Bytes fromEmpty(32);
  const char* emptyText = "";
  keel::deriveKey_PKCS5_PBKDF2_HMAC_SHA1(nullptr, 0, nullptr, 0, 3, 32, fromNull.data());
  keel::deriveKey_PKCS5_PBKDF2_HMAC_SHA1(
      emptyText, 0, reinterpret_cast<const unsigned char*>(emptyText), 0, 3, 32, fromEmpty.data());
  EXPECT_EQ(fromNull, fromEmpty);
  EXPECT_NE(fromNull, Bytes(32, 0));
  // A key length of 0 writes nothing and accepts a null output.
  keel::deriveKey_PKCS5_PBKDF2_HMAC_SHA1("pw", 2, nullptr, 0, 1, 0, nullptr);

  unsigned char key[20];
  const unsigned char salt[4] = {1, 2, 3, 4};
  EXPECT_THROW(keel::deriveKey_PKCS5_PBKDF2_HMAC_SHA1("pw", 2, salt, 4, 0, 20, key),
               zel::CInvalidArgError);
  EXPECT_THROW(keel::deriveKey_PKCS5_PBKDF2_HMAC_SHA1("pw", 2, salt, 4, 1, -1, key),
               zel::CInvalidArgError);
  EXPECT_THROW(keel::deriveKey_PKCS5_PBKDF2_HMAC_SHA1(nullptr, 2, salt, 4, 1, 20, key),
               zel::CInvalidArgError);
  EXPECT_THROW(keel::deriveKey_PKCS5_PBKDF2_HMAC_SHA1("pw", 2, salt, 4, 1, 20, nullptr),
               zel::CInvalidArgError);
}
