#include <gtest/gtest.h>

#include <filesystem>

#include "fleck/CFleckDisk.h"
#include "fleck/CFleckDiskError.h"
#include "fleck/CFleckDiskHeader.h"
#include "fleck/CFleckDiskLink.h"
#include "support/TempFolder.h"
#include "zel/CBufferStream.h"
#include "zel/CDataOutStream.h"
#include "zel/CLocalFileSystem.h"

namespace fleck {
namespace {

using fleck::test::readFile;
using fleck::test::TempFolder;

zel::TBuffer<unsigned char> bytes(std::initializer_list<unsigned char> list) {
  return zel::TBuffer<unsigned char>(list.begin(), list.size());
}

// Writes a header record by hand, for values the class would not produce.
void storeRawHeader(zel::IFileSystem* fs, const zel::CURI& folder, std::int64_t version,
                    std::int64_t minReader, const std::string& trailer = std::string()) {
  auto stream = zel::make<zel::CBufferStream>();
  zel::CDataOutStream out(stream);
  out.write("FLCKDISK", 8, nullptr);
  out.writeInt64(version);
  out.writeInt64(minReader);
  out.writeInt64(1);
  out.writeInt32(65536);
  out.writeInt32(512);
  out.writeInt64(1 << 20);
  out.writeString("md5");
  out.writeString("sha256");
  out.writeString("null");
  out.writeInt32(0);
  out.writeString("zlib-6");
  out.writeString("PKCS5-PBKDF2-HMAC-SHA1");
  out.writeInt32(0);
  out.writeInt64(10000);
  out.write(trailer.data(), static_cast<int>(trailer.size()), nullptr);
  CFleckDiskAuxFileBase::storeAuxFile(fs, folder, "disk.fleckdisk", *stream->getBuffer());
}

class HeaderLinkTest : public ::testing::Test {
 protected:
  TempFolder folder;
  zel::P<zel::IFileSystem> fs = zel::make<zel::CLocalFileSystem>();
};

TEST_F(HeaderLinkTest, HeaderRoundTripsEveryStoredField) {
  CFleckDiskHeader header;
  header.setVersion(3);
  header.setMinReaderVersion(1);
  header.setMinWriterVersion(2);  // only the disk checks this, when opening for writing
  header.setFleckSize(65536);
  header.setPayloadBlockSize(4096);
  header.setDiskSize(123456789012345);
  header.setCheckSumHashID("sha256");
  header.setCryptoHashID("md5");
  header.setCipherID("aes256cbc");
  header.setCipherKeyHash(bytes({1, 2, 3}));
  header.setCipherKeyDeriverID("PKCS5-PBKDF2-HMAC-SHA1");
  header.setCipherKeyDerivationSalt(bytes({9, 8, 7, 6, 5, 4, 3, 2}));
  header.setCipherKeyDerivationIterations(20000);
  header.setCompressID("lzma-5-2");
  header.setObjectsPerTreeLevel(16);
  header.setTreeLevels(3);
  header.store(fs, folder.uri());

  CFleckDiskHeader loaded;
  loaded.load(fs, folder.uri());
  EXPECT_EQ(loaded.getVersion(), 3);
  EXPECT_EQ(loaded.getMinReaderVersion(), 1);
  EXPECT_EQ(loaded.getMinWriterVersion(), 2);
  EXPECT_EQ(loaded.getFleckSize(), 65536);
  EXPECT_EQ(loaded.getPayloadBlockSize(), 4096);
  EXPECT_EQ(loaded.getDiskSize(), 123456789012345);
  EXPECT_EQ(loaded.getCheckSumHashID(), zel::String("sha256"));
  EXPECT_EQ(loaded.getCryptoHashID(), zel::String("md5"));
  EXPECT_EQ(loaded.getCipherID(), zel::String("aes256cbc"));
  EXPECT_EQ(loaded.getCipherKeyHash(), bytes({1, 2, 3}));
  EXPECT_EQ(loaded.getCipherKeyDerivationSalt(), bytes({9, 8, 7, 6, 5, 4, 3, 2}));
  EXPECT_EQ(loaded.getCipherKeyDerivationIterations(), 20000);
  EXPECT_EQ(loaded.getCompressID(), zel::String("lzma-5-2"));
  // The tree geometry is not part of the record.
  EXPECT_EQ(loaded.getObjectsPerTreeLevel(), 97);
  EXPECT_EQ(loaded.getTreeLevels(), 5);
}

TEST_F(HeaderLinkTest, HeaderRecordLayout) {
  CFleckDiskHeader header;
  header.setDiskSize(0x0102030405);
  header.setCipherID("null");
  header.store(fs, folder.uri());
  const std::string file = readFile(folder.path() + "/disk.fleckdisk");
  const std::string expectedHead =
      std::string("FLCKDISK") + std::string("\x01\0\0\0\0\0\0\0", 8) +  // version
      std::string("\x01\0\0\0\0\0\0\0", 8) +                            // minReaderVersion
      std::string("\x01\0\0\0\0\0\0\0", 8) +                            // minWriterVersion
      std::string("\0\0\x08\0", 4) +                                    // fleckSize 0x80000
      std::string("\x01\0\0\0", 4) +                                    // payloadBlockSize
      std::string("\x05\x04\x03\x02\x01\0\0\0", 8) +                    // diskSize
      std::string("\x03\0\0\0md5", 7) + std::string("\x06\0\0\0sha256", 10) +
      std::string("\x04\0\0\0null", 8) + std::string("\0\0\0\0", 4) +  // empty key hash
      std::string("\x03\0\0\0lz4", 7) + std::string("\x16\0\0\0PKCS5-PBKDF2-HMAC-SHA1", 26) +
      std::string("\0\0\0\0", 4) + std::string("\x10\x27\0\0\0\0\0\0", 8);  // 10,000 iterations
  ASSERT_EQ(file.size(), expectedHead.size() + 16);
  EXPECT_EQ(file.substr(0, expectedHead.size()), expectedHead);
}

TEST_F(HeaderLinkTest, ReaderVersionIsCheckedBeforeTheRestIsRead) {
  storeRawHeader(fs, folder.uri(), 1, 2);
  CFleckDiskHeader header;
  try {
    header.load(fs, folder.uri());
    FAIL() << "loaded a header that needs a newer reader";
  } catch (const CFleckDiskError& e) {
    EXPECT_EQ(e.getCode(), CFleckDiskError::NewerVersionRequired);
    EXPECT_EQ(e.getDiskFolder(), folder.uri());
  }
  // Nothing after the reader version was assigned.
  EXPECT_EQ(header.getFleckSize(), 0x80000);
  EXPECT_EQ(header.getMinReaderVersion(), 2);
}

TEST_F(HeaderLinkTest, VersionKeepsTheLow32BitsAndTrailingBytesAreIgnored) {
  storeRawHeader(fs, folder.uri(), (std::int64_t{7} << 32) | 5, 1, "extra bytes");
  CFleckDiskHeader header;
  header.load(fs, folder.uri());
  EXPECT_EQ(header.getVersion(), 5);
  EXPECT_EQ(header.getFleckSize(), 65536);
  EXPECT_EQ(header.getCompressID(), zel::String("zlib-6"));
  EXPECT_EQ(header.getCipherKeyDerivationIterations(), 10000);
}

TEST_F(HeaderLinkTest, TruncatedHeaderRecordFails) {
  auto stream = zel::make<zel::CBufferStream>();
  zel::CDataOutStream out(stream);
  out.write("FLCKDISK", 8, nullptr);
  out.writeInt64(1);
  out.writeInt64(1);
  CFleckDiskAuxFileBase::storeAuxFile(fs, folder.uri(), "disk.fleckdisk", *stream->getBuffer());
  CFleckDiskHeader header;
  EXPECT_THROW(header.load(fs, folder.uri()), zel::CIOError);
}

TEST_F(HeaderLinkTest, LinkRoundTripsItsTargetAsGiven) {
  for (const zel::CURI& target : {zel::CURI(), zel::CURI("../sibling/disk"),
                                  zel::CURI("/abs/disk 1"), zel::CURI("s3://bucket/p/q")}) {
    CFleckDiskLink link;
    link.setTargetURI(target);
    link.store(fs, folder.uri(), "parent.flecklnk");
    CFleckDiskLink loaded;
    loaded.setTargetURI(zel::CURI("/previous"));
    loaded.load(fs, folder.uri(), "parent.flecklnk");
    EXPECT_EQ(loaded.getTargetURI(), target);
    EXPECT_EQ(loaded.getTargetURI().toString(true), target.toString(true));
  }
}

TEST_F(HeaderLinkTest, WrongMagicsAreReportedAndLeaveTheObjectUnchanged) {
  CFleckDiskHeader header;
  header.store(fs, folder.uri());
  CFleckDiskLink link;
  link.setTargetURI(zel::CURI("/kept"));
  try {
    link.load(fs, folder.uri(), "disk.fleckdisk");
    FAIL();
  } catch (const zel::CError& e) {
    EXPECT_EQ(e.getMessage(),
              zel::String("fleckdisk link file does not start with correct file ID."));
  }
  EXPECT_EQ(link.getTargetURI(), zel::CURI("/kept"));

  link.store(fs, folder.uri(), "disk.fleckdisk");
  try {
    header.load(fs, folder.uri());
    FAIL();
  } catch (const zel::CError& e) {
    EXPECT_EQ(e.getMessage(),
              zel::String("fleckdisk header file does not start with correct file ID."));
  }
}

}  // namespace
}  // namespace fleck
