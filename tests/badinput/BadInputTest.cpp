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
#include <tuple>

#include "fleck/CFleckDisk.h"
#include "fleck/CFleckDiskError.h"
#include "fleck/CFleckDiskLink.h"
#include "support/CChildProcess.h"
#include "support/FolderSnapshot.h"
#include "support/TempFolder.h"
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
const std::string kBadFile = "flecks/d00/c00/b00/a00/03.fleck";  // fleck 3 and 4 hold data

const auto uri = [](const std::string& path) { return zel::CURI::fromLocalPath(path); };
const auto local = [] { return zel::make<zel::CLocalFileSystem>(); };

// The good disks (plain, encrypted, and one whose records are whole and right but hold half
// a fleck of the others) and the files the tool is given.
struct Good {
  TempFolder root;
  std::string data = std::string(kSize, '\0');
  std::string plain = root.path() + "/good", secret = root.path() + "/secret",
              half = root.path() + "/half";
  Good() {
    std::mt19937_64 random(7);
    for (std::size_t i = 0; i < data.size(); ++i)
      data[i] = i / kFleck % 4 == 1 ? '\0' : i / kFleck % 2 == 0 ? 'a' + i % 23 : char(random());
    for (const auto& [folder, password, fleck] : {std::tuple{plain, "", kFleck},
                                                  {secret, "right password", kFleck},
                                                  {half, "", kFleck / 2}}) {
      CFleckDisk::create(local(), uri(folder), kSize, 1, password, "lz4", fleck);
      CFleckDisk disk(local(), uri(folder), password, zel::IIOStream::AccessReadWrite, 2);
      disk.write(data.data(), kSize);
      disk.flushChanges();
    }
    writeFile(root.path() + "/image", data);
    writeFile(root.path() + "/big", std::string(kSize + 1, 'b'));
    writeFile(root.path() + "/nul", std::string("\0secret\n", 8));
    writeFile(root.path() + "/wrong", "wrong password\n");
  }
};
std::unique_ptr<Good> good;

