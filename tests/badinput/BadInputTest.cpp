// Damaged and wrong input, one row each: how it is made from a good disk, the tool's exit
// status and words, and what the library throws for it (words and class). No row may
// change a byte of its folder, and the tool must end.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <random>
#include <sstream>

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
using Access = zel::IIOStream::Access;

constexpr int kFleck = 16 * 1024;
constexpr int kSize = 8 * kFleck;
constexpr int kBad = 3;  // holds data in the good disk, as does the fleck after it
const std::string kBadFile = "flecks/d00/c00/b00/a00/03.fleck";

zel::CURI uri(const std::string& path) {
  return zel::CURI::fromLocalPath(path);
}
zel::P<zel::IFileSystem> local() {
  return zel::make<zel::CLocalFileSystem>();
}

// The good disks (plain and encrypted) and the files the tool is given.
struct Good {
  TempFolder root, scratch;
  std::string data = std::string(kSize, '\0');
  std::string plain = root.path() + "/good", secret = root.path() + "/secret";
  Good() {
    std::mt19937_64 random(7);
    for (std::size_t i = 0; i < data.size(); ++i) {
      const std::size_t fleck = i / kFleck;
      data[i] = fleck % 4 == 1 ? '\0' : fleck % 2 == 0 ? 'a' + i % 23 : char(random());
    }
    for (const char* password : {"", "right password"}) {
      const std::string folder = *password ? secret : plain;
      CFleckDisk::create(local(), uri(folder), kSize, 1, password, "lz4", kFleck);
      CFleckDisk disk(local(), uri(folder), password, Access::AccessReadWrite, 2);
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
std::string copy(const std::string& folder, bool encrypted = false) {
  fs::copy(encrypted ? good->secret : good->plain, folder + "/disk", fs::copy_options::recursive);
  return folder + "/disk";
}
const Build kPlain = [](const std::string& folder) { return copy(folder); };
const Build kEncrypted = [](const std::string& folder) { return copy(folder, true); };
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
// A disk whose link file `name` leads to `target` inside the case's folder.
Build linked(const char* name, const std::string& target) {
  return [=](const std::string& folder) {
    fs::create_directories(folder + "/" + target);
    link(copy(folder), name, folder + "/" + target);
    return folder + "/disk";
  };
}
// Files of a disk from `base` changed, or replaced by other entries.
Build changed(std::vector<std::string> files, const Bytes& change, const Build& base = kPlain) {
  return [=](const std::string& folder) {
    const std::string disk = base(folder);
    for (const std::string& file : files)
      writeFile(disk + "/" + file, change(readFile(disk + "/" + file)));
    return disk;
  };
}
Build replaced(std::vector<std::string> entries, void (*make)(const std::string& path)) {
  return [=](const std::string& folder) {
    const std::string disk = copy(folder);
    for (const std::string& entry : entries)
      fs::remove_all(disk + "/" + entry), make(disk + "/" + entry);
    return disk;
  };
}
const std::vector<std::string> kHeaders{"disk.fleckdisk", "fallback/disk.fleckdisk"};
Build header(const Bytes& change) {
  return changed(kHeaders, change);
}
Build fleckFile(const Bytes& change) {
  return changed({kBadFile}, change);
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
std::string noise(std::string b) {
  for (std::size_t i = 0; i < b.size(); ++i)
    b[i] = static_cast<char>(i * 37 + 11);
  return b;
}
// A header field rewritten, its digest fixed so that the parser behind it sees it.
template <class T>
Build field(std::size_t offset, T value) {
  return header([=](const std::string& file) {
    std::string payload = file.substr(0, file.size() - 16);
    payload.replace(offset, sizeof value, reinterpret_cast<const char*>(&value), sizeof value);
    unsigned char md5[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(payload.data(), payload.size(), md5, &length, EVP_md5(), nullptr);
    return payload + std::string(reinterpret_cast<const char*>(md5), length);
  });
}
std::string staleChildLink(const std::string& folder) {
  fs::remove_all(child(folder, true));
  CFleckDisk::create(local(), uri(folder + "/child"), kSize, 1, "", "lz4", kFleck);
  return folder + "/disk";
}
// A record whole and right in itself, but of half a fleck.
std::string halfAFleck(const std::string& folder) {
  CFleckDiskHeader header;
  header.load(local(), uri(copy(folder)));
  zel::TBuffer<unsigned char> half(reinterpret_cast<const unsigned char*>(good->data.data()),
                                   kFleck / 2);
  zel::TBuffer<unsigned char> record;
  CFleckDataPreparer(header, zel::TCryptBuffer<unsigned char>()).prepareData(half, record);
  writeFile(folder + "/disk/" + kBadFile,
            std::string(reinterpret_cast<const char*>(record.getData()), record.getUsed()));
  return folder + "/disk";
}

// Library actions; each must throw.
Action open(const char* password, Access access) {
  return [=](const std::string& disk) { CFleckDisk d(local(), uri(disk), password, access, 1); };
}
std::vector<Action> opens(const char* password = "") {
  return {open(password, Access::AccessRead), open(password, Access::AccessReadWrite)};
}
Action onDisk(const std::function<void(CFleckDisk&)>& act) {
  return [=](const std::string& disk) {
    CFleckDisk d(local(), uri(disk), "", Access::AccessReadWrite, 1);
    act(d);
  };
}
// Reads the fleck after the bad one (it must hold its data), then the bad one.
void readBad(const std::string& disk) {
  CFleckDisk d(local(), uri(disk), "", Access::AccessRead, 1);
  std::string bytes(kFleck, '\0');
  d.seek((kBad + 1) * kFleck);
  d.read(bytes.data(), kFleck);
  EXPECT_TRUE(bytes == good->data.substr((kBad + 1) * kFleck, kFleck)) << "the neighbour";
  d.seek(kBad * kFleck);
  d.read(bytes.data(), kFleck);
}
Action create(int fleckSize, std::int64_t diskSize) {
  return [=](const std::string& disk) {
    CFleckDisk::create(local(), uri(disk + "/new"), diskSize, 1, "", "lz4", fleckSize);
  };
}

// The class (and code) the library's error must have.
using Kind = bool (*)(const std::exception&);
template <class E>
bool is(const std::exception& e) {
  return dynamic_cast<const E*>(&e) != nullptr;
}
template <zel::CIOError::Code code>
bool io(const std::exception& e) {
  return is<zel::CIOError>(e) && dynamic_cast<const zel::CIOError&>(e).getIOCode() == code;
}
template <CFleckDiskError::ErrorCode code>
bool diskError(const std::exception& e) {
  return is<CFleckDiskError>(e) && dynamic_cast<const CFleckDiskError&>(e).getCode() == code;
}

// One input: its name and how it is made; the tool's arguments ("DISK" stands for the
// case's disk, "@name" for a file of the scratch folder), exit status and words ('|'
// between them); the library actions that must throw, their words and their class.
struct Row {
  std::string name;
  Build build;
  std::string tool;
  int status;
  std::string toolSays;
  std::vector<Action> lib = {};
  std::string libSays = "";
  Kind kind = is<zel::CError>;
  Env env = {};
};
std::ostream& operator<<(std::ostream& out, const Row& row) {
  return out << row.name;
}

const Env kWrongEnv{{"FLECK_PASSWORD", "wrong password"}};
const char* const kNotMapped = "sizes that cannot be mapped";
const Kind kPassword = diskError<CFleckDiskError::EncryptPasswordIncorrect>;
const Kind kNewer = diskError<CFleckDiskError::NewerVersionRequired>;
void makeFolder(const std::string& path) {
  fs::create_directory(path);
}
void makeFifo(const std::string& path) {
  ::mkfifo(path.c_str(), 0600);
}
void makeFile(const std::string& path) {
  writeFile(path, "x");
}
void makeSymlink(const std::string& path) {
  fs::create_symlink(good->plain + "/" + kBadFile, path);  // a good record outside the disk
}
const auto kHuge = [](const std::string&) { return std::string(7 << 20, 'h'); };
const std::string kNew = "create DISK/new --size 1M ";
const char* const kHeader = "disk.fleckdisk";
const std::string kCorrupted = "Fleck file is corrupted|fleckIndex=3";

// clang-format off
const std::vector<Row> kRows = {
    // Folders that are no disks.
    {"EmptyFolder", [](auto& f) { return fs::create_directory(f + "/e"), f + "/e"; }, "info DISK",
     1, "DISK: not a fleck disk", opens(), kHeader},
    {"FolderOfOtherFiles", [](auto& f) { return writeFile(f + "/notes", "x"), f; },
     "child @c --parent DISK", 1, "DISK: not a fleck disk", opens(), kHeader},
    {"MissingFolder", [](auto& f) { return f + "/missing"; }, "export DISK @out", 1,
     "DISK: no such folder", opens(), "missing"},
    {"FileInsteadOfFolder", [](auto& f) { return writeFile(f + "/plain", "x"), f + "/plain"; },
     "import DISK @image", 1, "not a folder", opens(), "DISK"},
    // Both header copies damaged, and header values out of range.
    {"HeaderFlipped", header(flip(20)), "info DISK", 1,
     "DISK: damaged header|DISK/disk.fleckdisk|DISK/fallback/disk.fleckdisk", opens(), kHeader},
    {"HeaderTruncated", header(cut(10)), "export DISK @out", 1, "damaged header", opens(), "DISK"},
    {"HeaderEmpty", header(cut(0)), "check-password DISK", 1, "damaged header", opens(), "DISK"},
    {"HeaderOversized", header(append(2 << 20)), "import DISK @image", 1, "damaged header",
     opens()},
    {"HeaderNoise", header(noise), "verify DISK", 3,
     "DAMAGED metadata|no intact copy of the header", opens(), kHeader},
    {"HeaderIsFolder", replaced(kHeaders, makeFolder), "info DISK", 1, "damaged header", opens(),
     kHeader},
    {"OneHeaderMissingOneDamaged",
     [](auto& f) { return fs::remove(header(flip(12))(f) + "/fallback/" + kHeader), f + "/disk"; },
     "info DISK", 1, "damaged header|missing", opens(), kHeader},
    {"FleckSizeZero", field(32, 0), "export DISK @out", 1, kNotMapped, opens(), kNotMapped},
    {"FleckSizeNegative", field(32, -4096), "import DISK @image", 1, kNotMapped, opens(),
     kNotMapped},
    {"FleckSize2G", field(32, 0x7fffffff), "verify DISK", 1, kNotMapped, opens(), kNotMapped},
    {"DiskSizeNegative", field(40, -5L), "export DISK @out", 1, kNotMapped, opens(), kNotMapped},
    {"DiskSizePastTheTree", field(40, 1L << 62), "export DISK @out", 1, kNotMapped, opens(),
     kNotMapped},
    {"NewerReader", field(16, 2L), "export DISK @out", 1, "DISK: |newer version|reader version 2",
     opens(), "newer", kNewer},
    {"NewerWriter", field(24, 7L), "import DISK @image", 1, "DISK: |newer version|writer version 7",
     {open("", Access::AccessReadWrite)}, "newer", kNewer},
    {"NewerWriterStillReads", field(24, 7L), "export DISK @out", 0, ""},
    {"StringLengthHuge", field(48, 0x7fffffff), "info DISK", 1, "damaged header", opens(),
     "header record is damaged|DISK"},
    {"StringLengthNegative", field(48, -3), "export DISK @out", 1, "damaged header", opens(),
     "string length"},
    // Links: damaged, looping, leading nowhere.
    {"GarbageParentLink", changed({"parent.flecklnk", "fallback/parent.flecklnk"}, noise,
       [](auto& f) { return child(f); }),
     "info DISK", 1, "damaged link file|parent.flecklnk", opens(), "corrupted|parent.flecklnk"},
    {"ParentLinkToItself", linked("parent.flecklnk", "disk"), "export DISK @out", 1, "circle",
     opens(), "loop"},
    {"ParentLinksInACircle",
     [](auto& f) { return link(f + "/disk", "parent.flecklnk", child(f)), f + "/child"; },
     "verify DISK --chain", 1, "circle", opens(), "loop"},
    {"MissingParent",
     [](auto& f) { return child(f, true), fs::remove_all(f + "/disk"), f + "/child"; },
     "export DISK @out", 1, "parent disk|missing", opens()},
    {"ParentNotADisk", linked("parent.flecklnk", "plain"), "import DISK @image", 1,
     "parent disk|not a fleck disk", opens()},
    {"GarbageChildLink",
     changed({"child.flecklnk", "fallback/child.flecklnk"}, noise,
       [](auto& f) { return child(f, true), f + "/disk"; }),
     "child @c --parent DISK", 1, "child.flecklnk", opens(), "corrupted|child.flecklnk"},
    {"ChildLinkToItself", linked("child.flecklnk", "disk"), "info DISK", 1, "circle"},
    {"StaleChildLink", staleChildLink, "import DISK @image", 1, "DISK/child.flecklnk|leads to"},
    {"ChildLinkNowhere", linked("child.flecklnk", "x"), "verify DISK", 3,
     "DAMAGED child link|DISK/child.flecklnk"},
    {"ChildLinkNowhereStillExports", linked("child.flecklnk", "x"), "export DISK @out", 0, ""},
    // Passwords.
    {"WrongPassword", kEncrypted, "check-password DISK", 1, "DISK: wrong password",
     opens("wrong password"), "password", kPassword, kWrongEnv},
    {"WrongPasswordFile", kEncrypted, "export DISK @out --password-file @wrong", 1,
     "DISK: wrong password", opens("right password\n"), "password", kPassword},
    {"NoPassword", kEncrypted, "import DISK @image", 1, "DISK: |password is needed|FLECK_PASSWORD",
     opens(), "password", kPassword},
    {"PasswordForAPlainDisk", kPlain, "export DISK @out", 1,
     "DISK: |not encrypted|password was given|FLECK_PASSWORD", opens("any"), "password", kPassword,
     kWrongEnv},
    {"PasswordWithNul", kEncrypted, "check-password DISK --password-file @nul", 1, "NUL byte"},
    {"PasswordNotUtf8", kPlain, kNew + "--encrypt", 1, "FLECK_PASSWORD|not valid UTF-8", {}, "",
     is<zel::CError>, {{"FLECK_PASSWORD", "caf\xe9"}}},
    {"PasswordFileMissing", kEncrypted, "check-password DISK --password-file @none", 1, "@none"},
    // Damaged fleck files: only their own reads fail.
    {"FleckTruncated", fleckFile(cut(100)), "verify DISK", 3, "DAMAGED fleck 3: DISK/" + kBadFile,
     {readBad}, kCorrupted + "|DISK/" + kBadFile},
    {"FleckEmpty", fleckFile(cut(0)), "export DISK @out", 1, "fleck 3|corrupted", {readBad},
     kCorrupted},
    {"FleckLonger", fleckFile(append(5000)), "verify DISK --threads 1", 3, "DAMAGED fleck 3",
     {readBad}, kCorrupted},
    {"FleckHuge", fleckFile(kHuge), "export DISK @out", 1, "fleck 3|corrupted", {readBad},
     kCorrupted},
    {"FleckNoise", fleckFile(noise), "verify DISK", 3, "DAMAGED fleck 3", {readBad}, kCorrupted},
    {"FleckFlipped", fleckFile(flip(kFleck / 2)), "export DISK @out", 1, "fleck 3|corrupted",
     {readBad}, kCorrupted},
    {"FleckOfAnEncryptedDisk", changed({kBadFile}, flip(kFleck / 2), kEncrypted),
     "verify DISK --threads 3", 3,
     "DAMAGED fleck 3: DISK/" + kBadFile + "|0 metadata file(s) and 1 fleck file(s) damaged", {},
     "", is<zel::CError>, {{"FLECK_PASSWORD", "right password"}}},
    {"VerifyWithoutThePassword", kEncrypted, "verify DISK", 1, "DISK: |password"},
    {"FleckOfHalfAFleck", halfAFleck, "verify DISK", 3, "DAMAGED fleck 3", {readBad}, kCorrupted},
    // Entries of the wrong kind: never followed, never waited on.
    {"FleckIsFolder", replaced({kBadFile}, makeFolder), "verify DISK", 3,
     "a folder where the tree needs a fleck file", {readBad}, "not a regular file"},
    {"FleckIsFifo", replaced({kBadFile}, makeFifo), "export DISK @out", 1,
     "fleck 3|not a regular file", {readBad}, "not a regular file"},
    {"FleckIsSymlink", replaced({kBadFile}, makeSymlink), "export DISK @out", 1,
     "fleck 3|not a regular file", {readBad}, "not a regular file"},
    {"FlecksIsFile", replaced({"flecks"}, makeFile), "verify DISK", 3,
     "a file where the tree needs a folder"},
    {"StoresFailWhereTheTreeIsAFile", replaced({"flecks"}, makeFile), "import DISK @image", 1,
     "DISK: storing|failed"},
    {"TreeFolderIsFile", replaced({"flecks/d00/c00/b00/a00"}, makeFile), "verify DISK", 3,
     "a file where the tree needs a folder"},
    {"FallbackIsFile", replaced({"fallback"}, makeFile), "verify DISK", 3, "fallback"},
    // Sizes and positions out of range.
    {"CreateSizes", kPlain, "create DISK --size 1M", 1, "DISK: the folder holds a disk already",
     {create(0, 1 << 20), create(-4096, 1 << 20), create(65536, -1), create(1024, 1L << 50),
      create(65536, INT64_MAX)}, "size", is<zel::CInvalidArgError>},
    {"CreateOverExisting", kPlain, "create DISK/disk.fleckdisk --size 1M", 1, "exists",
     {[](auto& d) { CFleckDisk::create(local(), uri(d), 1 << 20, 1, "", "lz4", -1); }}, "disk"},
    {"NoBackgroundOperations", kPlain, "export DISK @out --threads 0", 2, "threads",
     {[](auto& d) { CFleckDisk(local(), uri(d), "", Access::AccessRead, 0); }}, "maxBackgroundOps",
     is<zel::CInvalidArgError>},
    {"SeekOutside", kPlain, "export DISK @out --offset -5", 2, "negative",
     {onDisk([](CFleckDisk& d) { d.seek(-1); }), onDisk([](CFleckDisk& d) { d.seek(kSize + 1); })},
     "", io<zel::CIOError::InvalidPosition>},
    {"WriteAcrossTheEnd", kPlain, "import DISK @big", 1,
     "DISK: |larger than the disk|nothing was imported",
     {onDisk([](CFleckDisk& d) { d.seek(kSize - 4), d.write(good->data.data(), 16); })}, "",
     io<zel::CIOError::EndOfStream>},
    {"ReadAtTheEnd", kPlain, "export DISK @out --offset 2M", 2, "past the disk's end",
     {onDisk([](CFleckDisk& d) { char c; d.seek(kSize), d.read(&c, 1); })}, "",
     io<zel::CIOError::EndOfStream>},
    {"PreparedFleckOffABoundary", kPlain, "export DISK @out --length 2M", 2, "past the disk's end",
     {onDisk([](CFleckDisk& d) { d.seek(100), d.writePreparedFleckData(nullptr, nullptr); })}, "",
     io<zel::CIOError::NotAligned>},
    {"PreparedFleckAtTheEnd", kPlain, "export DISK @out --offset 128K --length 1", 2, "end",
     {onDisk([](CFleckDisk& d) { d.seek(kSize), d.writePreparedFleckData(nullptr, nullptr); })}, "",
     io<zel::CIOError::SizeExceeded>},
    {"ImageMissing", kPlain, "import DISK @no-such-image", 1, "@no-such-image"},
    // Usage errors.
    {"UsageSizeZero", kPlain, "create DISK/new --size 0", 2, "--size|more than 0"},
    {"UsageSizeNegative", kPlain, "create DISK/new --size -5M", 2, "--size|more than 0"},
    {"UsageSizeTooLarge", kPlain, "create DISK/new --size 5000T", 2, "--size"},
    {"UsageSizeUnknownUnit", kPlain, "create DISK/new --size 1parsec", 2, "--size|unknown unit"},
    {"UsageSizeInDecimalUnits", kPlain, "create DISK/new --size 1MB", 2, "--size|MiB"},
    {"UsageSizeFraction", kPlain, "create DISK/new --size 1.5", 2, "--size"},
    {"UsageSizeOverflow", kPlain, "create DISK/new --size 99999999999999999999", 2, "--size"},
    {"UsageFleckSizeZero", kPlain, kNew + "--fleck-size 0", 2, "--fleck-size|more than 0"},
    {"UsageFleckSize2G", kPlain, kNew + "--fleck-size 2G", 2, "--fleck-size"},
    {"UsageFleckSizeNegative", kPlain, kNew + "--fleck-size -64K", 2, "--fleck-size"},
    {"UsageUnknownCompressor", kPlain, kNew + "--compress zip", 2, "--compress|zip"},
    {"UsagePasswordWithoutEncrypt", kPlain, kNew + "--password-file @wrong", 2, "--encrypt"},
    {"UsageTooManyThreads", kPlain, "import DISK @image --threads 300", 2, "threads"},
    {"UsageUnknownProgress", kPlain, "export DISK @out --progress loud", 2, "progress"},
    {"UsageMissingArgument", kPlain, "import DISK", 2, ""},
    {"UsageUnknownCommand", kPlain, "frobnicate", 2, ""},
    {"UsageNoCommand", kPlain, "", 2, ""},
};
// clang-format on

std::vector<std::string> split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::istringstream in(text);
  for (std::string part; std::getline(in, part, separator);)
    parts.push_back(part);
  return parts;
}

std::string fill(const std::string& text, const std::string& disk) {
  if (text.starts_with('@')) return good->scratch.path() + "/" + text.substr(1);
  std::string filled = text;
  for (std::size_t at = 0; (at = filled.find("DISK", at)) != std::string::npos; at += disk.size())
    filled.replace(at, 4, disk);
  return filled;
}

void expectSays(const std::string& said, const std::string& words, const std::string& disk) {
  for (const std::string& w : split(words, '|'))
    EXPECT_NE(said.find(fill(w, disk)), std::string::npos) << "no \"" << fill(w, disk) << "\"";
}

class BadInputTest : public ::testing::TestWithParam<Row> {
 protected:
  static void SetUpTestSuite() { good = std::make_unique<Good>(); }
  static void TearDownTestSuite() { good.reset(); }
};

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
      EXPECT_TRUE(row.kind(e)) << "an error of another class or code: " << e.what();
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
