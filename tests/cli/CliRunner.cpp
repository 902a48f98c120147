#include "CliRunner.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "support/TempFolder.h"

extern char** environ;

namespace fleck::clitest {

CliRunner::CliRunner(std::string scratchFolder) : scratch(std::move(scratchFolder)) {}

std::string CliRunner::binary() {
  return FLECK_CLI_BINARY;
}

CliResult CliRunner::run(const std::vector<std::string>& arguments,
                         const CliOptions& options) const {
  const std::string outFile = scratch + "/.stdout";
  const std::string errFile = scratch + "/.stderr";

  std::vector<std::string> environment;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    if (std::strncmp(*entry, "FLECK_PASSWORD=", 15) != 0) environment.emplace_back(*entry);
  }
  for (const auto& [name, value] : options.environment)
    environment.push_back(name + "=" + value);

  std::vector<std::string> argv{binary()};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  std::vector<char*> argvPointers;
  for (std::string& a : argv)
    argvPointers.push_back(a.data());
  argvPointers.push_back(nullptr);
  std::vector<char*> envPointers;
  for (std::string& e : environment)
    envPointers.push_back(e.data());
  envPointers.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  const std::string input = options.stdinFile.empty() ? "/dev/null" : options.stdinFile;
  posix_spawn_file_actions_addopen(&actions, 0, input.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  posix_spawn_file_actions_addopen(&actions, 2, errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  // A new session has no controlling terminal: a password prompt fails at once.
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);

  pid_t pid;
  const int spawned = posix_spawn(&pid, argv[0].c_str(), &actions, &attributes, argvPointers.data(),
                                  envPointers.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (spawned != 0)
    throw std::runtime_error("cannot run " + argv[0] + ": " + std::strerror(spawned));

  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) throw std::runtime_error("waitpid failed");
  }
  CliResult result;
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  result.out = testing::readFile(outFile);
  result.err = testing::readFile(errFile);
  return result;
}

}  // namespace fleck::clitest
