// Bad input for the library: the same damaged folders opened through CFleckDisk, and
// calls with sizes and positions out of range. Each must throw an error that says
// what is wrong (a zel::CError, of the class the contract names) and leave the
// folder exactly as it was.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <functional>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "badinput/BadDisks.h"
#include "fleck/CFleckDisk.h"
#include "fleck/CFleckDiskError.h"
#include "support/FolderSnapshot.h"
#include "support/TempFolder.h"
#include "zel/CIOError.h"
#include "zel/CInvalidArgError.h"
#include "zel/CLocalFileSystem.h"
#include "zel/Log.h"

namespace fleck::badinput {
namespace {

using fleck::test::TempFolder;

std::string lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

zel::CURI uri(const std::string& path) {
  return zel::CURI::fromLocalPath(path);
}

class LibraryBadInputTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    root = std::make_unique<TempFolder>();
    disks = std::make_unique<BadDisks>(root->path() + "/disks");
  }
  static void TearDownTestSuite() {
    std::cout << "[ bad input ] " << tried << " bad inputs tried on the library\n";
    disks.reset();
    root.reset();
  }

  static std::string scopeOf(const std::string& disk) {
    const std::string base = disks->root() + "/";
    const std::size_t end = disk.find('/', base.size());
    return end == std::string::npos ? disk : disk.substr(0, end);
  }

  // Runs `action`, which must throw an ErrorClass whose text says every one of `says`,
  // and checks that the case's folder did not change.
  template <class ErrorClass = zel::CError>
  void expectError(const std::string& what, const std::string& folder,
                   const std::function<void()>& action, const std::vector<std::string>& says) {
    SCOPED_TRACE(what);
    ++tried;
    const std::string scope = folder.empty() ? disks->root() : scopeOf(folder);
    const auto before = fleck::test::snapshotFolder(scope);
    try {
      action();
      ADD_FAILURE() << "no error";
    } catch (const ErrorClass& e) {
      const std::string text = lower(e.what());
      for (const std::string& words : says) {
        EXPECT_NE(text.find(lower(words)), std::string::npos)
            << "the error does not say \"" << words << "\": " << e.what();
      }
    } catch (const std::exception& e) {
      ADD_FAILURE() << "an error of another class: " << e.what();
    }
    EXPECT_EQ(fleck::test::describeDifferences(before, fleck::test::snapshotFolder(scope)), "")
        << "the folder changed";
  }

  // Opening for reading and for writing must both fail.
  void expectOpenFails(const BadDisks::Case& c, const std::vector<std::string>& says,
                       const char* password = "") {
    for (const auto access : {zel::IIOStream::AccessRead, zel::IIOStream::AccessReadWrite}) {
      expectError(
          c.name + (access == zel::IIOStream::AccessRead ? " (read)" : " (write)"), c.disk,
          [&] { CFleckDisk disk(fs, uri(c.disk), password, access, 1); }, says);
    }
  }

  zel::P<zel::IFileSystem> fs = zel::make<zel::CLocalFileSystem>();
  static std::unique_ptr<TempFolder> root;
  static std::unique_ptr<BadDisks> disks;
  static int tried;
};

std::unique_ptr<TempFolder> LibraryBadInputTest::root;
std::unique_ptr<BadDisks> LibraryBadInputTest::disks;
int LibraryBadInputTest::tried = 0;

TEST_F(LibraryBadInputTest, FoldersThatAreNoDisksAndDamagedHeaders) {
  expectOpenFails(disks->emptyFolder(), {"disk.fleckdisk"});
  expectOpenFails(disks->folderOfOtherFiles(), {"disk.fleckdisk"});
  expectOpenFails(disks->missingFolder(), {"missing"});
  expectOpenFails(disks->fileInsteadOfFolder(), {"plainfile"});
  const auto flip = [](std::string bytes) {
    bytes[20] = static_cast<char>(bytes[20] ^ 0x40);
    return bytes;
  };
  const auto truncate = [](const std::string& bytes) { return bytes.substr(0, 10); };
  const auto oversized = [](const std::string& bytes) { return bytes + std::string(2 << 20, 'x'); };
  for (const BadDisks::Case& c :
       {disks->damagedHeaders("lib-flipped", flip),
        disks->damagedHeaders("lib-truncated", truncate),
        disks->damagedHeaders("lib-oversized", oversized), disks->headerIsFolder()}) {
    expectOpenFails(c, {"disk.fleckdisk"});
  }
}

