#include "CServeCommand.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <vector>

#include "CCliError.h"
#include "fleck/ops/CDiskAccess.h"
#include "zel/TCryptBuffer.h"

extern char** environ;

namespace fleck::cli {

namespace {

constexpr const char* kPluginVariable = "FLECK_NBDKIT_PLUGIN";

// Blocks SIGINT, SIGTERM and SIGCHLD while serving, so that they are taken with
// sigtimedwait, and restores the mask when the command ends.
class SignalBlock {
 public:
  SignalBlock() {
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGCHLD);
    ::pthread_sigmask(SIG_BLOCK, &set, &saved);
  }
  ~SignalBlock() { ::pthread_sigmask(SIG_SETMASK, &saved, nullptr); }
  SignalBlock(const SignalBlock&) = delete;
  SignalBlock& operator=(const SignalBlock&) = delete;

  const sigset_t& signals() const { return set; }
  const sigset_t& original() const { return saved; }

 private:
  sigset_t set{};
  sigset_t saved{};
};

// A temporary folder for the socket and nbdkit's pid file, removed at the end.
class ScratchFolder {
 public:
  ScratchFolder() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern =
        std::string(base != nullptr && base[0] != '\0' ? base : "/tmp") + "/fleck-serve-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
      throw CCliError::failure(zel::String::fromUTF8("cannot make a temporary folder: " +
                                                     std::string(std::strerror(errno))));
    }
    path = pattern;
  }
  ~ScratchFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

  std::string path;
};

std::string absolute(const std::string& path) {
  return std::filesystem::absolute(path).lexically_normal().string();
}

std::string describeStatus(int status) {
  if (WIFEXITED(status)) return "exit status " + std::to_string(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) return "signal " + std::to_string(WTERMSIG(status));
  return "status " + std::to_string(status);
}

}  // namespace

void CServeCommand::attach(CCommandLine& commandLine) {
  command = &commandLine.addSubcommand("serve",
                                       "Serve a disk over NBD (through nbdkit) until interrupted");
  command->addArgument("DIR", folder, "The disk's folder").required();
  const CCommandLine::COption readOnlyFlag = command->addFlag(
      "-r,--readonly", readOnly, "Serve read-only (a disk with parents is, unless --writable)");
  command
      ->addFlag("-w,--writable", writable,
                "Serve writable also a disk with parents (a snapshot or an overlay)")
      .excludes(readOnlyFlag);
  const CCommandLine::COption socketOption =
      command
          ->addOption("--socket", socketPath,
                      "Listen on this Unix socket (default: one in a new temporary folder)")
          .typeName("PATH");
  command->addOption("--port", port, "Listen on this TCP port of the loopback address instead")
      .range(1, 65535)
      .typeName("N")
      .excludes(socketOption);
  addPasswordOption();
  addThreadsOption("Threads that decode ahead and store");
  command->setFooter(
      "Prints the NBD URI (nbd+unix:///?socket=PATH or nbd://127.0.0.1:PORT/) once the disk\n"
      "is served, and runs until interrupted (Ctrl-C, SIGTERM). Needs nbdkit and the fleck\n"
      "plugin (FLECK_NBDKIT_PLUGIN names a plugin file to use instead of the installed one).\n\n"
      "Examples:\n"
      "  fleck serve /backup/pc --readonly\n"
      "  fleck serve /backup/pc --socket /run/pc.sock --password-file ~/.fleck-password\n"
      "  qemu-img convert -O qcow2 'nbd+unix:///?socket=/run/pc.sock' pc.qcow2");
}

