#include <gtest/gtest.h>
#include <openssl/err.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "KeelTestSupport.h"
#include "keel/CCipherManager.h"
#include "keel/CCipher_AES256CBC.h"
#include "keel/CCipher_Null.h"
#include "keel/CCryptoError.h"
#include "zel/CInvalidArgError.h"

using namespace keel_test;
using keel::ICipher;
using Key = zel::TCryptBuffer<unsigned char>;
using Buffer = zel::TBuffer<unsigned char>;

namespace {

Key keyFrom(const Bytes& bytes) {
  return Key(bytes.data(), bytes.size());
}

zel::P<ICipher> makeAES() {
  return keel::CCipherManager().getCipher("aes256cbc");
}

Bytes encrypt(ICipher& cipher, const Key& key, const Bytes& data) {
  Buffer out;
  cipher.encrypt(key, data.data(), data.size(), out, ICipher::kAppend, 0);
  return toBytes(out);
}

// The plain text, or nothing when decrypt threw zel::CError. Anything else (a crash,
// another exception) fails the test.
std::optional<Bytes> tryDecrypt(ICipher& cipher, const Key& key, const Bytes& data) {
  Buffer out;
  try {
    cipher.decrypt(key, data.data(), data.size(), out, ICipher::kReplace, 0);
  } catch (const zel::CError&) {
    return std::nullopt;
  }
  return toBytes(out);
}

std::size_t encryptedLength(std::size_t plainLength) {
  return 16 + (plainLength / 16 + 1) * 16;
}

}  // namespace

TEST(AES256CBCTest, MatchesTheNISTVectorWithAFixedIV) {
  // CBC-AES256.Encrypt from NIST SP 800-38A, F.2.5.
  const Bytes key = fromHex("603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4");
  const std::string ivHex = "000102030405060708090a0b0c0d0e0f";
  const Bytes plain = fromHex(
      "6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51"
      "30c81c46a35ce411e5fbc1191a0a52eff69f2445df4f9b17ad2b417be66c3710");
  const std::string expected =
      "f58c4c04d6e5f1ba779eabfb5f7bfbd69cfc4e967edb808d679f777bc6702c7d"
      "39f23369a9d9bacfa530e26304231461b2eb05e2c39be9fcda6c19078c6a9d1b";

  keel::CCipher_AES256CBC::FixedIVForTesting iv;
  std::memcpy(iv.bytes, fromHex(ivHex).data(), sizeof iv.bytes);
  keel::CCipher_AES256CBC cipher(iv);

  const Bytes out = encrypt(cipher, keyFrom(key), plain);
  // Vector, the four blocks of the example, and a whole block of padding.
  ASSERT_EQ(out.size(), 16u + 64u + 16u);
  EXPECT_EQ(toHex(out.data(), 16), ivHex);
  EXPECT_EQ(toHex(out.data() + 16, 64), expected);

  // Any object decrypts it: the vector travels with the cipher text.
  EXPECT_EQ(tryDecrypt(*makeAES(), keyFrom(key), out), plain);
}

TEST(AES256CBCTest, RoundTripsWithRandomKeysAndAFreshIVEachTime) {
  const std::uint64_t seed = testSeed();
  SCOPED_TRACE(seedTrace(seed));
  zel::CMTRand random(seed);
  zel::P<ICipher> encryptor = makeAES();
  zel::P<ICipher> decryptor = makeAES();
  std::vector<std::size_t> lengths = {0, 1, 15, 16, 17, 524288};
  for (int i = 0; i < 10; ++i)
    lengths.push_back(random.randBelow(3000));
  for (std::size_t length : lengths) {
    SCOPED_TRACE("length " + std::to_string(length));
    const Key key = randomKey(random, 32);
    const Bytes plain = randomBytes(random, length);
    const Bytes encrypted = encrypt(*encryptor, key, plain);
    EXPECT_EQ(encrypted.size(), encryptedLength(length));
    EXPECT_EQ(tryDecrypt(*decryptor, key, encrypted), plain);
    const Bytes again = encrypt(*encryptor, key, plain);
    EXPECT_NE(Bytes(again.begin(), again.begin() + 16),
              Bytes(encrypted.begin(), encrypted.begin() + 16));
  }
}

