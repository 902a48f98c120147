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

TEST(AES256CBCTest, RoundTripsWithRandomKeys) {
  const std::uint64_t seed = testSeed();
  SCOPED_TRACE(seedTrace(seed));
  zel::CMTRand random(seed);
  zel::P<ICipher> encryptor = makeAES();
  zel::P<ICipher> decryptor = makeAES();
  const std::size_t bound =
      static_cast<std::size_t>(encryptor->getExpansionLength1() + encryptor->getExpansionLength2());

  std::vector<std::size_t> lengths = {0, 1, 15, 16, 17, 31, 32, 33, 524288};
  for (int i = 0; i < 10; ++i)
    lengths.push_back(random.randBelow(3000));
  for (std::size_t length : lengths) {
    SCOPED_TRACE("length " + std::to_string(length));
    const Key key = randomKey(random, 32);
    const Bytes plain = randomBytes(random, length);
    const Bytes encrypted = encrypt(*encryptor, key, plain);
    EXPECT_EQ(encrypted.size(), encryptedLength(length));
    EXPECT_LE(encrypted.size(), length + bound);
    if (length >= 16) {
      EXPECT_EQ(std::search(encrypted.begin(), encrypted.end(), plain.begin(), plain.begin() + 16),
                encrypted.end())
          << "plain text shows in the output";
    }
    EXPECT_EQ(tryDecrypt(*decryptor, key, encrypted), plain);
  }
}

TEST(AES256CBCTest, EachEncryptionHasItsOwnIV) {
  zel::P<ICipher> cipher = makeAES();
  const Key key = keyFrom(Bytes(32, 7));
  const Bytes plain(100, 'x');
  const Bytes first = encrypt(*cipher, key, plain);
  const Bytes second = encrypt(*cipher, key, plain);
  EXPECT_NE(Bytes(first.begin(), first.begin() + 16), Bytes(second.begin(), second.begin() + 16));
  EXPECT_NE(first, second);
  EXPECT_EQ(tryDecrypt(*cipher, key, first), plain);
  EXPECT_EQ(tryDecrypt(*cipher, key, second), plain);
}

TEST(AES256CBCTest, RejectsBadArguments) {
  zel::P<ICipher> cipher = makeAES();
  const Bytes data(48, 1);
  Buffer out;
  for (std::size_t keyLength : {0, 1, 16, 31, 33, 64}) {
    const Key key = keyFrom(Bytes(keyLength, 3));
    EXPECT_THROW(cipher->encrypt(key, data.data(), data.size(), out, 1, 0), zel::CInvalidArgError)
        << keyLength;
    EXPECT_THROW(cipher->decrypt(key, data.data(), data.size(), out, 0, 0), zel::CInvalidArgError)
        << keyLength;
  }
  const Key key = keyFrom(Bytes(32, 3));
  for (int options : {1, -1, 0x100}) {
    EXPECT_THROW(cipher->encrypt(key, data.data(), data.size(), out, 1, options),
                 zel::CInvalidArgError);
    EXPECT_THROW(cipher->decrypt(key, data.data(), data.size(), out, 0, options),
                 zel::CInvalidArgError);
  }
  for (int outMode : {2, -1}) {
    EXPECT_THROW(cipher->encrypt(key, data.data(), data.size(), out, outMode, 0),
                 zel::CInvalidArgError);
  }
  EXPECT_THROW(cipher->encrypt(key, nullptr, 5, out, 1, 0), zel::CInvalidArgError);
  Key keyAndOut = keyFrom(Bytes(32, 3));
  EXPECT_THROW(cipher->encrypt(keyAndOut, data.data(), data.size(), keyAndOut, 1, 0),
               zel::CInvalidArgError);
  EXPECT_TRUE(out.isEmpty());
}

