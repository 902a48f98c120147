#pragma once

#include <string>
#include <utility>
#include <vector>

namespace fleck::clitest {

// What one run of the tool gave: its exit status (128 + the signal when it was killed)
// and everything it wrote.
struct CliResult {
  int status = -1;
  std::string out;
  std::string err;
};

// How to run it: standard input from a file (else /dev/null), extra environment
// variables (FLECK_PASSWORD is removed from the inherited ones unless given here).
struct CliOptions {
  std::string stdinFile;
  std::vector<std::pair<std::string, std::string>> environment;
};

// Runs the built `fleck` binary as a user would: in a new session (so that it has no
// terminal to prompt on and never waits for one), with its output captured in files
// of `scratchFolder`.
class CliRunner {
 public:
  explicit CliRunner(std::string scratchFolder);

  CliResult run(const std::vector<std::string>& arguments,
                const CliOptions& options = CliOptions()) const;

  static std::string binary();

 private:
  std::string scratch;
};

}  // namespace fleck::clitest
