#include "support/CChildProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <thread>

#include "support/TempFolder.h"

extern char** environ;

namespace fleck::test {

CChildProcess::CChildProcess(const std::vector<std::string>& arguments, const Options& options) {
  if (arguments.empty()) throw std::runtime_error("no program to run");
  std::vector<std::string> dropped{"FLECK_PASSWORD="};
  for (const std::string& name : options.unset)
    dropped.push_back(name + "=");
  std::vector<std::string> environment;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    bool drop = false;
    for (const std::string& prefix : dropped)
      drop = drop || std::strncmp(*entry, prefix.c_str(), prefix.size()) == 0;
    if (!drop) environment.emplace_back(*entry);
  }
  for (const auto& [name, value] : options.environment)
    environment.push_back(name + "=" + value);

  std::vector<std::string> argv = arguments;
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
  const std::string output = options.stdoutFile.empty() ? "/dev/null" : options.stdoutFile;
  const std::string error = options.stderrFile.empty() ? "/dev/null" : options.stderrFile;
  posix_spawn_file_actions_addopen(&actions, 0, input.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, error.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (options.passFd >= 0) posix_spawn_file_actions_adddup2(&actions, options.passFd, 3);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  // A new session has no controlling terminal: a password prompt fails at once.
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);

  const int spawned = (options.searchPath ? posix_spawnp : posix_spawn)(
      &pid, argv[0].c_str(), &actions, &attributes, argvPointers.data(), envPointers.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (spawned != 0) {
    pid = -1;
    throw std::runtime_error("cannot run " + argv[0] + ": " + std::strerror(spawned));
  }
}

CChildProcess::~CChildProcess() {
  if (pid > 0) {
    ::kill(pid, SIGKILL);
    int ignored = 0;
    while (::waitpid(pid, &ignored, 0) < 0 && errno == EINTR) {
    }
  }
}

void CChildProcess::kill(int signal) {
  if (pid > 0) ::kill(pid, signal);
}

bool CChildProcess::running() {
  if (pid <= 0) return false;
  int raw = 0;
  const pid_t done = ::waitpid(pid, &raw, WNOHANG);
  if (done == pid) {
    status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    pid = -1;
    return false;
  }
  return true;
}

int CChildProcess::wait(int timeoutMs) {
  if (pid <= 0) return status;
  if (timeoutMs >= 0) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (running()) {
      if (std::chrono::steady_clock::now() >= end) {
        timeout = true;
        ::kill(pid, SIGKILL);
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    if (pid <= 0) return status;
  }
  int raw = 0;
  while (::waitpid(pid, &raw, 0) < 0) {
    if (errno != EINTR) throw std::runtime_error("waitpid failed");
  }
  status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
  pid = -1;
  return status;
}

ProgramResult runProgram(const std::vector<std::string>& arguments,
                         const std::string& scratchFolder,
                         const std::vector<std::pair<std::string, std::string>>& environment,
                         int timeoutMs) {
  CChildProcess::Options options;
  options.environment = environment;
  return runProgram(arguments, scratchFolder, std::move(options), timeoutMs);
}

ProgramResult runProgram(const std::vector<std::string>& arguments,
                         const std::string& scratchFolder, CChildProcess::Options options,
                         int timeoutMs) {
  options.stdoutFile = scratchFolder + "/.stdout";
  options.stderrFile = scratchFolder + "/.stderr";
  CChildProcess child(arguments, options);
  ProgramResult result;
  result.status = child.wait(timeoutMs);
  result.timedOut = child.timedOut();
  result.out = readFile(options.stdoutFile);
  result.err = readFile(options.stderrFile);
  return result;
}

}  // namespace fleck::test
