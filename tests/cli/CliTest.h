#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "CliRunner.h"
#include "support/TempFolder.h"

namespace fleck::clitest {

// The base of the command-line tests: a temporary folder to work in, the tool run in
// it, and helpers to look at a disk's files behind the tool's back.
class CliTest : public ::testing::Test {
 protected:
  CliTest();

  // Runs `fleck ARGS...`.
  CliResult fleck(const std::vector<std::string>& arguments,
                  const CliOptions& options = CliOptions()) const;
  // A path inside the test's folder.
  std::string path(const std::string& name) const;
  // Writes a file into the test's folder and returns its path.
  std::string write(const std::string& name, const std::string& bytes) const;
  std::string read(const std::string& name) const;
  // A file holding `password` on its first line; returns its path.
  std::string passwordFile(const std::string& password) const;

  // The fleck files of a disk (relative paths, "flecks/d00/.../xx.fleck") with their
  // modification times in nanoseconds.
  std::map<std::string, std::int64_t> fleckFiles(const std::string& disk) const;
  // Sets the modification time of every fleck file of a disk to the year 2000, so that
  // a later store shows as a newer time.
  void ageFleckFiles(const std::string& disk) const;
  static constexpr std::int64_t kAgedTime = std::int64_t{946684800} * 1000000000;
  // The file of fleck `index` relative to a disk folder.
  static std::string fleckPath(std::int64_t index);
  // Changes one byte of a file in place.
  void flipByte(const std::string& file, std::size_t offset) const;

  fleck::test::TempFolder root;
  CliRunner runner;
};

}  // namespace fleck::clitest
