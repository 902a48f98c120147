#include "CliRunner.h"

#include "support/CChildProcess.h"

namespace fleck::clitest {

CliRunner::CliRunner(std::string scratchFolder) : scratch(std::move(scratchFolder)) {}

std::string CliRunner::binary() {
  return FLECK_CLI_BINARY;
}

CliResult CliRunner::run(const std::vector<std::string>& arguments,
                         const CliOptions& options) const {
  std::vector<std::string> argv{binary()};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  fleck::test::CChildProcess::Options childOptions;
  childOptions.stdinFile = options.stdinFile;
  childOptions.environment = options.environment;
  // No time limit: a hang shows as the test's own timeout.
  fleck::test::ProgramResult result = fleck::test::runProgram(argv, scratch, std::move(childOptions), -1);
  return CliResult{result.status, std::move(result.out), std::move(result.err)};
}

}  // namespace fleck::clitest
