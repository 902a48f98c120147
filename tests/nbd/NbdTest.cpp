// Disks served by nbdkit with the built plugin, directly or by `fleck serve`, used by real
// NBD clients on a Unix socket: qemu-img, qemu-io and nbdinfo (scripts/install-deps.sh).
#include <signal.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <random>
#include <thread>
#include <tuple>

#include "support/CChildProcess.h"
#include "support/TempFolder.h"

namespace fleck::test {
namespace {

using Environment = std::vector<std::pair<std::string, std::string>>;
using Strings = std::vector<std::string>;
constexpr std::size_t kFleck = 64 * 1024;
constexpr auto npos = std::string::npos;
// A plugin built with a sanitizer needs the sanitizer's runtime preloaded into nbdkit.
const bool kSanitized = !std::string(FLECK_NBD_PRELOAD).empty();

class NbdTest : public ::testing::Test {
 protected:
  std::string path(const std::string& name) const { return root.path() + "/" + name; }
  std::string uri() const { return "nbd+unix:///?socket=" + path("nbd.sock"); }
  std::string log() const { return readFile(path("server.err")); }
  ProgramResult run(const Strings& argv, const Environment& environment = {}) {
    return runProgram(argv, root.path(), environment, 300000);
  }
  ProgramResult fleck(Strings arguments, const Environment& environment = {}) {
    arguments.insert(arguments.begin(), FLECK_CLI_BINARY);
    ProgramResult result = run(arguments, environment);
    EXPECT_EQ(result.status, 0) << arguments[1] << ": " << result.err;
    return result;
  }
  std::string exported(const std::string& disk) {
    fleck({"export", path(disk), path(disk + ".out"), "-q"});
    return readFile(path(disk + ".out"));
  }
  // The served disk as qemu-img reads it, which skips what is reported as a hole.
  std::string converted() {
    std::filesystem::remove(path("copy"));  // reading a missing copy throws
    run({"qemu-img", "convert", "-f", "raw", "-O", "raw", uri(), path("copy")});
    return readFile(path("copy"));
  }
  // One qemu-io session, with write-back caching: else it flushes after every write.
  ProgramResult qemuIo(const Strings& commands, bool mustSucceed = true) {
    Strings argv{"qemu-io", "-f", "raw", "-t", "writeback", uri()};
    for (const std::string& command : commands)
      argv.insert(argv.end(), {"-c", command});
    ProgramResult result = run(argv);
    EXPECT_TRUE(!mustSucceed || (result.status == 0 && result.out.find("failed") == npos))
        << result.out << result.err;
    return result;
  }