TEST_F(LibraryBadInputTest, HeaderFieldsOutOfRange) {
  auto int32 = [](std::int32_t v) { return std::string(reinterpret_cast<const char*>(&v), 4); };
  auto int64 = [](std::int64_t v) { return std::string(reinterpret_cast<const char*>(&v), 8); };
  for (const BadDisks::Case& c :
       {disks->patchedHeader("lib-fleck-size-0", 32, int32(0)),
        disks->patchedHeader("lib-fleck-size-2g", 32, int32(0x7fffffff)),
        disks->patchedHeader("lib-disk-size-negative", 40, int64(-5)),
        disks->patchedHeader("lib-disk-size-past-the-tree", 40, int64(std::int64_t{1} << 62))}) {
    expectOpenFails(c, {"sizes that cannot be mapped"});
  }
  const BadDisks::Case reader = disks->patchedHeader("lib-reader-version", 16, int64(2));
  for (const auto access : {zel::IIOStream::AccessRead, zel::IIOStream::AccessReadWrite}) {
    expectError<CFleckDiskError>("reader version 2", reader.disk,
                                 [&] { CFleckDisk disk(fs, uri(reader.disk), "", access, 1); },
                                 {"newer"});
  }
  const BadDisks::Case writer = disks->patchedHeader("lib-writer-version", 24, int64(7));
  expectError<CFleckDiskError>(
      "writer version 7", writer.disk,
      [&] { CFleckDisk disk(fs, uri(writer.disk), "", zel::IIOStream::AccessReadWrite, 1); },
      {"newer"});
  expectOpenFails(disks->patchedHeader("lib-string-length-huge", 48, int32(0x7fffffff)),
                  {"header record is damaged", "lib-string-length-huge"});
  expectOpenFails(disks->patchedHeader("lib-string-length-negative", 48, int32(-3)),
                  {"string length"});
}

TEST_F(LibraryBadInputTest, DamagedAndLoopingLinks) {
  expectOpenFails(disks->garbageParentLink(), {"corrupted", "parent.flecklnk"});
  expectOpenFails(disks->parentLinkToItself(), {"loop"});
  expectOpenFails(disks->parentLinksInACircle(), {"loop"});
  expectOpenFails(disks->garbageChildLink(), {"corrupted", "child.flecklnk"});
}

TEST_F(LibraryBadInputTest, Passwords) {
  const std::string secret = disks->copyOf("lib-passwords", true);
  for (const char* password : {"wrong password", "", "right password\n"}) {
    expectError<CFleckDiskError>(
        std::string("password \"") + password + "\"", secret,
        [&] { CFleckDisk disk(fs, uri(secret), password, zel::IIOStream::AccessRead, 1); },
        {"password"});
  }
  expectError<CFleckDiskError>(
      "a password for an unencrypted disk", disks->good(),
      [&] { CFleckDisk disk(fs, uri(disks->good()), "any", zel::IIOStream::AccessRead, 1); },
      {"password"});
}

TEST_F(LibraryBadInputTest, DamagedFleckFilesFailTheirReadOnly) {
  const auto truncate = [](const std::string& bytes) { return bytes.substr(0, 100); };
  const auto longer = [](const std::string& bytes) { return bytes + std::string(5000, 'z'); };
  const auto huge = [](const std::string&) { return std::string(7 << 20, 'h'); };
  const auto flip = [](std::string bytes) {
    bytes[bytes.size() / 2] = static_cast<char>(bytes[bytes.size() / 2] ^ 1);
    return bytes;
  };
  const auto read = [this](const std::string& folder, int fleck) {
    CFleckDisk disk(fs, uri(folder), "", zel::IIOStream::AccessRead, 1);
    std::string bytes(BadDisks::kFleckSize, '\0');
    disk.seek(std::int64_t{fleck} * BadDisks::kFleckSize);
    disk.read(bytes.data(), BadDisks::kFleckSize);
    return bytes;
  };
  zel::LogSink previous =
      zel::setLogSink([](const zel::String&, const std::exception&, const zel::String&) {});
  for (const BadDisks::Case& c :
       {disks->damagedFleck("lib-fleck-truncated", truncate),
        disks->damagedFleck("lib-fleck-longer", longer),
        disks->damagedFleck("lib-fleck-huge", huge), disks->damagedFleck("lib-fleck-flipped", flip),
        disks->shortRecordFleck()}) {
    // The error names the fleck and its file, for an embedder to act on.
    expectError(c.name, c.disk, [&] { read(c.disk, BadDisks::kDamagedFleck); },
                {"corrupted", "fleckIndex=" + std::to_string(BadDisks::kDamagedFleck),
                 BadDisks::fleckPath(BadDisks::kDamagedFleck)});
    // The neighbours still read as they were.
    EXPECT_EQ(read(c.disk, BadDisks::kDamagedFleck + 1),
              disks->content().substr((BadDisks::kDamagedFleck + 1) * BadDisks::kFleckSize,
                                      BadDisks::kFleckSize));
  }
  // Never followed, never waited on: a FIFO would block a read for ever.
  for (const BadDisks::Case& c :
       {disks->fleckIsFolder(), disks->fleckIsFifo(), disks->fleckIsSymlink()}) {
    expectError(c.name, c.disk, [&] { read(c.disk, BadDisks::kDamagedFleck); },
                {"not a regular file"});
  }
  zel::setLogSink(previous);
}