TEST(AES256CBCTest, RejectsBadArguments) {
  zel::P<ICipher> cipher = makeAES();
  const Bytes data(48, 1);
  Buffer out;
  for (std::size_t keyLength : {0, 31, 33}) {
    const Key key = keyFrom(Bytes(keyLength, 3));
    EXPECT_THROW(cipher->encrypt(key, data.data(), data.size(), out, 1, 0), zel::CInvalidArgError)
        << keyLength;
    EXPECT_THROW(cipher->decrypt(key, data.data(), data.size(), out, 0, 0), zel::CInvalidArgError)
        << keyLength;
  }
  Key key = keyFrom(Bytes(32, 3));
  EXPECT_THROW(cipher->encrypt(key, data.data(), data.size(), out, 1, 1), zel::CInvalidArgError);
  EXPECT_THROW(cipher->decrypt(key, data.data(), data.size(), out, 0, -1), zel::CInvalidArgError);
  EXPECT_THROW(cipher->encrypt(key, data.data(), data.size(), out, 2, 0), zel::CInvalidArgError);
  EXPECT_THROW(cipher->encrypt(key, nullptr, 5, out, 1, 0), zel::CInvalidArgError);
  EXPECT_THROW(cipher->encrypt(key, data.data(), data.size(), key, 1, 0), zel::CInvalidArgError);
  EXPECT_TRUE(out.isEmpty());
}

// Wrong keys, truncation and flipped bits must fail with a zel::CError or give other
// plain text; never the original, never a crash.
TEST(AES256CBCTest, DamagedInputFailsOrGivesOtherPlainText) {
  const std::uint64_t seed = testSeed();
  SCOPED_TRACE(seedTrace(seed));
  zel::CMTRand random(seed);
  zel::P<ICipher> cipher = makeAES();
  const Key key = randomKey(random, 32);
  const Bytes plain = randomBytes(random, 40);  // 16 + 48 bytes: vector and three blocks
  const Bytes encrypted = encrypt(*cipher, key, plain);
  ASSERT_EQ(encrypted.size(), 64u);

  // A random last block has valid padding about once in 256 tries.
  int caught = 0;
  for (int i = 0; i < 200; ++i) {
    const std::optional<Bytes> result = tryDecrypt(*cipher, randomKey(random, 32), encrypted);
    if (!result) {
      ++caught;
    } else {
      EXPECT_NE(*result, plain);
    }
  }
  EXPECT_GE(caught, 180);

  for (std::size_t length = 0; length < encrypted.size(); ++length) {
    SCOPED_TRACE("kept " + std::to_string(length) + " bytes");
    // An exact-size copy, so that AddressSanitizer sees any read past the end.
    const Bytes truncated(encrypted.begin(), encrypted.begin() + static_cast<long>(length));
    const std::optional<Bytes> result = tryDecrypt(*cipher, key, truncated);
    if (length < 32 || (length - 16) % 16 != 0) {
      EXPECT_FALSE(result);
    } else if (result) {
      EXPECT_NE(*result, plain);
    }
  }

  int lastBlockCaught = 0;
  for (std::size_t position = 0; position < encrypted.size(); ++position) {
    for (unsigned char mask : {0x01, 0x80}) {
      SCOPED_TRACE("byte " + std::to_string(position) + " ^ " + std::to_string(mask));
      Bytes damaged = encrypted;
      damaged[position] ^= mask;
      const std::optional<Bytes> result = tryDecrypt(*cipher, key, damaged);
      if (result) {
        EXPECT_NE(*result, plain);
      }
      if (position >= 48 && !result) ++lastBlockCaught;
    }
  }
  EXPECT_GE(lastBlockCaught, 32 - 3);
  // The object still works after the failures.
  EXPECT_EQ(tryDecrypt(*cipher, key, encrypted), plain);
}