  // Starts nbdkit with the plugin and `arguments` (disk=DIR ...), or `fleck serve
  // ARGUMENTS`, and waits until it listens; nullptr when it ends instead.
  std::unique_ptr<CChildProcess> start(bool serve, Strings arguments,
                                       Environment environment = {}) {
    serving = serve;
    std::filesystem::remove(path("nbd.sock"));  // nbdkit leaves it behind
    std::filesystem::remove(path("nbd.pid"));
    if (serve) {
      arguments.insert(arguments.begin(), {FLECK_CLI_BINARY, "serve"});
      arguments.insert(arguments.end(), {"--socket", path("nbd.sock")});
      environment.emplace_back("FLECK_NBDKIT_PLUGIN", FLECK_NBD_PLUGIN);
    } else {  // verbose: the plugin's debug lines tell when it reads ahead and unloads
      arguments.insert(arguments.begin(),
                       {"nbdkit", "--verbose", "--foreground", "--exit-with-parent", "--unix",
                        path("nbd.sock"), "--pidfile", path("nbd.pid"), FLECK_NBD_PLUGIN});
    }
    // Only these sanitizer settings reach nbdkit; its own allocations are not ours to judge.
    if (kSanitized)
      environment.insert(environment.end(),
                         {{"LD_PRELOAD", FLECK_NBD_PRELOAD},
                          {"ASAN_OPTIONS", "detect_leaks=0:abort_on_error=1"},
                          {"UBSAN_OPTIONS", "print_stacktrace=1:halt_on_error=1"},
                          {"TSAN_OPTIONS", "halt_on_error=1:second_deadlock_stack=1"}});
    CChildProcess::Options options;
    options.environment = environment;
    options.unset = {"LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS", "LSAN_OPTIONS"};
    options.stdoutFile = path("server.out");
    options.stderrFile = path("server.err");
    auto server = std::make_unique<CChildProcess>(arguments, options);
    // nbdkit writes its pid file once it listens, fleck serve then prints the URI. The
    // bound only keeps a broken build from hanging the suite.
    for (int i = 0; i < 6000 && server->running(); ++i) {
      if (std::filesystem::exists(path("nbd.pid")) || readFile(path("server.out")) == uri() + "\n")
        return server;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return nullptr;
  }
  // Stops the server (nbdkit with SIGTERM, fleck serve with SIGINT), expecting a clean end.
  void stop(CChildProcess& server) {
    server.kill(serving ? SIGINT : SIGTERM);
    // With a sanitizer's runtime preloaded nbdkit can hang in its exit handlers once the
    // plugin is gone (p11-kit's destructor waits for glibc's broken locale lock): its
    // process group is killed soon after the plugin unloaded, or 5 s after fleck serve.
    for (int i = serving ? 2750 : 0; kSanitized && i < 3000 && server.running(); ++i) {
      if (log().find("unload plugin") != npos) i = std::max(i, 2900);
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (kSanitized && server.running()) ::kill(-server.id(), SIGKILL);
    EXPECT_TRUE(server.wait() == 0 || kSanitized) << log();
    for (const char* report : {"Sanitizer", "runtime error"})
      EXPECT_EQ(log().find(report), npos) << log();
  }

  TempFolder root;
  bool serving = false;
};

// Random qemu-io sessions of writes, zeroes, trims, reads and flushes against a model.
// Reading fleck after fleck makes the plugin decode ahead, which a write must stop.
TEST_F(NbdTest, QemuIoRandomOperationsMatchAModel) {
  const char* seedText = std::getenv("FLECK_TEST_SEED");
  const std::uint64_t seed = seedText != nullptr ? std::stoull(seedText) : std::random_device()();
  SCOPED_TRACE("seed " + std::to_string(seed) + " (set FLECK_TEST_SEED to repeat)");
  std::mt19937_64 random(seed);
  fleck({"generate-image", "4M", path("image"), "--seed", std::to_string(seed)});
  std::string model = readFile(path("image"));
  fleck({"create", path("disk"), "--size", "4M", "--fleck-size", "64K"});
  fleck({"import", path("disk"), path("image"), "-q"});
  auto server = start(false, {"disk=" + path("disk"), "threads=2"});
  ASSERT_NE(server, nullptr) << log();
  for (int round = 0; round < 3 && !HasFailure(); ++round) {
    Strings commands;
    // qemu-io checks the run of equal bytes at `at`, at most `most` long.
    const auto read = [&](std::size_t at, std::size_t most) {
      const auto end = std::min({model.find_first_not_of(model[at], at), at + most, model.size()});
      commands.push_back("read -P " + std::to_string(static_cast<unsigned char>(model[at])) + " " +
                         std::to_string(at) + " " + std::to_string(end - at));
    };
    for (std::size_t i = 0, first = random() % 48; i < 16; ++i)
      read((first + i) * kFleck + kFleck / 2, kFleck / 2);  // fleck after fleck
    for (int op = 0; op < 60; ++op) {
      const std::size_t length = 1 + random() % (3 * kFleck);
      const std::size_t at = random() % (model.size() - length);
      const auto kind = random() % 10;
      const auto pattern = kind < 4 ? 1 + random() % 255 : 0;
      const std::string range = std::to_string(at) + " " + std::to_string(length);
      if (kind < 6) {  // the plugin writes zeros for a trim
        commands.push_back(kind < 4 ? "write -P " + std::to_string(pattern) + " " + range
                                    : (kind < 5 ? "write -z " : "discard ") + range);
        model.replace(at, length, length, static_cast<char>(pattern));
      }
      if (kind < 8) read(at, kind < 6 ? length : 300);
      if (kind >= 8) commands.push_back("flush");
    }
    commands.push_back("flush");
    qemuIo(commands);
  }
  EXPECT_NE(log().find("reading ahead from fleck"), npos);
  // A write into a hole that is not stored yet is data all the same. qemu-io flushes when
  // it ends, nbdcopy without --flush does not.
  qemuIo({"write -z 0 64k"});
  model.replace(0, kFleck, kFleck, '\0');
  writeFile(path("image"), model.replace(100, 100, 100, '\t').substr(0, 200));
  EXPECT_EQ(run({"nbdcopy", path("image"), uri()}).status, 0);
  for (const char* when : {"before", "after"}) {
    EXPECT_TRUE(converted() == model) << "qemu-img differs from the model " << when << " a flush";
    qemuIo({"flush"});
  }
  stop(*server);
  EXPECT_TRUE(exported("disk") == model) << "export differs from the model";
}

// Zeros written, zeroed and trimmed over flecks that a parent holds stay zeros in an
// overlay; a write into a disk between a parent and a linked child keeps the child's
// snapshot of a fleck only the parent holds; a snapshot is served read-only.
TEST_F(NbdTest, WritesThroughServeKeepZerosAndSnapshotsInAChain) {
  std::string image(16 * kFleck, '\0');
  for (const int i : {1, 2, 3, 5})
    image.replace(i * kFleck, kFleck, kFleck, static_cast<char>('a' + i));
  writeFile(path("image"), image);
  fleck({"create", path("p"), "--size", "1M", "--fleck-size", "64K"});
  fleck({"import", path("p"), path("image"), "-q"});
  const auto at = [](int index) { return std::to_string(index * kFleck) + " "; };
  fleck({"child", path("overlay"), "--parent", path("p"), "--detached"});
  auto server = start(true, {path("overlay"), "--writable"});
  ASSERT_NE(server, nullptr) << log();
  qemuIo({"write -z " + at(1) + "64k", "write -P 0 " + at(2) + "64k", "discard " + at(3) + "64k",
          "flush"});
  stop(*server);
  EXPECT_TRUE(exported("overlay") == std::string(image).replace(kFleck, 3 * kFleck, 3 * kFleck, 0))
      << "the parent shows through a zeroed fleck";
  // p <- m <- c: m and c hold no flecks yet.
  fleck({"child", path("m"), "--parent", path("p")});
  fleck({"child", path("c"), "--parent", path("m")});
  server = start(true, {path("m"), "--writable"});
  ASSERT_NE(server, nullptr) << log();
  const ProgramResult import = run({FLECK_CLI_BINARY, "import", path("m"), path("image")});
  EXPECT_NE(import.err.find("in use by another"), npos) << import.err;
  qemuIo({"write -P 7 " + at(5) + "512", "flush"});
  stop(*server);
  EXPECT_TRUE(exported("m") == std::string(image).replace(5 * kFleck, 512, 512, '\7'));
  EXPECT_TRUE(exported("p") == image);
  EXPECT_NE(fleck({"verify", path("c"), "--chain"}).out.find("all intact"), npos);
  server = start(false, {"disk=" + path("c")});
  ASSERT_NE(server, nullptr) << log();
  EXPECT_EQ(qemuIo({"write -P 7 0 4096", "flush"}, false).out.find("wrote"), npos) << "read-only";
  EXPECT_NE(run({"nbdinfo", "--map", uri()}).out.find("hole"), npos) << "flecks stored nowhere";
  EXPECT_TRUE(converted() == image) << "the snapshot lost the fleck only p held";
  stop(*server);
}

// A wrong or missing password stops the server before it listens, with one clear line,
// and a password on the command line is refused; the right one serves the disk.
TEST_F(NbdTest, WrongOrMissingPasswordStopsTheServer) {
  writeFile(path("wrong"), "another wrong one\n");
  writeFile(path("right"), "right\n");
  fleck({"create", path("disk"), "--size", "256K", "--encrypt", "--password-file", path("right")});
  const std::string disk = "disk=" + path("disk");
  const std::tuple<bool, Strings, Environment, std::string> rows[] = {
      {false, {disk}, {{"FLECK_PASSWORD", "wrong"}}, path("disk") + ": wrong password"},
      {false, {disk, "password-file=" + path("wrong")}, {}, "wrong password"},
      {false, {disk}, {}, "give its password"},
      {false, {disk, "password=x"}, {}, "never taken from the command line"},
      {true, {path("disk"), "--password-file", path("wrong")}, {}, "wrong password"},
  };
  for (const auto& [serve, arguments, environment, words] : rows) {
    EXPECT_EQ(start(serve, arguments, environment), nullptr);
    EXPECT_NE(log().find(words), npos) << words << ": " << log();
  }
  auto server = start(true, {path("disk"), "--readonly", "--password-file", path("right")});
  ASSERT_NE(server, nullptr) << log();
  EXPECT_EQ(run({"nbdinfo", "--is", "read-only", uri()}).status, 0);
  stop(*server);
}

// A store that fails in the background fails the next flush and every later one. A file
// where the fleck folders go makes storing fail even for root, while reads find zeros.
TEST_F(NbdTest, FlushAfterAFailedStoreFails) {
  fleck({"create", path("disk"), "--size", "4M"});
  writeFile(path("disk/flecks"), "not a folder");
  auto server = start(false, {"disk=" + path("disk")});
  ASSERT_NE(server, nullptr) << log();
  // A whole fleck, so that nothing is read before it is written.
  const ProgramResult io = qemuIo({"write -P 85 0 512k", "flush"}, false);
  EXPECT_NE(io.out.find("wrote 524288/524288"), npos) << io.out << io.err;
  EXPECT_NE(io.status, 0) << "the flush succeeded";
  EXPECT_NE(log().find("storing 1 fleck(s) failed; fleck 0"), npos) << log();
  EXPECT_NE(qemuIo({"flush"}, false).status, 0) << "a later flush succeeded";
  stop(*server);
}

}  // namespace
}  // namespace fleck::test