TEST(AES256CBCTest, WrongKeysFailOrGiveOtherPlainText) {
  const std::uint64_t seed = testSeed();
  SCOPED_TRACE(seedTrace(seed));
  zel::CMTRand random(seed);
  zel::P<ICipher> cipher = makeAES();
  const Key key = randomKey(random, 32);
  const Bytes plain = randomBytes(random, 1000);
  const Bytes encrypted = encrypt(*cipher, key, plain);

  // A random last block has valid padding about once in 256 tries; nearly every
  // wrong key must be caught.
  int caught = 0;
  const int tries = 200;
  for (int i = 0; i < tries; ++i) {
    const std::optional<Bytes> result = tryDecrypt(*cipher, randomKey(random, 32), encrypted);
    if (!result) {
      ++caught;
    } else {
      EXPECT_NE(*result, plain);
    }
  }
  EXPECT_GE(caught, tries * 9 / 10);
  // The object still works after the failures.
  EXPECT_EQ(tryDecrypt(*cipher, key, encrypted), plain);
}

TEST(AES256CBCTest, TruncatedInputFailsOrGivesOtherPlainText) {
  const std::uint64_t seed = testSeed();
  SCOPED_TRACE(seedTrace(seed));
  zel::CMTRand random(seed);
  zel::P<ICipher> cipher = makeAES();
  const Key key = randomKey(random, 32);

  // Too short to hold a vector and a block, whatever the bytes.
  for (std::size_t length = 0; length < 32; ++length) {
    EXPECT_FALSE(tryDecrypt(*cipher, key, randomBytes(random, length))) << length;
  }

  const Bytes plain = randomBytes(random, 100);
  const Bytes encrypted = encrypt(*cipher, key, plain);
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
}