TEST_F(LibraryBadInputTest, SizesAndPositionsOutOfRange) {
  const std::string fresh = disks->root() + "/lib-new";
  for (const auto& [fleckSize, diskSize] :
       std::vector<std::pair<int, std::int64_t>>{{0, 1 << 20},
                                                 {-4096, 1 << 20},
                                                 {65536, -1},
                                                 {1024, std::int64_t{1} << 50},
                                                 {65536, INT64_MAX}}) {
    expectError<zel::CInvalidArgError>(
        "create with fleck size " + std::to_string(fleckSize) + ", disk size " +
            std::to_string(diskSize),
        "", [&] { CFleckDisk::create(fs, uri(fresh), diskSize, 1, "", "lz4", fleckSize); },
        {"size"});
  }
  expectError("create over a disk", disks->good(),
              [&] { CFleckDisk::create(fs, uri(disks->good()), 1 << 20, 1, "", "lz4", -1); },
              {"disk"});
  expectError<zel::CInvalidArgError>(
      "no background operations", disks->good(),
      [&] { CFleckDisk disk(fs, uri(disks->good()), "", zel::IIOStream::AccessRead, 0); },
      {"maxBackgroundOps"});

  const std::string folder = disks->copyOf("lib-positions");
  CFleckDisk disk(fs, uri(folder), "", zel::IIOStream::AccessReadWrite, 1);
  const auto ioError = [&](const std::string& what, zel::CIOError::Code code,
                           const std::function<void()>& action) {
    SCOPED_TRACE(what);
    ++tried;
    try {
      action();
      ADD_FAILURE() << "no error";
    } catch (const zel::CIOError& e) {
      EXPECT_EQ(e.getCode(), code) << e.what();
    }
  };
  char bytes[16] = {};
  ioError("seek before the start", zel::CIOError::InvalidPosition, [&] { disk.seek(-1); });
  ioError("seek past the end", zel::CIOError::InvalidPosition,
          [&] { disk.seek(BadDisks::kDiskSize + 1); });
  ioError("write across the end", zel::CIOError::EndOfStream, [&] {
    disk.seek(BadDisks::kDiskSize - 4);
    disk.write(bytes, sizeof bytes);
  });
  ioError("read at the end", zel::CIOError::EndOfStream, [&] {
    disk.seek(BadDisks::kDiskSize);
    disk.read(bytes, 1);
  });
  ioError("prepared fleck off a boundary", zel::CIOError::NotAligned, [&] {
    disk.seek(100);
    disk.writePreparedFleckData(nullptr, nullptr);
  });
  ioError("prepared fleck at the end", zel::CIOError::SizeExceeded, [&] {
    disk.seek(BadDisks::kDiskSize);
    disk.writePreparedFleckData(nullptr, nullptr);
  });
  disk.flushChanges();
  EXPECT_FALSE(disk.haveBackgroundErrors());
  // Nothing of the refused write reached the disk.
  std::string all(BadDisks::kDiskSize, '\0');
  disk.seek(0);
  disk.read(all.data(), BadDisks::kDiskSize);
  EXPECT_TRUE(all == disks->content()) << "a refused call changed the disk";
}

}  // namespace
}  // namespace fleck::badinput
