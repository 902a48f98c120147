#include "NbdTest.h"

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <random>
#include <thread>

namespace fleck::nbdtest {

void NbdTest::SetUp() {
  for (const char* program : {"nbdkit", "qemu-img", "qemu-io", "nbdcopy", "nbdinfo"}) {
    ASSERT_TRUE(Process::isInstalled(program))
        << "\n*** " << program
        << " is not installed: the NBD tests need nbdkit, qemu-utils and libnbd-bin; run "
           "scripts/install-deps.sh ***\n";
  }
  ASSERT_TRUE(std::filesystem::exists(FLECK_NBD_PLUGIN))
      << "the plugin " << FLECK_NBD_PLUGIN << " was not built";
}

ProcessResult NbdTest::fleck(const std::vector<std::string>& arguments,
                             const Process::Environment& environment, bool mayFail) const {
  std::vector<std::string> argv{FLECK_CLI_BINARY};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  ProcessResult result = Process::run(argv, root.path(), environment);
  if (!mayFail) {
    EXPECT_EQ(result.status, 0) << "fleck " << arguments.front() << ": " << result.err;
  }
  return result;
}

ProcessResult NbdTest::client(const std::vector<std::string>& argv) const {
  return Process::run(argv, root.path());
}

Process::Environment NbdTest::serverEnvironment() {
  const std::string preload = FLECK_NBD_PRELOAD;
  if (preload.empty()) return {};
  return {{"LD_PRELOAD", preload},
          // nbdkit's own allocations are not ours to judge, and it exits without freeing
          // what its plugins keep.
          {"ASAN_OPTIONS", "detect_leaks=0:abort_on_error=1"},
          {"UBSAN_OPTIONS", "print_stacktrace=1:halt_on_error=1"},
          {"TSAN_OPTIONS", "halt_on_error=1:second_deadlock_stack=1"}};
}

std::string NbdTest::uri(const std::string& socketName) const {
  return "nbd+unix:///?socket=" + path(socketName);
}

std::unique_ptr<Process> NbdTest::startServer(const std::vector<std::string>& parameters,
                                              const Process::Environment& environment,
                                              ProcessResult* failed,
                                              const std::string& socketName) {
  const std::string pidFile = path(socketName + ".pid");
  std::filesystem::remove(pidFile);
  // nbdkit leaves its socket behind when it ends.
  std::filesystem::remove(path(socketName));
  // Verbose: the plugin's debug lines show when it reads ahead.
  std::vector<std::string> argv{
      "nbdkit",         "--verbose", "--foreground", "--exit-with-parent", "--unix",
      path(socketName), "--pidfile", pidFile,        FLECK_NBD_PLUGIN};
  argv.insert(argv.end(), parameters.begin(), parameters.end());
  Process::Environment env = serverEnvironment();
  env.insert(env.end(), environment.begin(), environment.end());
  auto server =
      std::make_unique<Process>(argv, env, path(socketName + ".out"), path(socketName + ".err"));
  // nbdkit writes its pid file once it listens. The bound only keeps a broken build
  // from hanging the suite.
  for (int i = 0; i < 6000; ++i) {
    if (std::filesystem::exists(pidFile)) return server;
    if (server->hasEnded()) {
      if (failed != nullptr) *failed = server->wait();
      return nullptr;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ADD_FAILURE() << "nbdkit did not start listening: " << server->errors();
  return nullptr;
}

void NbdTest::stopServer(Process& server) const {
  ProcessResult result;
  if (!isSanitized()) {
    result = server.stop(SIGTERM);
  } else {
    // With a sanitizer's runtime preloaded, nbdkit can hang in its exit handlers after
    // the plugin is gone: p11-kit's destructor (nbdkit links GnuTLS) waits for glibc's
    // locale lock, whose reader count is broken by then. It happens with the plugin
    // built without instrumentation too (but not without a preloaded runtime), so once
    // the log shows the plugin unloaded, a hang is ended with SIGKILL. The bound only
    // decides when to stop waiting; nothing is asserted about time.
    server.kill(SIGTERM);
    bool unloaded = false;
    for (int i = 0; i < 3000 && !server.hasEnded(); ++i) {
      if (!unloaded && server.errors().find("unload plugin") != std::string::npos) {
        unloaded = true;
        i = 2900;  // a few more seconds to end by itself
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (!server.hasEnded() && unloaded) {
      std::fprintf(stderr,
                   "note: nbdkit hung in its exit handlers after unloading the plugin "
                   "(sanitizer runtime preloaded); killed\n");
      result = server.stop(SIGKILL);
      result.status = 0;
    } else {
      result = server.wait();
    }
  }
  EXPECT_EQ(result.status, 0) << "nbdkit: " << result.err;
  EXPECT_NE(result.err.find("unload plugin"), std::string::npos) << result.err;
  EXPECT_EQ(result.err.find("Sanitizer"), std::string::npos) << result.err;
  EXPECT_EQ(result.err.find("runtime error"), std::string::npos) << result.err;
}

std::unique_ptr<Process> NbdTest::serve(const std::vector<std::string>& arguments) {
  Process::Environment environment = serverEnvironment();
  environment.emplace_back("FLECK_NBDKIT_PLUGIN", FLECK_NBD_PLUGIN);
  std::filesystem::remove(path("serve.sock"));  // left behind by an earlier server
  std::vector<std::string> argv{FLECK_CLI_BINARY, "serve"};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  argv.insert(argv.end(), {"--socket", path("serve.sock")});
  auto served = std::make_unique<Process>(argv, environment, path("serve.out"), path("serve.err"));
  // It prints the URI once it serves; the bound only keeps a broken build from
  // hanging the suite.
  std::string line;
  for (int i = 0; i < 6000 && !served->hasEnded() && line.empty(); ++i) {
    const std::string out = served->output();
    if (out.find('\n') != std::string::npos) {
      line = out.substr(0, out.find('\n'));
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  if (line == uri("serve.sock")) return served;
  ADD_FAILURE() << "fleck serve printed \"" << line << "\": " << served->errors();
  return nullptr;
}

void NbdTest::stopServe(Process& served) const {
  served.kill(SIGINT);
  if (isSanitized()) {
    // See stopServer: nbdkit may hang in its exit handlers under a sanitizer.
    for (int i = 0; i < 250 && !served.hasEnded(); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (!served.hasEnded()) killNbdkitServing(path("serve.sock"));
  }
  const ProcessResult stopped = served.wait();
  if (!isSanitized()) {
    EXPECT_EQ(stopped.status, 0) << stopped.err;
  }
  EXPECT_EQ(stopped.err.find("Sanitizer"), std::string::npos) << stopped.err;
}

bool NbdTest::isSanitized() {
  return !std::string(FLECK_NBD_PRELOAD).empty();
}

void NbdTest::killNbdkitServing(const std::string& socketPath) {
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const std::string name = entry.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::string commandLine;
    try {
      commandLine = fleck::test::readFile(entry.path().string() + "/cmdline");
    } catch (const std::exception&) {
      continue;  // ended meanwhile
    }
    if (commandLine.rfind("nbdkit", 0) == 0 &&
        commandLine.find(std::string(1, '\0') + socketPath + '\0') != std::string::npos) {
      std::fprintf(stderr,
                   "note: nbdkit %s hung in its exit handlers (sanitizer runtime "
                   "preloaded); killed\n",
                   name.c_str());
      ::kill(std::stoi(name), SIGKILL);
    }
  }
}

std::string NbdTest::makeImage(std::int64_t size, std::uint64_t seed) {
  std::mt19937_64 random(seed);
  std::string image(static_cast<std::size_t>(size), '\0');
  const std::string text = "fleck serves this disk over NBD; record " + std::to_string(seed);
  std::size_t at = 0;
  while (at < image.size()) {
    const std::size_t length = std::min<std::size_t>(image.size() - at, 4096 * (1 + random() % 96));
    switch (random() % 3) {
      case 0:
        break;  // zeros
      case 1:
        for (std::size_t i = 0; i < length; ++i)
          image[at + i] = static_cast<char>(random() & 0xff);
        break;
      default:
        for (std::size_t i = 0; i < length; ++i)
          image[at + i] = text[(at + i) % text.size()];
        break;
    }
    at += length;
  }
  return image;
}

int NbdTest::fleckFileCount(const std::string& disk) const {
  int count = 0;
  const std::filesystem::path flecks = std::filesystem::path(path(disk)) / "flecks";
  if (!std::filesystem::is_directory(flecks)) return 0;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(flecks)) {
    if (entry.is_regular_file() && entry.path().extension() == ".fleck") ++count;
  }
  return count;
}

}  // namespace fleck::nbdtest