TEST(AES256CBCTest, FailureLeavesOutputAsBeforeAndReportsOpenSSL) {
  zel::P<ICipher> cipher = makeAES();
  const Key key = keyFrom(Bytes(32, 9));
  const Bytes encrypted = encrypt(*cipher, key, Bytes(5000, 'p'));
  const Bytes prefix = toBytes(std::string("kept"));

  // Damage the last block so that its padding fails (nearly every change does); the
  // blocks before it still decrypt to the genuine plain text.
  Bytes damaged = encrypted;
  do {
    ++damaged.back();
  } while (tryDecrypt(*cipher, key, damaged));

  Buffer out(6000);
  std::memset(out.getFreePtr(6000), 0, 6000);
  out.assign(prefix.data(), prefix.size());
  try {
    cipher->decrypt(key, damaged.data(), damaged.size(), out, ICipher::kAppend, 0);
    FAIL() << "no error";
  } catch (const keel::CCryptoError& error) {
    EXPECT_FALSE(error.getProps().lookup("openssl").empty()) << error.what();
    EXPECT_EQ(error.getProps().lookup("length"), zel::String("5024"));
    EXPECT_NE(error.getCode(), -1);
  }
  EXPECT_EQ(ERR_peek_error(), 0u) << "OpenSSL error queue left filled";
  EXPECT_EQ(toBytes(out), prefix);
  ASSERT_EQ(out.getCapacity(), 6000u);
  const Bytes spare(out.getData() + out.getUsed(), out.getData() + out.getCapacity());
  EXPECT_EQ(std::count(spare.begin(), spare.end(), 'p'), 0) << "plain text left in spare room";

  out.assign(prefix.data(), prefix.size());
  EXPECT_THROW(cipher->decrypt(key, damaged.data(), damaged.size(), out, ICipher::kReplace, 0),
               zel::CError);
  EXPECT_TRUE(out.isEmpty());

  out.assign(prefix.data(), prefix.size());
  EXPECT_THROW(cipher->decrypt(key, encrypted.data(), 40, out, ICipher::kAppend, 0),
               keel::CCryptoError);
  EXPECT_EQ(toBytes(out), prefix);
}

TEST(AES256CBCTest, AppendsOrReplacesAndInputMayLieInsideTheOutput) {
  zel::P<ICipher> cipher = makeAES();
  const Key key = keyFrom(Bytes(32, 4));
  const Bytes plain = toBytes(std::string(300, 'q'));

  // Appending grows the buffer while the input sits in it.
  Buffer out(plain.data(), plain.size());
  cipher->encrypt(key, out.getData(), out.getUsed(), out, ICipher::kAppend, 0);
  ASSERT_EQ(out.getUsed(), plain.size() + encryptedLength(plain.size()));
  EXPECT_EQ(Bytes(out.getData(), out.getData() + plain.size()), plain);
  const Bytes encrypted(out.getData() + plain.size(), out.getData() + out.getUsed());

  // Decrypt the appended part in place, replacing everything.
  cipher->decrypt(key, out.getData() + plain.size(), out.getUsed() - plain.size(), out,
                  ICipher::kReplace, 0);
  EXPECT_EQ(toBytes(out), plain);
  cipher->decrypt(key, encrypted.data(), encrypted.size(), out, ICipher::kAppend, 0);
  EXPECT_EQ(out.getUsed(), 2 * plain.size());

  cipher->encrypt(key, out.getData(), out.getUsed(), out, ICipher::kReplace, 0);
  cipher->decrypt(key, out.getData(), out.getUsed(), out, ICipher::kReplace, 0);
  EXPECT_EQ(out.getUsed(), 2 * plain.size());
}

TEST(NullCipherTest, CopiesWithAnyKey) {
  keel::CCipher_Null cipher;
  EXPECT_EQ(cipher.getExpansionLength1() + cipher.getExpansionLength2(), 0);
  const Bytes data = toBytes(std::string("unchanged"));
  for (const Key& key : {Key(), keyFrom(Bytes(32, 2))}) {
    Buffer out(data.data(), data.size());
    cipher.encrypt(key, out.getData(), out.getUsed(), out, ICipher::kAppend, 0);  // in place
    EXPECT_EQ(toBytes(out), toBytes(std::string("unchangedunchanged")));
    cipher.decrypt(key, out.getData() + 2, 3, out, ICipher::kReplace, 0);
    EXPECT_EQ(toBytes(out), toBytes(std::string("cha")));
  }
  Buffer out;
  EXPECT_THROW(cipher.encrypt(Key(), data.data(), data.size(), out, 1, 1), zel::CInvalidArgError);
}

TEST(CipherManagerTest, FindsKnownCiphersAndNamesUnknownIds) {
  zel::P<ICipher> aes = keel::CCipherManager().getCipher("aes256cbc");
  EXPECT_EQ(aes->getKeyLength(), 32);
  EXPECT_EQ(aes->getExpansionLength1(), 16);
  EXPECT_EQ(aes->getExpansionLength2(), 16);
  EXPECT_EQ(keel::CCipherManager().getCipher("null")->getID(), zel::String("null"));
  // Each call makes its own object: ciphers are not shared between users.
  EXPECT_NE(keel::CCipherManager().getCipher("aes256cbc").get(), aes.get());

  for (const char* id : {"aes128cbc", "AES256CBC", ""}) {
    try {
      keel::CCipherManager().getCipher(id);
      ADD_FAILURE() << "no error for \"" << id << "\"";
    } catch (const zel::CError& error) {
      EXPECT_EQ(error.getProps().lookup("id"), zel::String(id));
    }
  }
}