TEST(AES256CBCTest, FlippedBytesFailOrGiveOtherPlainText) {
  const std::uint64_t seed = testSeed();
  SCOPED_TRACE(seedTrace(seed));
  zel::CMTRand random(seed);
  zel::P<ICipher> cipher = makeAES();
  const Key key = randomKey(random, 32);
  const Bytes plain = randomBytes(random, 40);  // 16 + 48 bytes: vector and three blocks
  const Bytes encrypted = encrypt(*cipher, key, plain);
  ASSERT_EQ(encrypted.size(), 64u);

  int lastBlockCaught = 0;
  int lastBlockTries = 0;
  for (std::size_t position = 0; position < encrypted.size(); ++position) {
    for (unsigned char mask : {0x01, 0x80, 0xff}) {
      SCOPED_TRACE("byte " + std::to_string(position) + " ^ " + std::to_string(mask));
      Bytes damaged = encrypted;
      damaged[position] ^= mask;
      const std::optional<Bytes> result = tryDecrypt(*cipher, key, damaged);
      if (result) {
        EXPECT_NE(*result, plain);
      }
      if (position >= 48) {
        ++lastBlockTries;
        if (!result) ++lastBlockCaught;
      }
    }
  }
  // A damaged last block decrypts to noise, whose padding is almost never valid.
  EXPECT_GE(lastBlockCaught, lastBlockTries - 4);
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

TEST(AES256CBCTest, AppendsOrReplaces) {
  zel::P<ICipher> cipher = makeAES();
  const Key key = keyFrom(Bytes(32, 1));
  const Bytes plain = toBytes(std::string("some plain text"));
  const Bytes prefix = toBytes(std::string("header"));

  Buffer out(prefix.data(), prefix.size());
  cipher->encrypt(key, plain.data(), plain.size(), out, ICipher::kAppend, 0);
  ASSERT_EQ(out.getUsed(), prefix.size() + encryptedLength(plain.size()));
  EXPECT_EQ(Bytes(out.getData(), out.getData() + prefix.size()), prefix);
  const Bytes encrypted(out.getData() + prefix.size(), out.getData() + out.getUsed());

  cipher->encrypt(key, plain.data(), plain.size(), out, ICipher::kReplace, 0);
  EXPECT_EQ(out.getUsed(), encryptedLength(plain.size()));

  cipher->decrypt(key, encrypted.data(), encrypted.size(), out, ICipher::kReplace, 0);
  EXPECT_EQ(toBytes(out), plain);
  cipher->decrypt(key, encrypted.data(), encrypted.size(), out, ICipher::kAppend, 0);
  Bytes twice = plain;
  twice.insert(twice.end(), plain.begin(), plain.end());
  EXPECT_EQ(toBytes(out), twice);
}

TEST(AES256CBCTest, InputMayLieInsideTheOutput) {
  zel::P<ICipher> cipher = makeAES();
  const Key key = keyFrom(Bytes(32, 4));
  const Bytes plain = toBytes(std::string(300, 'q'));

  // Appending grows the buffer while the input sits in it.
  Buffer out(plain.data(), plain.size());
  cipher->encrypt(key, out.getData(), out.getUsed(), out, ICipher::kAppend, 0);
  ASSERT_EQ(out.getUsed(), plain.size() + encryptedLength(plain.size()));
  EXPECT_EQ(Bytes(out.getData(), out.getData() + plain.size()), plain);

  // Decrypt the appended part in place, replacing everything.
  cipher->decrypt(key, out.getData() + plain.size(), out.getUsed() - plain.size(), out,
                  ICipher::kReplace, 0);
  EXPECT_EQ(toBytes(out), plain);

  cipher->encrypt(key, out.getData(), out.getUsed(), out, ICipher::kReplace, 0);
  cipher->decrypt(key, out.getData(), out.getUsed(), out, ICipher::kReplace, 0);
  EXPECT_EQ(toBytes(out), plain);
}

TEST(NullCipherTest, CopiesWithAnyKey) {
  keel::CCipher_Null cipher;
  EXPECT_EQ(cipher.getID(), zel::String("null"));
  EXPECT_EQ(cipher.getKeyLength(), 0);
  EXPECT_EQ(cipher.getExpansionLength1(), 0);
  EXPECT_EQ(cipher.getExpansionLength2(), 0);

  const Bytes data = toBytes(std::string("unchanged"));
  const Bytes prefix = toBytes(std::string(">>"));
  for (const Key& key : {Key(), keyFrom(Bytes(7, 1)), keyFrom(Bytes(32, 2))}) {
    Buffer out(prefix.data(), prefix.size());
    cipher.encrypt(key, data.data(), data.size(), out, ICipher::kAppend, 0);
    Bytes expected = prefix;
    expected.insert(expected.end(), data.begin(), data.end());
    EXPECT_EQ(toBytes(out), expected);

    cipher.decrypt(key, data.data(), data.size(), out, ICipher::kReplace, 0);
    EXPECT_EQ(toBytes(out), data);
    cipher.decrypt(key, nullptr, 0, out, ICipher::kReplace, 0);
    EXPECT_TRUE(out.isEmpty());
  }

  // In place.
  Buffer out(data.data(), data.size());
  cipher.encrypt(Key(), out.getData(), out.getUsed(), out, ICipher::kAppend, 0);
  EXPECT_EQ(out.getUsed(), 2 * data.size());
  cipher.decrypt(Key(), out.getData() + 2, 3, out, ICipher::kReplace, 0);
  EXPECT_EQ(toBytes(out), toBytes(std::string("cha")));

  EXPECT_THROW(cipher.encrypt(Key(), data.data(), data.size(), out, 1, 1), zel::CInvalidArgError);
  EXPECT_THROW(cipher.decrypt(Key(), data.data(), data.size(), out, 3, 0), zel::CInvalidArgError);
}

TEST(CipherManagerTest, FindsKnownCiphersAndNamesUnknownIds) {
  zel::P<ICipher> aes = keel::CCipherManager().getCipher("aes256cbc");
  EXPECT_EQ(aes->getID(), zel::String("aes256cbc"));
  EXPECT_EQ(aes->getKeyLength(), 32);
  EXPECT_EQ(aes->getExpansionLength1(), 16);
  EXPECT_EQ(aes->getExpansionLength2(), 16);
  EXPECT_EQ(keel::CCipherManager().getCipher("null")->getID(), zel::String("null"));
  // Each call makes its own object: ciphers are not shared between users.
  EXPECT_NE(keel::CCipherManager().getCipher("aes256cbc").get(), aes.get());

  for (const char* id : {"aes128cbc", "AES256CBC", "", "none"}) {
    try {
      keel::CCipherManager().getCipher(id);
      ADD_FAILURE() << "no error for \"" << id << "\"";
    } catch (const zel::CError& error) {
      EXPECT_NE(error.getMessage().find(L"\"" + zel::String(id) + L"\""), std::wstring::npos)
          << error.what();
      EXPECT_EQ(error.getProps().lookup("id"), zel::String(id));
    }
  }
}