// Builders: each makes its case inside `folder` and returns the disk to point at.
std::string copy(const std::string& folder, bool encrypted = false) {
  fs::copy(encrypted ? good->secret : good->plain, folder + "/disk", fs::copy_options::recursive);
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
// A disk whose link file `name` leads to `target` inside the case's folder.
Build linked(const char* name, const std::string& target) {
  return [=](const std::string& folder) {
    fs::create_directories(folder + "/" + target);
    link(copy(folder), name, folder + "/" + target);
    return folder + "/disk";
  };
}
const Build kPlain = [](auto& f) { return copy(f); };
const Build kEncrypted = [](auto& f) { return copy(f, true); };
// Files of a disk from `base` changed, or replaced by entries `make` makes.
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
const auto flip = [](std::size_t at) -> Bytes { return [=](auto b) { return b[at] ^= 64, b; }; };
const auto cut = [](std::size_t n) -> Bytes { return [=](auto b) { return b.substr(0, n); }; };
const auto append = [](std::size_t n) -> Bytes { return [=](auto b) { return b.append(n, 'z'); }; };
std::string noise(std::string b) {
  for (std::size_t i = 0; i < b.size(); ++i)
    b[i] = static_cast<char>(i * 37 + 11);
  return b;
}
// A header field rewritten, its digest fixed so that the parser behind it sees it.
template <class T>
Build field(std::size_t offset, T value) {
  return changed(kHeaders, [=](const std::string& file) {
    std::string payload = file.substr(0, file.size() - 16);
    payload.replace(offset, sizeof value, reinterpret_cast<const char*>(&value), sizeof value);
    unsigned char md5[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(payload.data(), payload.size(), md5, &length, EVP_md5(), nullptr);
    return payload + std::string(reinterpret_cast<const char*>(md5), length);
  });
}
const auto makeFolder = [](const std::string& path) { fs::create_directory(path); };
const auto makeFifo = [](const std::string& path) { ::mkfifo(path.c_str(), 0600); };
const auto makeFile = [](const std::string& path) { writeFile(path, "x"); };
const auto makeSymlink = [](const std::string& path) {
  fs::create_symlink(good->plain + "/" + kBadFile, path);  // a good record outside the disk
};

// Library actions; each must throw.
Action open(const char* password, zel::IIOStream::Access access) {
  return [=](const std::string& disk) { CFleckDisk d(local(), uri(disk), password, access, 1); };
}
std::vector<Action> opens(const char* password = "") {
  return {open(password, zel::IIOStream::AccessRead),
          open(password, zel::IIOStream::AccessReadWrite)};
}
// Reads the fleck after the bad one (it must hold its data), then the bad one.
void readBad(const std::string& disk) {
  CFleckDisk d(local(), uri(disk), "", zel::IIOStream::AccessRead, 1);
  std::string bytes(kFleck, '\0');
  d.seek(4 * kFleck);
  d.read(bytes.data(), kFleck);
  EXPECT_TRUE(bytes == good->data.substr(4 * kFleck, kFleck)) << "the neighbour";
  d.seek(3 * kFleck);
  d.read(bytes.data(), kFleck);
}
Action create(int fleckSize, std::int64_t diskSize) {
  return [=](const std::string& disk) {
    CFleckDisk::create(local(), uri(disk + "/new"), diskSize, 1, "", "lz4", fleckSize);
  };
}

// The class (and code) the library's error must have.
using Kind = bool (*)(const std::exception&);
template <class E, int code = -1>
bool is(const std::exception& e) {
  const auto* error = dynamic_cast<const E*>(&e);
  return error != nullptr && (code < 0 || error->getCode() == code);
}

// One input: its name, how it is made, the tool's exit status, arguments ("DISK" stands
// for the case's disk, "@name" for a file beside the good disks) and words ('|' between
// them); the library actions that must throw, their words and their class.
struct Row {
  std::string name;
  Build build;
  int status;
  std::string tool, toolSays;
  std::vector<Action> lib = {};
  std::string libSays = "";
  Kind kind = is<zel::CError>;
  Env env = {};
};

const Env kWrong{{"FLECK_PASSWORD", "wrong password"}},
    kRight{{"FLECK_PASSWORD", "right password"}};
const Kind kPassword = is<CFleckDiskError, CFleckDiskError::EncryptPasswordIncorrect>;
const Kind kNewer = is<CFleckDiskError, CFleckDiskError::NewerVersionRequired>;
const std::vector<Action> kOpens = opens(), kReadBad = {readBad};
const std::string kNew = "create DISK/new --size 1M ", kExport = "export DISK @out",
                  kImport = "import DISK @image", kHeader = "disk.fleckdisk",
                  kUnmapped = "sizes that cannot be mapped", kDamaged = "damaged header",
                  kCorrupted = "Fleck file is corrupted|fleckIndex=3", kOdd = "not a regular file";

// clang-format off
const std::vector<Row> kRows = {
    // Folders that are no disks.
    {"EmptyFolder", [](auto& f) { return fs::create_directory(f + "/e"), f + "/e"; }, 1,
     "info DISK", "DISK: not a fleck disk", kOpens, kHeader},
    {"FolderOfOtherFiles", [](auto& f) { return writeFile(f + "/notes", "x"), f; }, 1,
     "child @c --parent DISK", "DISK: not a fleck disk", kOpens, kHeader},
    {"MissingFolder", [](auto& f) { return f + "/no"; }, 1, kExport, "DISK: no such folder", kOpens,
     "File or folder not found|DISK/disk.fleckdisk"},
    {"FileInsteadOfFolder", [](auto& f) { return writeFile(f + "/x", "x"), f + "/x"; }, 1, kImport,
     "not a folder", kOpens, "DISK"},
    // Both header copies damaged, and header values out of range.
    {"HeaderFlipped", changed(kHeaders, flip(20)), 1, "info DISK",
     "DISK: damaged header|DISK/disk.fleckdisk|DISK/fallback/disk.fleckdisk", kOpens, kHeader},
    {"HeaderTruncated", changed(kHeaders, cut(10)), 1, kExport, kDamaged, kOpens, "DISK"},
    {"HeaderOversized", changed(kHeaders, append(2 << 20)), 1, kImport, kDamaged, kOpens},
    {"HeaderNoise", changed(kHeaders, noise), 3, "verify DISK",
     "DAMAGED metadata|no intact copy of the header", kOpens, kHeader},
    {"HeaderIsFolder", replaced(kHeaders, makeFolder), 1, "info DISK", kDamaged, kOpens, kHeader},
    {"OneHeaderMissingOneDamaged", [](auto& f) {
       return fs::remove(changed(kHeaders, flip(12))(f) + "/" + kHeaders[1]), f + "/disk"; },
     1, "info DISK", "damaged header|missing", kOpens, kHeader},
    {"FleckSizeZero", field(32, 0), 1, kExport, kUnmapped, kOpens, kUnmapped},
    {"FleckSizeNegative", field(32, -4096), 1, kImport, kUnmapped, kOpens, kUnmapped},
    {"FleckSize2G", field(32, 0x7fffffff), 1, "verify DISK", kUnmapped, kOpens, kUnmapped},
    {"DiskSizeNegative", field(40, -5L), 1, kExport, kUnmapped, kOpens, kUnmapped},
    {"DiskSizePastTheTree", field(40, 1L << 62), 1, kExport, kUnmapped, kOpens, kUnmapped},
    {"NewerReader", field(16, 2L), 1, kExport, "DISK: |newer version|reader version 2", kOpens,
     "newer", kNewer},
    {"NewerWriter", field(24, 7L), 1, kImport, "DISK: |newer version|writer version 7",
     {open("", zel::IIOStream::AccessReadWrite)}, "newer", kNewer},
    {"NewerWriterStillReads", field(24, 7L), 0, kExport, ""},
    {"StringLengthHuge", field(48, 0x7fffffff), 1, "info DISK", kDamaged, kOpens,
     "header record is damaged|DISK"},
    {"StringLengthNegative", field(48, -3), 1, kExport, kDamaged, kOpens, "string length"},
    // Links: damaged, looping, leading nowhere.
    {"GarbageParentLink",
     changed({"parent.flecklnk", "fallback/parent.flecklnk"}, noise, [](auto& f) {
       return child(f); }),
     1, "info DISK", "damaged link file|parent.flecklnk", kOpens, "corrupted|parent.flecklnk"},
    {"ParentLinkToItself", linked("parent.flecklnk", "disk"), 1, kExport, "circle", kOpens, "loop"},
    {"ParentLinksInACircle",
     [](auto& f) { return link(f + "/disk", "parent.flecklnk", child(f)), f + "/child"; }, 1,
     "verify DISK --chain", "circle", kOpens, "loop"},
    {"MissingParent",
     [](auto& f) { return child(f, true), fs::remove_all(f + "/disk"), f + "/child"; }, 1, kExport,
     "parent disk|missing", kOpens},
    {"ParentNotADisk", linked("parent.flecklnk", "x"), 1, kImport, "parent disk|not a fleck disk",
     kOpens},
    {"GarbageChildLink",
     changed({"child.flecklnk", "fallback/child.flecklnk"}, noise,
       [](auto& f) { return child(f, true), f + "/disk"; }),
     1, "child @c --parent DISK", "child.flecklnk", kOpens, "corrupted|child.flecklnk"},
    {"ChildLinkToItself", linked("child.flecklnk", "disk"), 1, "info DISK", "circle"},
    {"StaleChildLink",
     [](auto& f) {
       fs::remove_all(child(f, true));
       CFleckDisk::create(local(), uri(f + "/child"), kSize, 1, "", "lz4", kFleck);
       return f + "/disk";
     },
     1, kImport, "DISK/child.flecklnk|leads to"},
    {"ChildLinkNowhere", linked("child.flecklnk", "x"), 3, "verify DISK",
     "DAMAGED child link|DISK/child.flecklnk"},
    {"ChildLinkNowhereStillExports", linked("child.flecklnk", "x"), 0, kExport, ""},
    // Passwords.
    {"WrongPassword", kEncrypted, 1, "check-password DISK", "DISK: wrong password",
     opens("wrong password"), "password", kPassword, kWrong},
    {"WrongPasswordFile", kEncrypted, 1, kExport + " --password-file @wrong",
     "DISK: wrong password", opens("right password\n"), "password", kPassword},
    {"NoPassword", kEncrypted, 1, kImport, "DISK: |password is needed|FLECK_PASSWORD", kOpens,
     "password", kPassword},
    {"PasswordForAPlainDisk", kPlain, 1, kExport,
     "DISK: |not encrypted|password was given|FLECK_PASSWORD", opens("any"), "password", kPassword,
     kWrong},
    {"PasswordWithNul", kEncrypted, 1, "check-password DISK --password-file @nul", "NUL byte"},
    {"PasswordNotUtf8", kPlain, 1, kNew + "--encrypt", "FLECK_PASSWORD|not valid UTF-8", {}, "",
     is<zel::CError>, {{"FLECK_PASSWORD", "caf\xe9"}}},
    {"VerifyWithoutThePassword", kEncrypted, 1, "verify DISK", "DISK: |password"},
    // Damaged fleck files: only their own reads fail.
    {"FleckTruncated", changed({kBadFile}, cut(100)), 3, "verify DISK",
     "DAMAGED fleck 3: DISK/" + kBadFile, kReadBad, kCorrupted + "|DISK/" + kBadFile},
    {"FleckLonger", changed({kBadFile}, append(5000)), 3, "verify DISK --threads 1",
     "DAMAGED fleck 3", kReadBad, kCorrupted},
    {"FleckFlipped", changed({kBadFile}, flip(kFleck / 2)), 1, kExport, "fleck 3|corrupted",
     kReadBad, kCorrupted},
    {"FleckOfAnEncryptedDisk", changed({kBadFile}, flip(kFleck / 2), kEncrypted), 3,
     "verify DISK --threads 3",
     "DAMAGED fleck 3: DISK/" + kBadFile + "|0 metadata file(s) and 1 fleck file(s) damaged", {},
     "", is<zel::CError>, kRight},
    {"FleckOfHalfAFleck", [](auto& f) {
       fs::copy_file(good->half + "/flecks/d00/c00/b00/a00/07.fleck", copy(f) + "/" + kBadFile,
                     fs::copy_options::overwrite_existing);
       return f + "/disk"; }, 3, "verify DISK", "DAMAGED fleck 3", kReadBad, kCorrupted},
    // Entries of the wrong kind: never followed, never waited on.
    {"FleckIsFolder", replaced({kBadFile}, makeFolder), 3, "verify DISK",
     "a folder where the tree needs a fleck file", kReadBad, kOdd},
    {"FleckIsFifo", replaced({kBadFile}, makeFifo), 1, kExport, "fleck 3|" + kOdd, kReadBad, kOdd},
    {"FleckIsSymlink", replaced({kBadFile}, makeSymlink), 1, kExport, "fleck 3|" + kOdd, kReadBad,
     kOdd},
    {"FlecksIsFile", replaced({"flecks"}, makeFile), 3, "verify DISK",
     "a file where the tree needs a folder"},
    {"StoresFailWhereTheTreeIsAFile", replaced({"flecks"}, makeFile), 1, kImport,
     "DISK: storing|failed"},
    {"TreeFolderIsFile", replaced({"flecks/d00/c00/b00/a00"}, makeFile), 3, "verify DISK",
     "a file where the tree needs a folder"},
    {"FallbackIsFile", replaced({"fallback"}, makeFile), 3, "verify DISK", "fallback"},
    // Sizes and positions out of range.
    {"CreateSizes", kPlain, 1, "create DISK --size 1M", "DISK: the folder holds a disk already",
     {create(0, 1 << 20), create(-4096, 1 << 20), create(65536, -1), create(1024, 1L << 50),
      create(65536, INT64_MAX)}, "size", is<zel::CInvalidArgError>},
    {"NoBackgroundOperations", kPlain, 2, kExport + " --threads 0", "threads",
     {[](auto& d) { CFleckDisk(local(), uri(d), "", zel::IIOStream::AccessRead, 0); }},
     "maxBackgroundOps", is<zel::CInvalidArgError>},
    {"ImageLargerThanTheDisk", kPlain, 1, "import DISK @big",
     "DISK: |larger than the disk|nothing was imported"},
    {"OffsetNegative", kPlain, 2, kExport + " --offset -5", "negative"},
    {"OffsetPastTheEnd", kPlain, 2, kExport + " --offset 2M", "past the disk's end"},
    {"LengthPastTheEnd", kPlain, 2, kExport + " --length 2M", "past the disk's end"},
    {"RangePastTheEnd", kPlain, 2, kExport + " --offset 128K --length 1", "end"},
    {"SizeZero", kPlain, 2, "create DISK/new --size 0", "--size|more than 0"},
    {"SizeNegative", kPlain, 2, "create DISK/new --size -5M", "--size|more than 0"},
    {"SizeUnknownUnit", kPlain, 2, "create DISK/new --size 1parsec", "--size|unknown unit"},
    {"SizeInDecimalUnits", kPlain, 2, "create DISK/new --size 1MB", "--size|MiB"},
    {"FleckSizeOptionZero", kPlain, 2, kNew + "--fleck-size 0", "--fleck-size|more than 0"},
    {"FleckSizeOption2G", kPlain, 2, kNew + "--fleck-size 2G", "--fleck-size"},
    {"UnknownCompressor", kPlain, 2, kNew + "--compress zip", "--compress|zip"},
    {"PasswordWithoutEncrypt", kPlain, 2, kNew + "--password-file @wrong", "--encrypt"},
};
// clang-format on

std::vector<std::string> split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::istringstream in(text);
  for (std::string part; std::getline(in, part, separator);)
    parts.push_back(part);
  return parts;
}
std::string fill(std::string text, const std::string& disk) {
  if (text.starts_with('@')) return good->root.path() + "/" + text.substr(1);
  for (std::size_t at = 0; (at = text.find("DISK", at)) != std::string::npos; at += disk.size())
    text.replace(at, 4, disk);
  return text;
}
void expectSays(const std::string& said, const std::string& words, const std::string& disk) {
  for (const std::string& w : split(words, '|'))
    EXPECT_NE(said.find(fill(w, disk)), std::string::npos)
        << "no \"" << fill(w, disk) << "\" in: " << said;
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
  const ProgramResult r = runProgram(arguments, good->root.path(), row.env, 60000);
  ASSERT_FALSE(r.timedOut) << "the tool did not end";
  EXPECT_EQ(r.status, row.status) << r.out << r.err;
  expectSays(r.out + r.err, row.toolSays, disk);
  EXPECT_TRUE(row.status != 1 || std::count(r.err.begin(), r.err.end(), '\n') == 1)
      << "a failure is one line on standard error: " << r.err;
  EXPECT_EQ(describeDifferences(before, snapshotFolder(folder)), "") << "the tool";
}

INSTANTIATE_TEST_SUITE_P(Rows, BadInputTest, ::testing::ValuesIn(kRows),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace fleck::test
