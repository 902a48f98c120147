#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <filesystem>
#include <string>

#include "fleck/CFleckDiskAuxFileBase.h"
#include "support/TempFolder.h"
#include "zel/CError.h"
#include "zel/CFileSystemError.h"
#include "zel/CInvalidArgError.h"
#include "zel/CLocalFileSystem.h"

namespace fleck {
namespace {

using fleck::test::readFile;
using fleck::test::TempFolder;
using fleck::test::writeFile;

std::string md5Of(const std::string& bytes) {
  unsigned char digest[16];
  EVP_Digest(bytes.data(), bytes.size(), digest, nullptr, EVP_md5(), nullptr);
  return std::string(reinterpret_cast<const char*>(digest), 16);
}

zel::TBuffer<unsigned char> bufferOf(const std::string& bytes) {
  return zel::TBuffer<unsigned char>(reinterpret_cast<const unsigned char*>(bytes.data()),
                                     bytes.size());
}

std::string textOf(const zel::TBuffer<unsigned char>& buffer) {
  return std::string(reinterpret_cast<const char*>(buffer.getData()), buffer.getUsed());
}

class AuxFileTest : public ::testing::Test {
 protected:
  void store(const std::string& payload) {
    CFleckDiskAuxFileBase::storeAuxFile(fs, folder.uri(), "x.meta", bufferOf(payload));
  }
  std::string load() {
    return textOf(*CFleckDiskAuxFileBase::loadAuxFile(fs, folder.uri(), "x.meta"));
  }
  std::string primary() const { return folder.path() + "/x.meta"; }
  std::string fallback() const { return folder.path() + "/fallback/x.meta"; }

  // Expects load() to fail with `message` and the primary copy's "uri".
  void expectLoadError(const std::string& message) {
    try {
      load();
      FAIL() << "load succeeded";
    } catch (const zel::CError& e) {
      EXPECT_EQ(e.getMessage().toUTF8(), message);
      EXPECT_EQ(e.getProps().lookup("uri"), (folder.uri() << "x.meta").toString(true));
    }
  }

  TempFolder folder;
  zel::P<zel::IFileSystem> fs = zel::make<zel::CLocalFileSystem>();
};

TEST_F(AuxFileTest, StoresPayloadAndDigestTwiceAndLoadsItBack) {
  store("header record");
  const std::string expected = "header record" + md5Of("header record");
  EXPECT_EQ(readFile(primary()), expected);
  EXPECT_EQ(readFile(fallback()), expected);
  EXPECT_EQ(load(), "header record");

  // Rewriting with a shorter payload leaves no stale bytes in either copy.
  store("short");
  EXPECT_EQ(readFile(primary()), "short" + md5Of("short"));
  EXPECT_EQ(readFile(fallback()), "short" + md5Of("short"));
  EXPECT_EQ(load(), "short");
}

TEST_F(AuxFileTest, FallsBackWhenThePrimaryIsMissingOrDamaged) {
  store("payload");
  std::filesystem::remove(primary());
  EXPECT_EQ(load(), "payload");

  store("payload");
  std::string damaged = readFile(primary());
  damaged[3] ^= 0x01;
  writeFile(primary(), damaged);
  EXPECT_EQ(load(), "payload");
  // Reading does not repair the damaged copy.
  EXPECT_EQ(readFile(primary()), damaged);

  writeFile(primary(), std::string(8, 'x'));  // too short
  EXPECT_EQ(load(), "payload");
}

TEST_F(AuxFileTest, ReportsThePrimaryCopysErrorWhenBothFail) {
  store("payload");
  std::string damaged = readFile(primary());
  damaged[0] ^= 0x20;
  writeFile(primary(), damaged);
  writeFile(fallback(), std::string(5, 'y'));  // a size error, different from the primary's
  expectLoadError("Fleckdisk auxiliary file is corrupted.");
}

TEST_F(AuxFileTest, MissingFileIsTheFileSystemsNotFoundErrorOfThePrimary) {
  try {
    load();
    FAIL() << "load succeeded";
  } catch (const zel::CFileSystemError& e) {
    EXPECT_EQ(e.getProblem(), zel::CFileSystemError::NotFound);
    EXPECT_EQ(e.getProps().lookup("uri"), (folder.uri() << "x.meta").toString(true));
  }
}

TEST_F(AuxFileTest, FileSizeLimits) {
  std::filesystem::create_directories(folder.path() + "/fallback");
  // 16 bytes: nothing but a digest.
  writeFile(primary(), md5Of(""));
  expectLoadError("Bad fleckdisk auxiliary file size: 16");

  // 17 bytes: a one-byte payload.
  writeFile(primary(), "z" + md5Of("z"));
  EXPECT_EQ(load(), "z");

  // Exactly the largest file, and one byte more.
  const std::string largest(CFleckDiskAuxFileBase::kMaxFileLength - 16, 'a');
  writeFile(primary(), largest + md5Of(largest));
  EXPECT_EQ(load().size(), largest.size());
  const std::string tooLarge = largest + "a";
  writeFile(primary(), tooLarge + md5Of(tooLarge));
  expectLoadError("Bad fleckdisk auxiliary file size: 1048577");
}

TEST_F(AuxFileTest, RefusesPayloadsThatCouldNotBeLoaded) {
  EXPECT_THROW(store(""), zel::CInvalidArgError);
  EXPECT_THROW(store(std::string(CFleckDiskAuxFileBase::kMaxFileLength - 15, 'a')),
               zel::CInvalidArgError);
  EXPECT_FALSE(std::filesystem::exists(primary()));
  store(std::string(CFleckDiskAuxFileBase::kMaxFileLength - 16, 'a'));
  EXPECT_EQ(load().size(), CFleckDiskAuxFileBase::kMaxFileLength - 16);
}

TEST_F(AuxFileTest, StoringWhenTheFallbackFolderExistsRewritesBothCopies) {
  std::filesystem::create_directories(folder.path() + "/fallback");
  writeFile(fallback(), "stale");
  store("fresh");
  EXPECT_EQ(readFile(primary()), "fresh" + md5Of("fresh"));
  EXPECT_EQ(readFile(fallback()), "fresh" + md5Of("fresh"));
  // A copy index other than 0 names the fallback.
  EXPECT_EQ(CFleckDiskAuxFileBase::getAuxFileURI(folder.uri(), "x.meta", 2), folder.uri()
                                                                                 << "fallback"
                                                                                 << "x.meta");
}

}  // namespace
}  // namespace fleck
