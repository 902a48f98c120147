#include "Process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <stdexcept>

#include "support/TempFolder.h"

extern char** environ;

namespace fleck::nbdtest {

namespace {

bool isDropped(const char* entry) {
  for (const char* prefix : {"FLECK_PASSWORD=", "LD_PRELOAD=", "ASAN_OPTIONS=", "UBSAN_OPTIONS=",
                             "TSAN_OPTIONS=", "LSAN_OPTIONS="}) {
    if (std::strncmp(entry, prefix, std::strlen(prefix)) == 0) return true;
  }
  return false;
}

}  // namespace

Process::Process(const std::vector<std::string>& argv, const Environment& environment,
                 std::string outFile, std::string errFile)
    : outFile(std::move(outFile)), errFile(std::move(errFile)) {
  std::vector<std::string> env;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    if (!isDropped(*entry)) env.emplace_back(*entry);
  }
  for (const auto& [name, value] : environment)
    env.push_back(name + "=" + value);
  std::vector<std::string> args = argv;
  std::vector<char*> argvPointers;
  for (std::string& a : args)
    argvPointers.push_back(a.data());
  argvPointers.push_back(nullptr);
  std::vector<char*> envPointers;
  for (std::string& e : env)
    envPointers.push_back(e.data());
  envPointers.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, this->outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  posix_spawn_file_actions_addopen(&actions, 2, this->errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
  const int spawned = ::posix_spawnp(&pid, args[0].c_str(), &actions, &attributes,
                                     argvPointers.data(), envPointers.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (spawned != 0) {
    throw std::runtime_error("cannot run " + args[0] + ": " + std::strerror(spawned));
  }
}

Process::~Process() {
  if (!ended) {
    ::kill(pid, SIGKILL);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  }
}

ProcessResult Process::finish(int status) {
  ended = true;
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  result.out = output();
  result.err = errors();
  return result;
}

bool Process::hasEnded() {
  if (ended) return true;
  int status = 0;
  if (::waitpid(pid, &status, WNOHANG) == pid) finish(status);
  return ended;
}

ProcessResult Process::wait() {
  if (ended) return result;
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) throw std::runtime_error("waitpid failed");
  }
  return finish(status);
}

ProcessResult Process::stop(int signal) {
  if (!ended) ::kill(pid, signal);
  return wait();
}

std::string Process::output() const {
  return testing::readFile(outFile);
}

std::string Process::errors() const {
  return testing::readFile(errFile);
}

ProcessResult Process::run(const std::vector<std::string>& argv, const std::string& scratch,
                           const Environment& environment) {
  Process process(argv, environment, scratch + "/.stdout", scratch + "/.stderr");
  return process.wait();
}

bool Process::isInstalled(const std::string& program) {
  const char* path = std::getenv("PATH");
  std::stringstream folders(path != nullptr ? path : "/usr/bin:/bin");
  std::string folder;
  while (std::getline(folders, folder, ':')) {
    if (!folder.empty() && ::access((folder + "/" + program).c_str(), X_OK) == 0) return true;
  }
  return false;
}

}  // namespace fleck::nbdtest
