#include "CliTest.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <filesystem>
#include <stdexcept>

#include "fleck/CFleck.h"
#include "zel/TArray.h"

namespace fleck::clitest {

CliTest::CliTest() : runner(root.path()) {}

CliResult CliTest::fleck(const std::vector<std::string>& arguments,
                         const CliOptions& options) const {
  return runner.run(arguments, options);
}

std::string CliTest::path(const std::string& name) const {
  return root.path() + "/" + name;
}

std::string CliTest::write(const std::string& name, const std::string& bytes) const {
  fleck::test::writeFile(path(name), bytes);
  return path(name);
}

std::string CliTest::read(const std::string& name) const {
  return fleck::test::readFile(path(name));
}

std::string CliTest::passwordFile(const std::string& password) const {
  return write("password-" + std::to_string(std::hash<std::string>()(password)), password + "\n");
}

std::map<std::string, std::int64_t> CliTest::fleckFiles(const std::string& disk) const {
  std::map<std::string, std::int64_t> files;
  const std::filesystem::path base = path(disk);
  if (!std::filesystem::exists(base / "flecks")) return files;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(base / "flecks")) {
    if (!entry.is_regular_file()) continue;
    struct stat info {};
    if (::stat(entry.path().c_str(), &info) != 0) throw std::runtime_error("stat failed");
    files[std::filesystem::relative(entry.path(), base).string()] =
        std::int64_t{info.st_mtim.tv_sec} * 1000000000 + info.st_mtim.tv_nsec;
  }
  return files;
}

void CliTest::ageFleckFiles(const std::string& disk) const {
  for (const auto& [file, time] : fleckFiles(disk)) {
    const timespec times[2] = {{kAgedTime / 1000000000, 0}, {kAgedTime / 1000000000, 0}};
    if (::utimensat(AT_FDCWD, (path(disk) + "/" + file).c_str(), times, 0) != 0) {
      throw std::runtime_error("utimensat failed");
    }
  }
}

std::string CliTest::fleckPath(std::int64_t index) {
  zel::TArray<int> digits;
  return CFleck::formRelativeFleckURI(index, 97, 5, CFleck::computeDigitWidth(97), digits)
      .toString(false)
      .toUTF8();
}

void CliTest::flipByte(const std::string& file, std::size_t offset) const {
  std::string bytes = fleck::test::readFile(file);
  if (offset >= bytes.size()) throw std::runtime_error("flipByte past the end of " + file);
  bytes[offset] = static_cast<char>(bytes[offset] ^ 0x5a);
  fleck::test::writeFile(file, bytes);
}

}  // namespace fleck::clitest
