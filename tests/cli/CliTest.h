#pragma once

// The base of the tool's tests: a temporary folder, the built tool run in it as a user
// would (in a new session: no terminal to prompt on), and helpers to look at a disk's
// files behind the tool's back.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "fleck/CFleck.h"
#include "support/CChildProcess.h"
#include "support/TempFolder.h"
#include "zel/TArray.h"

namespace fleck::test {

using Env = std::vector<std::pair<std::string, std::string>>;
constexpr std::size_t kFleck = 16 * 1024;

// An image of blocks of random bytes, of text and of zeros, so that every compressor has
// work; every third fleck is all zeros. Deterministic for a seed.
inline std::string makeImage(std::uint64_t seed, std::size_t size) {
  std::mt19937_64 random(seed);
  std::string image(size, '\0');
  for (std::size_t at = 0; at < size; at += kFleck / 4) {
    const std::size_t n = std::min(kFleck / 4, size - at);
    const auto kind = random() % 4;
    for (std::size_t i = 0; i < n && (at / kFleck) % 3 != 1 && kind != 0; ++i)
      image[at + i] = kind == 1 ? "fleck over a lazy disk; "[(at + i) % 24] : char(random());
  }
  return image;
}

inline bool isZero(const std::string& bytes, std::size_t offset, std::size_t length) {
  return std::all_of(bytes.begin() + offset, bytes.begin() + offset + length,
                     [](char c) { return c == 0; });
}

inline int nonZeroFlecks(const std::string& image) {
  int count = 0;
  for (std::size_t at = 0; at < image.size(); at += kFleck)
    count += isZero(image, at, std::min(kFleck, image.size() - at)) ? 0 : 1;
  return count;
}

class CliTest : public ::testing::Test {
 protected:
  ProgramResult fleck(const std::vector<std::string>& arguments, const Env& env = {},
                      const std::string& stdinFile = "") const {
    std::vector<std::string> argv{FLECK_CLI_BINARY};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    CChildProcess::Options options;
    options.environment = env;
    options.stdinFile = stdinFile;
    return runProgram(argv, root.path(), options, 300000);
  }
  // Runs the tool and expects success.
  ProgramResult ok(const std::vector<std::string>& arguments, const Env& env = {}) const {
    ProgramResult r = fleck(arguments, env);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    return r;
  }
  // The first `length` bytes of a disk.
  std::string exported(const std::string& disk, std::size_t length, const Env& env = {}) const {
    return ok({"export", path(disk), "-", "--length", std::to_string(length)}, env).out;
  }
  std::string path(const std::string& name) const { return root.path() + "/" + name; }
  std::string write(const std::string& name, const std::string& bytes) const {
    writeFile(path(name), bytes);
    return path(name);
  }
  std::string read(const std::string& name) const { return readFile(path(name)); }

  // The fleck files of a disk (relative paths) with their modification times in ns.
  std::map<std::string, std::int64_t> fleckFiles(const std::string& disk) const {
    std::map<std::string, std::int64_t> files;
    const std::filesystem::path base = path(disk);
    if (!std::filesystem::exists(base / "flecks")) return files;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(base / "flecks")) {
      struct stat info {};
      if (!entry.is_regular_file() || ::stat(entry.path().c_str(), &info) != 0) continue;
      files[std::filesystem::relative(entry.path(), base).string()] =
          std::int64_t{info.st_mtim.tv_sec} * 1000000000 + info.st_mtim.tv_nsec;
    }
    return files;
  }
  // Sets every fleck file's time to the year 2000, so that a later store shows.
  static constexpr std::int64_t kAged = 946684800;
  void ageFleckFiles(const std::string& disk) const {
    const timespec times[2] = {{kAged, 0}, {kAged, 0}};
    for (const auto& entry : fleckFiles(disk))
      ASSERT_EQ(::utimensat(AT_FDCWD, (path(disk) + "/" + entry.first).c_str(), times, 0), 0);
  }
  static std::string fleckPath(std::int64_t index) {
    zel::TArray<int> digits;
    return CFleck::formRelativeFleckURI(index, 97, 5, CFleck::computeDigitWidth(97), digits)
        .toString(false)
        .toUTF8();
  }
  void flipByte(const std::string& file, std::size_t offset) const {
    std::string bytes = readFile(file);
    ASSERT_LT(offset, bytes.size()) << file;
    bytes[offset] = static_cast<char>(bytes[offset] ^ 0x5a);
    writeFile(file, bytes);
  }

  TempFolder root;
};

// Expects `text` to hold every one of `parts`.
inline void expectSays(const std::string& text, const std::vector<std::string>& parts) {
  for (const std::string& part : parts)
    EXPECT_NE(text.find(part), std::string::npos) << "no \"" << part << "\" in: " << text;
}

}  // namespace fleck::test
