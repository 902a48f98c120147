#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <random>
#include <string>

#include "fleck/CFleckDataPreparer.h"
#include "fleck/CFleckDiskHeader.h"
#include "zel/CInvalidArgError.h"

namespace fleck {
namespace {

using Buffer = zel::TBuffer<unsigned char>;
using Key = zel::TCryptBuffer<unsigned char>;

constexpr int kFleckSize = 65536;

CFleckDiskHeader header(const char* compressID, const char* cipherID, int fleckSize = kFleckSize) {
  CFleckDiskHeader h;
  h.setCompressID(compressID);
  h.setCipherID(cipherID);
  h.setFleckSize(fleckSize);
  return h;
}

Key key(unsigned char seed) {
  Key k;
  k.setUsed(32);
  for (int i = 0; i < 32; ++i)
    k.getData()[i] = static_cast<unsigned char>(seed + i);
  return k;
}

Buffer payload(std::size_t size, unsigned seed, bool compressible) {
  Buffer b;
  b.setUsed(size);
  std::mt19937 random(seed);
  for (std::size_t i = 0; i < size; ++i) {
    b.getData()[i] = compressible
                         ? static_cast<unsigned char>("fleck payload "[i % 14] + (i / 4096) % 3)
                         : static_cast<unsigned char>(random());
  }
  return b;
}

Buffer md5(const unsigned char* data, std::size_t n) {
  Buffer out;
  out.setUsed(16);
  EVP_Digest(data, n, out.getData(), nullptr, EVP_md5(), nullptr);
  return out;
}

std::string unprepareMessage(CFleckDataPreparer& preparer, const Buffer& record) {
  Buffer out;
  try {
    preparer.unprepareData(record, out);
  } catch (const zel::CError& e) {
    return e.getMessage().toUTF8();
  }
  return "no error";
}

// Recomputes the record digest after a change, so that the later checks are reached.
void fixRecordDigest(Buffer& record) {
  const Buffer digest = md5(record.getData(), record.getUsed() - 16);
  std::memcpy(record.getData() + record.getUsed() - 16, digest.getData(), 16);
}

TEST(PreparerTest, EveryCompressorRoundTripsWithAndWithoutEncryption) {
  // The compressors themselves are tested in the compress folder; here each family.
  const char* compressors[] = {"null", "zlib-0", "zlib-9", "lz4hc", "lzma-6-1"};
  for (const char* cipherID : {"null", "aes256cbc"}) {
    for (const char* compressID : compressors) {
      SCOPED_TRACE(std::string(compressID) + "/" + cipherID);
      CFleckDataPreparer preparer(header(compressID, cipherID), key(7));
      for (const Buffer& input :
           {payload(0, 1, false), payload(1, 2, false), payload(kFleckSize, 3, false),
            payload(kFleckSize, 4, true), payload(1000, 5, true)}) {
        Buffer record, output;
        preparer.prepareData(input, record);
        preparer.unprepareData(record, output);
        EXPECT_TRUE(output == input);
      }
    }
  }
}

TEST(PreparerTest, NullNullRecordLayout) {
  CFleckDataPreparer preparer(header("null", "null"), Key());
  const Buffer input = payload(100, 9, false);
  Buffer record;
  preparer.prepareData(input, record);
  ASSERT_EQ(record.getUsed(), 9u + 16 + 100 + 16);
  EXPECT_EQ(std::memcmp(record.getData(), "FLECK\x01\x00\x01\x00", 9), 0);
  EXPECT_TRUE(Buffer(record.getData() + 9, 16) == md5(input.getData(), 100));
  EXPECT_EQ(std::memcmp(record.getData() + 25, input.getData(), 100), 0);
  EXPECT_TRUE(Buffer(record.getData() + 125, 16) == md5(record.getData(), 125));
}

TEST(PreparerTest, AnySingleByteFlipIsCaughtAsCorruption) {
  for (const char* cipherID : {"null", "aes256cbc"}) {
    CFleckDataPreparer preparer(header("lz4", cipherID), key(1));
    Buffer record;
    preparer.prepareData(payload(300, 11, true), record);
    for (std::size_t i = 0; i < record.getUsed(); ++i) {
      Buffer damaged(record);
      damaged.getData()[i] ^= 0x40;
      ASSERT_EQ(unprepareMessage(preparer, damaged), "Fleck file is corrupted.") << "byte " << i;
    }
    Buffer truncated(record.getData(), record.getUsed() - 1);
    EXPECT_EQ(unprepareMessage(preparer, truncated), "Fleck file is corrupted.");
  }
}

TEST(PreparerTest, ChecksRunInOrderBehindTheRecordDigest) {
  CFleckDataPreparer preparer(header("null", "null"), Key());
  Buffer record;
  preparer.prepareData(payload(50, 12, false), record);

  Buffer badMagic(record);
  badMagic.getData()[0] = 'X';
  fixRecordDigest(badMagic);
  EXPECT_EQ(unprepareMessage(preparer, badMagic), "Invalid ID in fleck data.");

  Buffer newer(record);
  newer.getData()[5] = 2;  // minReadVersion
  fixRecordDigest(newer);
  Buffer out;
  try {
    preparer.unprepareData(newer, out);
    FAIL();
  } catch (const zel::CError& e) {
    EXPECT_EQ(e.getMessage(), zel::String("Newer software version required to read fleck data."));
    ASSERT_EQ(e.getProps().size(), 3u);
    EXPECT_EQ(e.getProps()[0].second, zel::String("CFleckDataPreparer::unprepareData"));
    EXPECT_EQ(e.getProps()[1].first, zel::String("minReadVersion"));
    EXPECT_EQ(e.getProps()[1].second, zel::String("2"));
    EXPECT_EQ(e.getProps()[2].first, zel::String("writeVersion"));
  }

  Buffer payloadChanged(record);
  payloadChanged.getData()[30] ^= 1;
  fixRecordDigest(payloadChanged);
  EXPECT_EQ(unprepareMessage(preparer, payloadChanged),
            "Decrypted and decompressed fleck data does not match hash.");

  // Shorter than a head and two digests, with a valid record digest.
  Buffer tiny(record.getData(), 20);
  tiny.setUsed(36);
  fixRecordDigest(tiny);
  EXPECT_EQ(unprepareMessage(preparer, tiny), "Invalid size of prepared fleck data.");

  EXPECT_EQ(unprepareMessage(preparer, Buffer()), "Fleck file is corrupted.");
  EXPECT_EQ(unprepareMessage(preparer, Buffer(record.getData(), 15)), "Fleck file is corrupted.");
}

TEST(PreparerTest, RecordWithNoCipherTextReachesTheCipherWithZeroBytes) {
  CFleckDataPreparer preparer(header("null", "null"), Key());
  Buffer record(reinterpret_cast<const unsigned char*>("FLECK\x01\x00\x01\x00"), 9);
  const Buffer empty = md5(nullptr, 0);
  record.append(empty.getData(), 16);
  const Buffer whole = md5(record.getData(), record.getUsed());
  record.append(whole.getData(), 16);
  Buffer out(payload(10, 1, false));
  preparer.unprepareData(record, out);
  EXPECT_EQ(out.getUsed(), 0u);
}

TEST(PreparerTest, PayloadSizeLimit) {
  CFleckDataPreparer preparer(header("lz4", "null", 4096), Key());
  Buffer record, output;
  preparer.prepareData(payload(4096, 1, false), record);
  preparer.unprepareData(record, output);
  EXPECT_EQ(output.getUsed(), 4096u);

  Buffer kept(reinterpret_cast<const unsigned char*>("old"), 3);
  try {
    preparer.prepareData(payload(4097, 1, false), kept);
    FAIL();
  } catch (const zel::CInvalidArgError& e) {
    EXPECT_EQ(e.getMessage(), zel::String("source buffer is bigger than fleck size (4097)."));
    EXPECT_EQ(e.getSource(), zel::String("CFleckDataPreparer::prepareData"));
  }
  EXPECT_TRUE(kept == Buffer(reinterpret_cast<const unsigned char*>("old"), 3));
}

TEST(PreparerTest, RecordOfOneKeyFailsUnderAnother) {
  CFleckDataPreparer writer(header("lz4", "aes256cbc"), key(1));
  CFleckDataPreparer reader(header("lz4", "aes256cbc"), key(2));
  Buffer record, output;
  writer.prepareData(payload(kFleckSize, 5, true), record);
  EXPECT_THROW(reader.unprepareData(record, output), zel::CError);
  // Two preparers with the same header and key read each other's records.
  CFleckDataPreparer twin(header("lz4", "aes256cbc"), key(1));
  twin.unprepareData(record, output);
  EXPECT_TRUE(output == payload(kFleckSize, 5, true));
}

TEST(PreparerTest, CompressorGrammar) {
  auto message = [](const char* id) -> std::string {
    try {
      CFleckDataPreparer preparer(header(id, "null"), Key());
    } catch (const zel::CError& e) {
      return e.getMessage().toUTF8();
    }
    return "ok";
  };
  for (const char* id : {"null", "lz4", "lz4hc", "zlib-6", "lzma-9", "lzma-5-2"}) {
    EXPECT_EQ(message(id), "ok") << id;
  }
  for (const char* id : {"lz4x", "LZ4", "zlib", ""}) {
    EXPECT_EQ(message(id), std::string("Unknown compressor ID: ") + id);
  }
  // Malformed numbers fail in the number parser.
  for (const char* id : {"zlib-", "lzma-5-", "zlib-x"})
    EXPECT_NE(message(id), "ok") << id;
}

}  // namespace
}  // namespace fleck
