// Damaged and wrong input, one row each: how it is made from a good disk, what the
// library throws for it (class and words), and the tool's exit status and words. No row
// may change a byte of its folder, and the tool must end.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "fleck/CFleckDataPreparer.h"
#include "fleck/CFleckDisk.h"
#include "fleck/CFleckDiskError.h"
#include "fleck/CFleckDiskHeader.h"
#include "fleck/CFleckDiskLink.h"
#include "support/CChildProcess.h"
#include "support/FolderSnapshot.h"
#include "support/TempFolder.h"
#include "zel/CIOError.h"
#include "zel/CInvalidArgError.h"
#include "zel/CLocalFileSystem.h"

namespace fleck::test {
namespace {

namespace fs = std::filesystem;
using Bytes = std::function<std::string(std::string)>;
using Build = std::function<std::string(const std::string& folder)>;
using Action = std::function<void(const std::string& disk)>;
using Env = std::vector<std::pair<std::string, std::string>>;

constexpr int kFleck = 16 * 1024;
constexpr int kSize = 8 * kFleck;
constexpr int kBad = 3;  // holds data in the good disk, as does the fleck after it
const char* const kPassword = "right password";
const std::string kBadFile = "flecks/d00/c00/b00/a00/03.fleck";

zel::CURI uri(const std::string& path) {
  return zel::CURI::fromLocalPath(path);
}
zel::P<zel::IFileSystem> local() {
  return zel::make<zel::CLocalFileSystem>();
}
std::string lower(std::string text) {
  for (char& c : text)
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// The good disks (plain and encrypted) and files every row starts from.
struct Good {
  TempFolder root, scratch;
  std::string data = std::string(kSize, '\0');
  std::string plain = root.path() + "/good", secret = root.path() + "/secret";
  Good() {
    std::mt19937_64 random(7);
    for (std::size_t i = 0; i < data.size(); ++i) {
      const std::size_t fleck = i / kFleck;
      data[i] = fleck % 4 == 1   ? '\0'
                : fleck % 2 == 0 ? static_cast<char>('a' + i % 23)
                                 : static_cast<char>(random());
    }
    for (const bool encrypted : {false, true}) {
      const std::string folder = encrypted ? secret : plain;
      const zel::String password = encrypted ? zel::String(kPassword) : zel::String();
      CFleckDisk::create(local(), uri(folder), kSize, 1, password, "lz4", kFleck);
      CFleckDisk disk(local(), uri(folder), password, zel::IIOStream::AccessReadWrite, 2);
      disk.write(data.data(), kSize);
      disk.flushChanges();
    }
    writeFile(scratch.path() + "/image", data);
    writeFile(scratch.path() + "/big", std::string(kSize + 1, 'b'));
    writeFile(scratch.path() + "/nul", std::string("\0secret\n", 8));
    writeFile(scratch.path() + "/wrong", "wrong password\n");
  }
};
std::unique_ptr<Good> good;

// Builders: each makes its case inside `folder` and returns the disk to point at.
std::string copy(const std::string& folder) {
  fs::copy(good->plain, folder + "/disk", fs::copy_options::recursive);
  return folder + "/disk";
}
std::string encryptedCopy(const std::string& folder) {
  fs::copy(good->secret, folder + "/disk", fs::copy_options::recursive);
  return folder + "/disk";
}
std::string child(const std::string& folder, bool linked = false) {
  CFleckDisk::createChild(local(), uri(folder + "/child"), uri(copy(folder)),
                          linked ? CFleckDisk::ChildLinked : CFleckDisk::ChildDetached);
  return folder + "/child";
}
void link(const std::string& disk, const char* name, const std::string& target) {
  CFleckDiskLink link;
  link.setTargetURI(uri(target).toRelative(uri(disk)));
  link.store(local(), uri(disk), name);
}
// Both copies of a metadata file (or the file of fleck kBad) of a disk from `base`.
Build both(const char* file, const Bytes& change, const Build& base = copy) {
  return [=](const std::string& folder) {
    const std::string disk = base(folder);
    for (const std::string& f : {disk + "/" + file, disk + "/fallback/" + file})
      writeFile(f, change(readFile(f)));
    return disk;
  };
}
Build fleckFile(const Bytes& change) {
  return [=](const std::string& folder) {
    const std::string disk = copy(folder);
    writeFile(disk + "/" + kBadFile, change(readFile(disk + "/" + kBadFile)));
    return disk;
  };
}
// Entries of another kind where files or folders of the disk belong.
Build replaced(const std::vector<std::string>& entries,
               const std::function<void(const std::string&)>& make) {
  return [=](const std::string& folder) {
    const std::string disk = copy(folder);
    for (const std::string& entry : entries) {
      fs::remove_all(disk + "/" + entry);
      make(disk + "/" + entry);
    }
    return disk;
  };
}
const auto makeFolder = [](const std::string& p) { fs::create_directory(p); };
const auto makeFile = [](const std::string& p) { writeFile(p, "x"); };
// A disk whose link file `name` leads to `target` (relative to the case's folder).
Build linked(const char* name, const std::string& target) {
  return [=](const std::string& folder) {
    const std::string disk = copy(folder);
    fs::create_directories(folder + "/" + target);
    link(disk, name, folder + "/" + target);
    return disk;
  };
}
Bytes flip(std::size_t at) {
  return [=](std::string b) { return b[at % b.size()] ^= 0x40, b; };
}
Bytes cut(std::size_t n) {
  return [=](const std::string& b) { return b.substr(0, n); };
}
Bytes append(std::size_t n) {
  return [=](const std::string& b) { return b + std::string(n, 'z'); };
}
Bytes noise() {
  return [](std::string b) {
    for (std::size_t i = 0; i < b.size(); ++i)
      b[i] = static_cast<char>(i * 37 + 11);
    return b;
  };
}
// A header field rewritten, its digest fixed so that the parser behind it sees it.
template <class T>
Build field(std::size_t offset, T value) {
  return both("disk.fleckdisk", [=](const std::string& file) {
    std::string payload = file.substr(0, file.size() - 16);
    payload.replace(offset, sizeof value, reinterpret_cast<const char*>(&value), sizeof value);
    unsigned char md5[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(payload.data(), payload.size(), md5, &length, EVP_md5(), nullptr);
    return payload + std::string(reinterpret_cast<const char*>(md5), length);
  });
}

// Library actions; each must throw.
Action open(const char* password, zel::IIOStream::Access access) {
  return [=](const std::string& disk) { CFleckDisk d(local(), uri(disk), password, access, 1); };
}
std::vector<Action> opens(const char* password = "") {
  return {open(password, zel::IIOStream::AccessRead),
          open(password, zel::IIOStream::AccessReadWrite)};
}
Action onDisk(const std::function<void(CFleckDisk&)>& act) {
  return [=](const std::string& disk) {
    CFleckDisk d(local(), uri(disk), "", zel::IIOStream::AccessReadWrite, 1);
    act(d);
  };
}
// A record whole and right in itself, but of half a fleck.
std::string halfAFleck(const std::string& folder) {
  const std::string disk = copy(folder);
  CFleckDiskHeader header;
  header.load(local(), uri(disk));
  zel::TBuffer<unsigned char> half(reinterpret_cast<const unsigned char*>(good->data.data()),
                                   kFleck / 2);
  zel::TBuffer<unsigned char> record;
  CFleckDataPreparer(header, zel::TCryptBuffer<unsigned char>()).prepareData(half, record);
  writeFile(disk + "/" + kBadFile,
            std::string(reinterpret_cast<const char*>(record.getData()), record.getUsed()));
  return disk;
}

// Reads the fleck after the bad one (it must hold its data), then the bad one.
const Action readBad = [](const std::string& disk) {
  CFleckDisk d(local(), uri(disk), "", zel::IIOStream::AccessRead, 1);
  std::string bytes(kFleck, '\0');
  d.seek((kBad + 1) * kFleck);
  d.read(bytes.data(), kFleck);
  EXPECT_TRUE(bytes == good->data.substr((kBad + 1) * kFleck, kFleck)) << "the neighbour";
  d.seek(kBad * kFleck);
  d.read(bytes.data(), kFleck);
};
Action create(int fleckSize, std::int64_t diskSize) {
  return [=](const std::string& disk) {
    CFleckDisk::create(local(), uri(disk + "/new"), diskSize, 1, "", "lz4", fleckSize);
  };
}

enum class Kind { Error, DiskError, InvalidArg, Position, EndOfStream, NotAligned, SizeExceeded };

// One input: how it is made; the tool's arguments ("DISK" starts the case's disk, "@name"
// is a file of the scratch folder), exit status and words ('|' between them); the library
// actions that must throw, their words and their class.
struct Row {
  std::string name;
  Build build;
  std::string tool;
  int status;
  std::string toolSays;
  std::vector<Action> lib = {};
  std::string libSays = "";
  Kind kind = Kind::Error;
  Env env = {};
};
std::ostream& operator<<(std::ostream& out, const Row& row) {
  return out << row.name;
}

const Env kWrongEnv{{"FLECK_PASSWORD", "wrong password"}};
const char* const kHeader = "disk.fleckdisk";
const char* const kSizes = "sizes that cannot be mapped";
const std::string kNew = "create DISK/new --size 1M ";
const auto emptyFolder = [](const std::string& f) {
  return fs::create_directory(f + "/e"), f + "/e";
};

const std::vector<Row> kRows = {
    // Folders that are no disks.
    {"EmptyFolder", emptyFolder, "info DISK", 1, "DISK: |not a fleck disk", opens(), kHeader},
    {"FolderOfOtherFiles", [](const std::string& f) { return writeFile(f + "/notes", "x"), f; },
     "child @new-child --parent DISK", 1, "not a fleck disk", opens(), kHeader},
    {"MissingFolder", [](const std::string& f) { return f + "/missing"; }, "export DISK @out", 1,
     "DISK: |no such folder", opens(), "missing"},
    {"FileInsteadOfFolder",
     [](const std::string& f) { return writeFile(f + "/plain", "x"), f + "/plain"; },
     "import DISK @image", 1, "not a folder", opens(), "plain"},
    // Both header copies damaged, and header values out of range.
    {"HeaderFlipped", both(kHeader, flip(20)), "info DISK", 1,
     "damaged header|DISK/disk.fleckdisk|DISK/fallback/disk.fleckdisk", opens(), kHeader},
    {"HeaderTruncated", both(kHeader, cut(10)), "export DISK @out", 1, "damaged header", opens(),
     kHeader},
    {"HeaderEmpty", both(kHeader, cut(0)), "check-password DISK", 1, "damaged header", opens(),
     kHeader},
    {"HeaderOversized", both(kHeader, append(2 << 20)), "import DISK @image", 1, "damaged header",
     opens(), kHeader},
    {"HeaderNoise", both(kHeader, noise()), "verify DISK", 3,
     "DAMAGED metadata|no intact copy of the header", opens(), kHeader},
    {"HeaderIsFolder", replaced({kHeader, "fallback/disk.fleckdisk"}, makeFolder), "info DISK", 1,
     "damaged header", opens(), kHeader},
    {"OneHeaderMissingOneDamaged",
     [](const std::string& f) {
       const std::string disk = both(kHeader, flip(12))(f);
       return fs::remove(disk + "/fallback/disk.fleckdisk"), disk;
     },
     "info DISK", 1, "damaged header|missing", opens(), kHeader},
    {"FleckSizeZero", field(32, std::int32_t{0}), "export DISK @out", 1, kSizes, opens(), kSizes},
    {"FleckSizeNegative", field(32, std::int32_t{-4096}), "import DISK @image", 1, kSizes, opens(),
     kSizes},
    {"FleckSize2G", field(32, std::int32_t{0x7fffffff}), "export DISK @out", 1, kSizes, opens(),
     kSizes},
    {"DiskSizeNegative", field(40, std::int64_t{-5}), "export DISK @out", 1, kSizes, opens(),
     kSizes},
    {"DiskSizePastTheTree", field(40, std::int64_t{1} << 62), "export DISK @out", 1, kSizes,
     opens(), kSizes},
    {"NewerReader", field(16, std::int64_t{2}), "export DISK @out", 1,
     "DISK: |newer version|reader version 2", opens(), "newer", Kind::DiskError},
    {"NewerWriter",
     field(24, std::int64_t{7}),
     "import DISK @image",
     1,
     "DISK: |newer version|writer version 7",
     {open("", zel::IIOStream::AccessReadWrite)},
     "newer",
     Kind::DiskError},
    {"NewerWriterStillReads", field(24, std::int64_t{7}), "export DISK @out", 0, ""},
    {"StringLengthHuge", field(48, std::int32_t{0x7fffffff}), "info DISK", 1, "damaged header",
     opens(), "header record is damaged|DISK"},
    {"StringLengthNegative", field(48, std::int32_t{-3}), "export DISK @out", 1, "damaged header",
     opens(), "string length"},
    // Links: damaged, looping, leading nowhere.
    {"GarbageParentLink",
     both("parent.flecklnk", noise(), [](const std::string& f) { return child(f); }), "info DISK",
     1, "damaged link file|parent.flecklnk", opens(), "corrupted|parent.flecklnk"},
    {"ParentLinkToItself", linked("parent.flecklnk", "disk"), "export DISK @out", 1, "circle",
     opens(), "loop"},
    {"ParentLinksInACircle",
     [](const std::string& f) {
       const std::string a = child(f);
       return link(f + "/disk", "parent.flecklnk", a), a;
     },
     "verify DISK --chain", 1, "circle", opens(), "loop"},
    {"MissingParent",
     [](const std::string& f) {
       const std::string c = child(f, true);
       return fs::remove_all(f + "/disk"), c;
     },
     "export DISK @out", 1, "parent disk|missing", opens()},
    {"ParentNotADisk", linked("parent.flecklnk", "plain"), "import DISK @image", 1,
     "parent disk|not a fleck disk", opens()},
    {"GarbageChildLink",
     both("child.flecklnk", noise(),
          [](const std::string& f) { return child(f, true), f + "/disk"; }),
     "child @c --parent DISK", 1, "child.flecklnk", opens(), "corrupted|child.flecklnk"},
    {"ChildLinkToItself", linked("child.flecklnk", "disk"), "info DISK", 1, "circle"},
    {"StaleChildLink",
     [](const std::string& f) {
       child(f, true);
       fs::remove_all(f + "/child");
       CFleckDisk::create(local(), uri(f + "/child"), kSize, 1, "", "lz4", kFleck);
       return f + "/disk";
     },
     "import DISK @image", 1, "DISK/child.flecklnk|leads to"},
    {"ChildLinkToAFolderWithoutDisk", linked("child.flecklnk", "x"), "verify DISK", 3,
     "DAMAGED child link|DISK/child.flecklnk"},
    {"ChildLinkNowhereStillExports", linked("child.flecklnk", "x"), "export DISK @out", 0, ""},
    // Passwords.
    {"WrongPassword", encryptedCopy, "check-password DISK", 1, "DISK: |wrong password",
     opens("wrong password"), "password", Kind::DiskError, kWrongEnv},
    {"WrongPasswordFile", encryptedCopy, "export DISK @out --password-file @wrong", 1,
     "DISK: |wrong password", opens("right password\n"), "password", Kind::DiskError},
    {"NoPassword", encryptedCopy, "import DISK @image", 1,
     "DISK: |password is needed|FLECK_PASSWORD", opens(), "password", Kind::DiskError},
    {"PasswordForAPlainDisk", copy, "export DISK @out", 1,
     "DISK: |not encrypted|password was given|FLECK_PASSWORD", opens("any"), "password",
     Kind::DiskError, kWrongEnv},
    {"PasswordWithNul", encryptedCopy, "check-password DISK --password-file @nul", 1, "NUL byte"},
    {"PasswordNotUtf8",
     copy,
     kNew + "--encrypt",
     1,
     "FLECK_PASSWORD|not valid UTF-8",
     {},
     "",
     Kind::Error,
     {{"FLECK_PASSWORD", "caf\xe9"}}},
    {"PasswordFileMissing", encryptedCopy, "check-password DISK --password-file @nothing", 1,
     "nothing"},
    // Damaged fleck files: only their own reads fail.
    {"FleckTruncated",
     fleckFile(cut(100)),
     "verify DISK",
     3,
     "DAMAGED fleck 3: DISK/" + kBadFile,
     {readBad},
     "corrupted|fleckIndex=3|" + kBadFile},
    {"FleckEmpty",
     fleckFile(cut(0)),
     "export DISK @out",
     1,
     "fleck 3|corrupted",
     {readBad},
     "corrupted|fleckIndex=3"},
    {"FleckLonger",
     fleckFile(append(5000)),
     "verify DISK --threads 1",
     3,
     "DAMAGED fleck 3|" + kBadFile,
     {readBad},
     "corrupted|fleckIndex=3"},
    {"FleckHuge",
     fleckFile([](const std::string&) { return std::string(7 << 20, 'h'); }),
     "export DISK @out",
     1,
     "fleck 3|corrupted",
     {readBad},
     "corrupted|fleckIndex=3"},
    {"FleckNoise",
     fleckFile(noise()),
     "verify DISK",
     3,
     "DAMAGED fleck 3",
     {readBad},
     "corrupted|" + kBadFile},
    {"FleckFlipped",
     fleckFile(flip(kFleck / 2)),
     "export DISK @out",
     1,
     "fleck 3|corrupted",
     {readBad},
     "corrupted|fleckIndex=3"},
    {"FleckOfHalfAFleck",
     halfAFleck,
     "verify DISK",
     3,
     "DAMAGED fleck 3",
     {readBad},
     "corrupted|fleckIndex=3"},
    // Entries of the wrong kind: never followed, never waited on.
    {"FleckIsFolder",
     replaced({kBadFile}, makeFolder),
     "verify DISK",
     3,
     "a folder where the tree needs a fleck file",
     {readBad},
     "not a regular file"},
    {"FleckIsFifo",
     replaced({kBadFile}, [](const std::string& p) { ::mkfifo(p.c_str(), 0600); }),
     "export DISK @out",
     1,
     "fleck 3|not a regular file",
     {readBad},
     "not a regular file"},
    {"FleckIsSymlink",
     replaced({kBadFile},
              [](const std::string& p) { fs::create_symlink(good->plain + "/" + kBadFile, p); }),
     "export DISK @out",
     1,
     "fleck 3|not a regular file",
     {readBad},
     "not a regular file"},
    {"FlecksIsFile", replaced({"flecks"}, makeFile), "verify DISK", 3,
     "a file where the tree needs a folder"},
    {"TreeFolderIsFile", replaced({"flecks/d00/c00/b00/a00"}, makeFile), "verify DISK", 3,
     "a file where the tree needs a folder"},
    {"FallbackIsFile", replaced({"fallback"}, makeFile), "verify DISK", 3, "fallback"},
    // Sizes and positions out of range.
    {"CreateSizes",
     copy,
     "create DISK --size 1M",
     1,
     "DISK: |holds a disk already",
     {create(0, 1 << 20), create(-4096, 1 << 20), create(65536, -1),
      create(1024, std::int64_t{1} << 50), create(65536, INT64_MAX)},
     "size",
     Kind::InvalidArg},
    {"CreateOverExisting",
     copy,
     "create DISK/disk.fleckdisk --size 1M",
     1,
     "exists",
     {[](const std::string& d) { CFleckDisk::create(local(), uri(d), 1 << 20, 1, "", "lz4", -1); }},
     "disk"},
    {"NoBackgroundOperations",
     copy,
     "export DISK @out --threads 0",
     2,
     "threads",
     {[](const std::string& d) { CFleckDisk(local(), uri(d), "", zel::IIOStream::AccessRead, 0); }},
     "maxBackgroundOps",
     Kind::InvalidArg},
    {"SeekOutside",
     copy,
     "export DISK @out --offset -5",
     2,
     "negative",
     {onDisk([](CFleckDisk& d) { d.seek(-1); }), onDisk([](CFleckDisk& d) { d.seek(kSize + 1); })},
     "",
     Kind::Position},
    {"WriteAcrossTheEnd",
     copy,
     "import DISK @big",
     1,
     "DISK: |larger than the disk|nothing was imported",
     {onDisk([](CFleckDisk& d) {
       char bytes[16] = {};
       d.seek(kSize - 4), d.write(bytes, sizeof bytes);
     })},
     "",
     Kind::EndOfStream},
    {"ReadAtTheEnd",
     copy,
     "export DISK @out --offset 2M",
     2,
     "past the disk's end",
     {onDisk([](CFleckDisk& d) {
       char c;
       d.seek(kSize), d.read(&c, 1);
     })},
     "",
     Kind::EndOfStream},
    {"PreparedFleckOffABoundary",
     copy,
     "export DISK @out --length 2M",
     2,
     "past the disk's end",
     {onDisk([](CFleckDisk& d) { d.seek(100), d.writePreparedFleckData(nullptr, nullptr); })},
     "",
     Kind::NotAligned},
    {"PreparedFleckAtTheEnd",
     copy,
     "export DISK @out --offset 128K --length 1",
     2,
     "end",
     {onDisk([](CFleckDisk& d) { d.seek(kSize), d.writePreparedFleckData(nullptr, nullptr); })},
     "",
     Kind::SizeExceeded},
    {"ImageMissing", copy, "import DISK @no-such-image", 1, "no-such-image"},
    // Usage errors.
    {"UsageSizeZero", copy, "create DISK/new --size 0", 2, "--size|more than 0"},
    {"UsageSizeNegative", copy, "create DISK/new --size -5M", 2, "--size|more than 0"},
    {"UsageSizeTooLarge", copy, "create DISK/new --size 5000T", 2, "--size"},
    {"UsageSizeUnknownUnit", copy, "create DISK/new --size 1parsec", 2, "--size|unknown unit"},
    {"UsageSizeInDecimalUnits", copy, "create DISK/new --size 1MB", 2, "--size|MiB"},
    {"UsageSizeNotANumber", copy, "create DISK/new --size abc", 2, "--size"},
    {"UsageSizeFraction", copy, "create DISK/new --size 1.5", 2, "--size"},
    {"UsageSizeOverflow", copy, "create DISK/new --size 99999999999999999999", 2, "--size"},
    {"UsageFleckSizeZero", copy, kNew + "--fleck-size 0", 2, "--fleck-size|more than 0"},
    {"UsageFleckSize2G", copy, kNew + "--fleck-size 2G", 2, "--fleck-size"},
    {"UsageFleckSizeNegative", copy, kNew + "--fleck-size -64K", 2, "--fleck-size"},
    {"UsageUnknownCompressor", copy, kNew + "--compress zip", 2, "--compress|zip"},
    {"UsageTooManyThreads", copy, "import DISK @image --threads 300", 2, "threads"},
    {"UsageUnknownProgress", copy, "export DISK @out --progress loud", 2, "progress"},
    {"UsageMissingArgument", copy, "import DISK", 2, ""},
    {"UsageUnknownCommand", copy, "frobnicate", 2, ""},
    {"UsageNoCommand", copy, "", 2, ""},
};

std::vector<std::string> split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  for (std::size_t at = 0; !text.empty() && at <= text.size();) {
    const std::size_t end = std::min(text.find(separator, at), text.size());
    parts.push_back(text.substr(at, end - at));
    at = end + 1;
  }
  return parts;
}

class BadInputTest : public ::testing::TestWithParam<Row> {
 protected:
  static void SetUpTestSuite() { good = std::make_unique<Good>(); }
  static void TearDownTestSuite() { good.reset(); }
};

void expectKind(Kind kind, const std::exception& e) {
  const auto* io = dynamic_cast<const zel::CIOError*>(&e);
  switch (kind) {
    case Kind::Error:
      EXPECT_NE(dynamic_cast<const zel::CError*>(&e), nullptr) << e.what();
      break;
    case Kind::DiskError:
      EXPECT_NE(dynamic_cast<const CFleckDiskError*>(&e), nullptr) << e.what();
      break;
    case Kind::InvalidArg:
      EXPECT_NE(dynamic_cast<const zel::CInvalidArgError*>(&e), nullptr) << e.what();
      break;
    default:
      ASSERT_NE(io, nullptr) << e.what();
      const zel::CIOError::Code codes[] = {zel::CIOError::InvalidPosition,
                                           zel::CIOError::EndOfStream, zel::CIOError::NotAligned,
                                           zel::CIOError::SizeExceeded};
      EXPECT_EQ(io->getIOCode(), codes[static_cast<int>(kind) - static_cast<int>(Kind::Position)]);
  }
}

std::string fill(const std::string& text, const std::string& disk) {
  if (text.starts_with('@')) return good->scratch.path() + "/" + text.substr(1);
  std::string filled = text;
  for (std::size_t at = 0; (at = filled.find("DISK", at)) != std::string::npos; at += disk.size())
    filled.replace(at, 4, disk);
  return filled;
}

void expectSays(const std::string& said, const std::string& words, const std::string& disk) {
  for (const std::string& w : split(words, '|')) {
    EXPECT_NE(lower(said).find(lower(fill(w, disk))), std::string::npos)
        << "does not say \"" << fill(w, disk) << "\": " << said;
  }
}

TEST_P(BadInputTest, FailsSayingWhatIsWrongAndChangesNothing) {
  const Row& row = GetParam();
  const std::string folder = good->root.path() + "/" + row.name;
  fs::create_directory(folder);
  const std::string disk = row.build(folder);
  const auto before = snapshotFolder(folder);
  for (const Action& action : row.lib) {
    try {
      action(disk);
      ADD_FAILURE() << "the library threw nothing";
    } catch (const std::exception& e) {
      expectKind(row.kind, e);
      expectSays(e.what(), row.libSays, disk);
    }
    EXPECT_EQ(describeDifferences(before, snapshotFolder(folder)), "") << "the library";
  }
  std::vector<std::string> arguments{FLECK_CLI_BINARY};
  for (const std::string& a : split(row.tool, ' '))
    arguments.push_back(fill(a, disk));
  const ProgramResult r = runProgram(arguments, good->scratch.path(), row.env, 60000);
  ASSERT_FALSE(r.timedOut) << "the tool did not end";
  EXPECT_EQ(r.status, row.status) << r.out << r.err;
  expectSays(r.out + r.err, row.toolSays, disk);
  // A failure is one line on standard error.
  if (row.status == 1) {
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  }
  EXPECT_EQ(describeDifferences(before, snapshotFolder(folder)), "") << "the tool";
}

INSTANTIATE_TEST_SUITE_P(Rows, BadInputTest, ::testing::ValuesIn(kRows),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace fleck::test
