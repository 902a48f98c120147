#include "support/CChildProcess.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <thread>

#include "support/TempFolder.h"

extern char** environ;

namespace fleck::test {

CChildProcess::CChildProcess(const std::vector<std::string>& arguments, const Options& options) {
  if (arguments.empty()) throw std::runtime_error("no program to run");
  std::vector<std::string> environment;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string name(*entry, std::strcspn(*entry, "="));
    const auto& unset = options.unset;
    if (name != "FLECK_PASSWORD" && std::find(unset.begin(), unset.end(), name) == unset.end())
      environment.emplace_back(*entry);
  }
  for (const auto& [name, value] : options.environment)
    environment.push_back(name + "=" + value);
  std::vector<char*> argv, envp;
  for (const std::string& a : arguments)
    argv.push_back(const_cast<char*>(a.c_str()));
  for (const std::string& e : environment)
    envp.push_back(const_cast<char*>(e.c_str()));
  argv.push_back(nullptr);
  envp.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  const std::string files[3] = {options.stdinFile, options.stdoutFile, options.stderrFile};
  for (int fd = 0; fd < 3; ++fd) {
    posix_spawn_file_actions_addopen(&actions, fd,
                                     files[fd].empty() ? "/dev/null" : files[fd].c_str(),
                                     fd == 0 ? O_RDONLY : O_WRONLY | O_CREAT | O_TRUNC, 0644);
  }
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
  const int spawned = (options.searchPath ? posix_spawnp : posix_spawn)(
      &pid, argv[0], &actions, &attributes, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (spawned != 0) {
    pid = -1;
    throw std::runtime_error("cannot run " + arguments[0] + ": " + std::strerror(spawned));
  }
}

bool CChildProcess::running() {
  int raw = 0;
  if (pid <= 0 || ::waitpid(pid, &raw, WNOHANG) != pid) return pid > 0;
  status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
  pid = -1;
  return false;
}

int CChildProcess::wait(int timeoutMs) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (running()) {
    if (timeoutMs >= 0 && !timeout && std::chrono::steady_clock::now() >= end) {
      timeout = true;
      kill(SIGKILL);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return status;
}

ProgramResult runProgram(const std::vector<std::string>& arguments,
                         const std::string& scratchFolder, CChildProcess::Options options,
                         int timeoutMs) {
  options.stdoutFile = scratchFolder + "/.stdout";
  options.stderrFile = scratchFolder + "/.stderr";
  CChildProcess child(arguments, options);
  const int status = child.wait(timeoutMs);
  return {status, child.timedOut(), readFile(options.stdoutFile), readFile(options.stderrFile)};
}

}  // namespace fleck::test
