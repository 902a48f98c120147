#pragma once

// The base of the tool's tests: a temporary folder, the built tool run in it as a user
// would (in a new session: no terminal to prompt on), and views of a disk's files.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <map>
#include <random>

#include "support/CChildProcess.h"
#include "support/TempFolder.h"

namespace fleck::test {

using Env = std::vector<std::pair<std::string, std::string>>;
constexpr std::size_t kFleck = 16 * 1024;

// Quarter flecks of random bytes, of text (the same in every image) and of zeros; every
// third fleck all zeros. Deterministic for a seed.
inline std::string makeImage(std::uint64_t seed, std::size_t size) {
  std::mt19937_64 random(seed);
  std::string image(size, '\0');
  for (std::size_t at = 0; at < size; at += kFleck / 4) {
    const auto kind = random() % 4;
    for (std::size_t i = at; i < std::min(size, at + kFleck / 4) && i / kFleck % 3 != 1; ++i)
      image[i] = kind == 0 ? '\0' : kind == 1 ? "lazy fleck "[i % 11] : char(random());
  }
  return image;
}
inline bool isZero(const std::string& bytes, std::size_t offset, std::size_t length) {
  return bytes.find_first_not_of('\0', offset) >= offset + length;
}
inline void expectSays(const std::string& text, const std::vector<std::string>& parts) {
  for (const std::string& part : parts)
    EXPECT_NE(text.find(part), std::string::npos) << "no \"" << part << "\" in: " << text;
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
  ProgramResult ok(const std::vector<std::string>& arguments, const Env& env = {}) const {
    ProgramResult r = fleck(arguments, env);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    return r;
  }
  // Expects the status and one line on standard error that says every one of `parts`.
  void fails(const ProgramResult& r, int status, const std::vector<std::string>& parts) const {
    EXPECT_EQ(r.status, status) << r.out << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    expectSays(r.err, parts);
  }
  std::string exported(const std::string& disk, std::size_t length, const Env& env = {}) const {
    return ok({"export", path(disk), "-", "--length", std::to_string(length)}, env).out;
  }
  std::string path(const std::string& name) const { return root.path() + "/" + name; }
  std::string write(const std::string& name, const std::string& bytes) const {
    writeFile(path(name), bytes);
    return path(name);
  }
  std::string read(const std::string& name) const { return readFile(path(name)); }

  // The fleck files of a disk (relative paths) and their modification times in seconds.
  std::map<std::string, std::int64_t> fleckFiles(const std::string& disk) const {
    std::map<std::string, std::int64_t> files;
    std::error_code missing;
    for (const auto& entry :
         std::filesystem::recursive_directory_iterator(path(disk) + "/flecks", missing)) {
      struct stat info {};
      if (entry.is_regular_file() && ::stat(entry.path().c_str(), &info) == 0)
        files[std::filesystem::relative(entry.path(), path(disk)).string()] = info.st_mtime;
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
  static std::string fleckPath(int index) {  // of the first 16
    return std::string("flecks/d00/c00/b00/a00/0") + "0123456789abcdef"[index] + ".fleck";
  }
  void flipByte(const std::string& name, std::size_t offset) const {
    std::string bytes = read(name);
    bytes.at(offset) ^= 0x5a;
    write(name, bytes);
  }

  TempFolder root;
};

}  // namespace fleck::test