int CServeCommand::run() {
  passwords.setPasswordFile(passwordFile);
  zel::P<zel::IFileSystem> fs = makeFileSystem(1);
  ops::CDiskAccess access(fs);
  const zel::CURI location = ops::CDiskAccess::folderOf(folder);
  const std::string shown = ops::CDiskAccess::show(location);
  // Ask for a password here, where there may be a terminal: nbdkit has none. It goes to
  // nbdkit through the environment.
  const CFleckDiskHeader header = access.loadHeader(location);
  std::vector<std::string> environment;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    if (std::strncmp(*entry, "FLECK_PASSWORD=", 15) != 0) environment.emplace_back(*entry);
  }
  if (passwordFile.empty() && header.getCipherID() != L"null") {
    zel::String password = passwords.forDisk(header, location);
    std::string text = password.toUTF8();
    environment.push_back("FLECK_PASSWORD=" + text);
    zel::secureWipe(text.data(), text.size());
  }

  std::unique_ptr<ScratchFolder> scratch = std::make_unique<ScratchFolder>();
  std::string uri;
  std::vector<std::string> argv{"nbdkit", "--foreground", "--exit-with-parent", "--pidfile",
                                scratch->path + "/nbdkit.pid"};
  if (readOnly) argv.emplace_back("--readonly");
  if (port != 0) {
    argv.insert(argv.end(), {"--ipaddr", "127.0.0.1", "--port", std::to_string(port)});
    uri = "nbd://127.0.0.1:" + std::to_string(port) + "/";
  } else {
    const std::string socket =
        socketPath.empty() ? scratch->path + "/nbd.sock" : absolute(socketPath);
    argv.insert(argv.end(), {"--unix", socket});
    uri = "nbd+unix:///?socket=" + socket;
  }
  const char* plugin = std::getenv(kPluginVariable);
  argv.emplace_back(plugin != nullptr && plugin[0] != '\0' ? plugin : "fleck");
  // nbdkit runs in another folder: a local disk goes by its absolute path, an object
  // store location as written.
  argv.push_back("disk=" + (location.getScheme() == L"s3" ? folder : absolute(folder)));
  if (!passwordFile.empty()) argv.push_back("password-file=" + absolute(passwordFile));
  if (readOnly) argv.emplace_back("readonly=true");
  if (writable) argv.emplace_back("readonly=false");
  argv.push_back("threads=" + std::to_string(threads));

  std::vector<char*> argvPointers;
  for (std::string& a : argv)
    argvPointers.push_back(a.data());
  argvPointers.push_back(nullptr);
  std::vector<char*> envPointers;
  for (std::string& e : environment)
    envPointers.push_back(e.data());
  envPointers.push_back(nullptr);

  SignalBlock block;
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  // nbdkit gets the signal mask the tool had, not the blocked one.
  posix_spawnattr_setsigmask(&attributes, &block.original());
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
  pid_t child = 0;
  const int spawned = ::posix_spawnp(&child, "nbdkit", nullptr, &attributes, argvPointers.data(),
                                     envPointers.data());
  posix_spawnattr_destroy(&attributes);
  for (std::string& e : environment)
    zel::secureWipe(e.data(), e.size());
  if (spawned != 0) {
    throw CCliError::failure(zel::String::fromUTF8(
        "cannot start nbdkit: " + std::string(std::strerror(spawned)) +
        " (install the packages nbdkit and the fleck plugin; see docs/NBD.md)"));
  }

  bool announced = false;
  bool stopping = false;
  int status = 0;
  while (true) {
    const pid_t ended = ::waitpid(child, &status, WNOHANG);
    if (ended == child) break;
    if (!announced && ::access((scratch->path + "/nbdkit.pid").c_str(), F_OK) == 0) {
      // nbdkit writes its pid file once it listens.
      std::printf("%s\n", uri.c_str());
      std::fflush(stdout);
      std::fprintf(stderr, "fleck: serving %s%s; stop with Ctrl-C\n", shown.c_str(),
                   readOnly ? " read-only" : "");
      announced = true;
    }
    const timespec tick{0, 100 * 1000 * 1000};
    const int signal = ::sigtimedwait(&block.signals(), nullptr, &tick);
    if ((signal == SIGINT || signal == SIGTERM) && !stopping) {
      ::kill(child, SIGTERM);
      stopping = true;
    }
  }
  if (stopping && (WIFEXITED(status) || WTERMSIG(status) == SIGTERM)) {
    if (!WIFEXITED(status) || WEXITSTATUS(status) == 0) return kExitOk;
  }
  if (!announced) {
    throw CCliError::failure(zel::String::fromUTF8(
        shown + ": nbdkit did not start (" + describeStatus(status) + "); see its message above"));
  }
  throw CCliError::failure(
      zel::String::fromUTF8(shown + ": nbdkit ended (" + describeStatus(status) + ")"));
}

}  // namespace fleck::cli
