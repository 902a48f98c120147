// The disk served by nbdkit with the fleck plugin, used by real NBD clients: qemu-img,
// nbdcopy, qemu-io and nbdinfo, on Unix sockets only.
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>
#include <sstream>
#include <thread>

#include "NbdTest.h"

namespace fleck::nbdtest {
namespace {

using fleck::test::readFile;
using fleck::test::writeFile;

constexpr std::int64_t kKiB = 1024;
constexpr std::int64_t kMiB = 1024 * kKiB;

// A map of a disk as "START-END:data" or "START-END:zero" pieces, adjacent ones of one
// kind merged, so that maps from different clients compare as text.
class DiskMap {
 public:
  void add(std::int64_t start, std::int64_t length, bool zero) {
    if (!pieces.empty() && pieces.back().end == start && pieces.back().zero == zero) {
      pieces.back().end += length;
    } else {
      pieces.push_back(Piece{start, start + length, zero});
    }
  }
  std::string text() const {
    std::string out;
    for (const Piece& piece : pieces) {
      out += std::to_string(piece.start) + "-" + std::to_string(piece.end) +
             (piece.zero ? ":zero " : ":data ");
    }
    return out;
  }

 private:
  struct Piece {
    std::int64_t start;
    std::int64_t end;
    bool zero;
  };
  std::vector<Piece> pieces;
};

// What `nbdinfo --map` reports: lines "OFFSET LENGTH TYPE DESCRIPTION", TYPE 0 for data
// and 3 (hole, zero) for what reads as zeros.
std::string parseNbdinfoMap(const std::string& output) {
  DiskMap map;
  std::istringstream lines(output);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    std::int64_t offset = 0;
    std::int64_t length = 0;
    int type = -1;
    if (!(fields >> offset >> length >> type) || (type != 0 && type != 3)) {
      ADD_FAILURE() << "unexpected nbdinfo --map line: " << line;
      continue;
    }
    map.add(offset, length, type == 3);
  }
  return map.text();
}

// What `qemu-img map --output=json` reports (qemu asks for one extent at a time):
// objects with "start", "length", "zero" and "data", one per line.
std::string parseQemuImgMap(const std::string& output) {
  DiskMap map;
  // One object per extent; each key's value follows it after a colon and spaces.
  const auto valueAfter = [&output](const std::string& key, std::size_t from) {
    const std::size_t at = output.find("\"" + key + "\":", from);
    if (at == std::string::npos) return std::string();
    const std::size_t start = output.find_first_not_of(' ', at + key.size() + 3);
    return output.substr(start, output.find_first_of(",}", start) - start);
  };
  for (std::size_t at = output.find('{'); at != std::string::npos; at = output.find('{', at + 1)) {
    const std::string start = valueAfter("start", at);
    const std::string length = valueAfter("length", at);
    if (start.empty() || length.empty()) {
      ADD_FAILURE() << "unexpected qemu-img map output: " << output;
      break;
    }
    const bool zero = valueAfter("zero", at) == "true" && valueAfter("data", at) == "false";
    map.add(std::stoll(start), std::stoll(length), zero);
  }
  return map.text();
}

// The map of a disk of `flecks` flecks of `fleckSize` bytes with data in `dataFlecks`.
std::string expectedMap(std::int64_t flecks, std::int64_t fleckSize,
                        const std::vector<std::int64_t>& dataFlecks) {
  DiskMap map;
  for (std::int64_t i = 0; i < flecks; ++i) {
    const bool data = std::find(dataFlecks.begin(), dataFlecks.end(), i) != dataFlecks.end();
    map.add(i * fleckSize, fleckSize, !data);
  }
  return map.text();
}

// fleck serve prints the URI of a socket it was given and serves an encrypted disk
// read-only; what qemu-img reads from it is what fleck export writes.
TEST_F(NbdTest, ServedDiskConvertsToWhatExportWrites) {
  const std::string image = makeImage(12 * kMiB, 1);
  writeFile(path("image"), image);
  writeFile(path("password"), "served secret\n");
  fleck(
      {"create", path("disk"), "--size", "12M", "--encrypt", "--password-file", path("password")});
  fleck({"import", path("disk"), path("image"), "--password-file", path("password"), "-q"});
  fleck({"export", path("disk"), path("exported"), "--password-file", path("password"), "-q"});
  ASSERT_EQ(readFile(path("exported")), image);

  auto served =
      serve({path("disk"), "--readonly", "--password-file", path("password"), "--threads", "2"});
  ASSERT_NE(served, nullptr);
  EXPECT_EQ(client({"nbdinfo", "--is", "read-only", uri("serve.sock")}).status, 0);
  const ProcessResult convert = client(
      {"qemu-img", "convert", "-f", "raw", "-O", "raw", uri("serve.sock"), path("converted")});
  ASSERT_EQ(convert.status, 0) << convert.err;
  EXPECT_TRUE(readFile(path("converted")) == image) << "qemu-img convert differs from export";

  stopServe(*served);
}

// nbdcopy writes an image into a served writable disk that held other data: the disk
// then exports the image, and the flecks that became all zero have lost their files.
TEST_F(NbdTest, NbdcopyIntoWritableDiskThenExportGivesTheImage) {
  const std::int64_t fleckSize = 256 * kKiB;
  fleck({"create", path("disk"), "--size", "16M", "--fleck-size", "256K"});
  writeFile(path("old"), makeImage(16 * kMiB, 2));
  std::string everywhere = readFile(path("old"));
  for (std::size_t i = 0; i < everywhere.size(); i += 4096)
    everywhere[i] = 'x';  // every fleck stored
  writeFile(path("old"), everywhere);
  fleck({"import", path("disk"), path("old"), "-q"});

  const std::string image = makeImage(16 * kMiB, 3);
  writeFile(path("image"), image);
  int nonZeroFlecks = 0;
  for (std::int64_t at = 0; at < 16 * kMiB; at += fleckSize) {
    if (image.find_first_not_of('\0', static_cast<std::size_t>(at)) <
        static_cast<std::size_t>(at + fleckSize)) {
      ++nonZeroFlecks;
    }
  }
  ASSERT_LT(nonZeroFlecks, 64) << "the image needs all-zero flecks";

  auto server = startServer({"disk=" + path("disk"), "threads=2"}, {});
  ASSERT_NE(server, nullptr);
  const ProcessResult copy = client({"nbdcopy", "--flush", path("image"), uri()});
  ASSERT_EQ(copy.status, 0) << copy.err << server->errors();
  stopServer(*server);

  fleck({"export", path("disk"), path("exported"), "-q"});
  EXPECT_TRUE(readFile(path("exported")) == image) << "export differs from the copied image";
  EXPECT_EQ(fleckFileCount("disk"), nonZeroFlecks);
}

// One qemu-io session of random writes, zeroes, discards and reads (small ones, which
// mostly hit flecks the plugin has cached and changed), compared with a model.
TEST_F(NbdTest, QemuIoRandomWritesAndReadsMatchAModel) {
  const std::uint64_t seed = std::random_device()();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937_64 random(seed);
  const std::int64_t size = 4 * kMiB;
  fleck({"create", path("disk"), "--size", "4M", "--fleck-size", "64K"});
  std::string model(static_cast<std::size_t>(size), '\0');

  auto server = startServer({"disk=" + path("disk"), "threads=2"}, {});
  ASSERT_NE(server, nullptr);
  for (int round = 0; round < 3; ++round) {
    // Write-back: without it qemu-io flushes after every write.
    std::vector<std::string> argv{"qemu-io", "-f", "raw", "-t", "writeback", uri()};
    std::vector<std::string> expectedReads;
    std::vector<std::pair<std::int64_t, std::int64_t>> readRanges;
    for (int op = 0; op < 60; ++op) {
      const std::int64_t length = 1 + static_cast<std::int64_t>(random() % (200 * kKiB));
      const std::int64_t offset = static_cast<std::int64_t>(random() % (size - length));
      const int kind = static_cast<int>(random() % 10);
      std::ostringstream command;
      if (kind < 4) {
        const int pattern = static_cast<int>(random() % 255) + 1;
        command << "write -P " << pattern << " " << offset << " " << length;
        model.replace(static_cast<std::size_t>(offset), static_cast<std::size_t>(length),
                      static_cast<std::size_t>(length), static_cast<char>(pattern));
      } else if (kind < 5) {
        command << "write -z " << offset << " " << length;
        model.replace(static_cast<std::size_t>(offset), static_cast<std::size_t>(length),
                      static_cast<std::size_t>(length), '\0');
      } else if (kind < 6) {
        // The plugin writes zeros for a trim.
        command << "discard " << offset << " " << length;
        model.replace(static_cast<std::size_t>(offset), static_cast<std::size_t>(length),
                      static_cast<std::size_t>(length), '\0');
      } else {
        const std::int64_t readLength = 1 + static_cast<std::int64_t>(random() % 300);
        command << "read -v " << offset << " " << readLength;
        readRanges.emplace_back(offset, readLength);
        expectedReads.push_back(
            model.substr(static_cast<std::size_t>(offset), static_cast<std::size_t>(readLength)));
      }
      argv.push_back("-c");
      argv.push_back(command.str());
    }
    argv.push_back("-c");
    argv.push_back("flush");
    const ProcessResult io = client(argv);
    ASSERT_EQ(io.status, 0) << io.err;
    ASSERT_EQ(io.out.find("failed"), std::string::npos) << io.out << server->errors();

    // The hex dump lines of each read ("OFFSET:  xx xx ...  text", up to 16 bytes)
    // come before its "read N/N bytes" line.
    std::vector<std::string> reads;
    std::string current;
    std::istringstream lines(io.out);
    for (std::string line; std::getline(lines, line);) {
      if (line.rfind("read ", 0) == 0) {
        reads.push_back(current);
        current.clear();
      } else if (line.size() > 11 && line[8] == ':' && reads.size() < readRanges.size()) {
        const auto [offset, length] = readRanges[reads.size()];
        const std::int64_t lineOffset = std::stoll(line.substr(0, 8), nullptr, 16);
        const std::int64_t count = std::min<std::int64_t>(16, offset + length - lineOffset);
        for (std::int64_t i = 0; i < count; ++i) {
          current.push_back(static_cast<char>(
              std::stoi(line.substr(static_cast<std::size_t>(11 + 3 * i), 2), nullptr, 16)));
        }
      }
    }
    ASSERT_EQ(reads.size(), expectedReads.size()) << io.out;
    for (std::size_t i = 0; i < reads.size(); ++i)
      EXPECT_TRUE(reads[i] == expectedReads[i]) << "round " << round << ", read " << i;
  }
  stopServer(*server);
  fleck({"export", path("disk"), path("exported"), "-q"});
  EXPECT_TRUE(readFile(path("exported")) == model) << "export differs from the model";
}

// Reading in order makes the plugin decode ahead on threads that read the fleck files;
// a write stops that (until a flush has stored it), so reads see every write, also of a
// fleck that was decoded ahead before the write.
TEST_F(NbdTest, ReadingAheadSeesWritesBeforeAndAfterAFlush) {
  const std::int64_t fleckSize = 64 * kKiB;
  std::string image(4 * kMiB, '\0');
  for (std::int64_t i = 0; i < 64; ++i)
    image.replace(static_cast<std::size_t>(i * fleckSize), fleckSize, fleckSize,
                  static_cast<char>(i + 1));
  writeFile(path("image"), image);
  fleck({"create", path("disk"), "--size", "4M", "--fleck-size", "64K"});
  fleck({"import", path("disk"), path("image"), "-q"});

  auto server = startServer({"disk=" + path("disk"), "threads=2"}, {});
  ASSERT_NE(server, nullptr);
  std::vector<std::string> argv{"qemu-io", "-f", "raw", "-t", "writeback", uri()};
  const auto command = [&argv](const std::string& text) {
    argv.push_back("-c");
    argv.push_back(text);
  };
  const auto readFleck = [&](std::int64_t index, int pattern) {
    command("read -P " + std::to_string(pattern) + " " + std::to_string(index * fleckSize) + " " +
            std::to_string(fleckSize));
  };
  for (std::int64_t i = 0; i < 16; ++i)
    readFleck(i, static_cast<int>(i + 1));
  command("write -P 200 " + std::to_string(17 * fleckSize) + " " + std::to_string(fleckSize));
  readFleck(17, 200);
  for (std::int64_t i = 18; i < 40; ++i)
    readFleck(i, static_cast<int>(i + 1));
  readFleck(17, 200);
  command("flush");
  for (std::int64_t i = 40; i < 50; ++i)
    readFleck(i, static_cast<int>(i + 1));
  command("write -P 201 " + std::to_string(55 * fleckSize + 100) + " 1000");
  for (std::int64_t i = 50; i < 64; ++i) {
    if (i != 55) readFleck(i, static_cast<int>(i + 1));
  }
  command("read -P 201 " + std::to_string(55 * fleckSize + 100) + " 1000");
  command("read -P 56 " + std::to_string(55 * fleckSize) + " 100");
  command("flush");
  readFleck(17, 200);

  const ProcessResult io = client(argv);
  EXPECT_EQ(io.status, 0) << io.out << io.err;
  EXPECT_EQ(io.out.find("failed"), std::string::npos) << io.out;
  // Both runs of in-order reads were read ahead.
  const std::string log = server->errors();
  std::size_t starts = 0;
  for (std::size_t at = log.find("reading ahead from fleck"); at != std::string::npos;
       at = log.find("reading ahead from fleck", at + 1)) {
    ++starts;
  }
  EXPECT_GE(starts, 2u) << log;
  stopServer(*server);
}

// Flecks stored nowhere in the chain are reported as holes that read as zeros, a fleck
// the parent holds as data, and everything as data while a write is not flushed.
TEST_F(NbdTest, ExtentsShowHolesWhereNoFleckIsStored) {
  const std::int64_t fleckSize = 256 * kKiB;
  const std::int64_t flecks = 16;
  std::string image(static_cast<std::size_t>(flecks * fleckSize), '\0');
  for (const std::int64_t i : {2, 3, 5})
    image.replace(static_cast<std::size_t>(i * fleckSize + 1000), 3000, 3000, 'p');
  writeFile(path("image"), image);
  fleck({"create", path("base"), "--size", "4M", "--fleck-size", "256K"});
  fleck({"import", path("base"), path("image"), "-q"});
  fleck({"child", path("child"), "--parent", path("base")});

  auto server = startServer({"disk=" + path("child"), "readonly=false", "threads=2"}, {});
  ASSERT_NE(server, nullptr);
  const auto nbdinfoMap = [this] {
    const ProcessResult result = client({"nbdinfo", "--map", uri()});
    EXPECT_EQ(result.status, 0) << result.err;
    return parseNbdinfoMap(result.out);
  };
  const auto qemuImgMap = [this] {
    const ProcessResult result = client({"qemu-img", "map", "-f", "raw", "--output=json", uri()});
    EXPECT_EQ(result.status, 0) << result.err;
    return parseQemuImgMap(result.out);
  };
  const std::string parentOnly = expectedMap(flecks, fleckSize, {2, 3, 5});
  EXPECT_EQ(nbdinfoMap(), parentOnly);
  EXPECT_EQ(qemuImgMap(), parentOnly);

  // nbdcopy without --flush sends no flush: its writes are not stored yet.
  std::string changed = image;
  changed.replace(static_cast<std::size_t>(9 * fleckSize), 4096, 4096, 'A');
  writeFile(path("changed"), changed);
  ProcessResult copyIn = client({"nbdcopy", path("changed"), uri()});
  ASSERT_EQ(copyIn.status, 0) << copyIn.err;
  const std::string allData =
      expectedMap(flecks, fleckSize, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15});
  EXPECT_EQ(nbdinfoMap(), allData) << "an unstored write was reported as a hole";
  EXPECT_EQ(qemuImgMap(), allData);
  ASSERT_EQ(client({"qemu-io", "-f", "raw", uri(), "-c", "flush"}).status, 0);
  EXPECT_EQ(nbdinfoMap(), expectedMap(flecks, fleckSize, {2, 3, 5, 9}));

  // Zeros over the child's own fleck remove its file when stored: a hole again.
  copyIn = client({"nbdcopy", path("image"), uri()});
  ASSERT_EQ(copyIn.status, 0) << copyIn.err;
  EXPECT_EQ(nbdinfoMap(), allData);
  ASSERT_EQ(client({"qemu-io", "-f", "raw", uri(), "-c", "flush"}).status, 0);
  EXPECT_EQ(nbdinfoMap(), parentOnly);

  // A copy that skips the holes is still the image.
  const ProcessResult copy = client({"nbdcopy", uri(), path("copied")});
  ASSERT_EQ(copy.status, 0) << copy.err;
  EXPECT_TRUE(readFile(path("copied")) == image);
  stopServer(*server);
}

// A snapshot (a disk with parents) is served read-only unless readonly=false.
TEST_F(NbdTest, SnapshotIsServedReadOnlyUnlessAsked) {
  const std::string image = makeImage(4 * kMiB, 4);
  writeFile(path("image"), image);
  fleck({"create", path("base"), "--size", "4M"});
  fleck({"import", path("base"), path("image"), "-q"});
  fleck({"child", path("snap"), "--parent", path("base")});

  {
    auto server = startServer({"disk=" + path("snap")}, {});
    ASSERT_NE(server, nullptr);
    EXPECT_EQ(client({"nbdinfo", "--is", "read-only", uri()}).status, 0);
    const ProcessResult write = client({"qemu-io", "-f", "raw", uri(), "-c", "write -P 7 0 4096"});
    EXPECT_TRUE(write.status != 0 || write.out.find("failed") != std::string::npos ||
                write.err.find("read-only") != std::string::npos)
        << write.out << write.err;
    const ProcessResult convert =
        client({"qemu-img", "convert", "-f", "raw", "-O", "raw", uri(), path("converted")});
    ASSERT_EQ(convert.status, 0) << convert.err;
    EXPECT_TRUE(readFile(path("converted")) == image);
    stopServer(*server);
  }
  {
    auto server = startServer({"disk=" + path("snap"), "readonly=false"}, {});
    ASSERT_NE(server, nullptr);
    EXPECT_EQ(client({"nbdinfo", "--can", "write", uri()}).status, 0);
    const ProcessResult write =
        client({"qemu-io", "-f", "raw", uri(), "-c", "write -P 7 0 4096", "-c", "flush"});
    EXPECT_EQ(write.out.find("failed"), std::string::npos) << write.out;
    stopServer(*server);
  }
  // The overlay took the write; its parent kept the image.
  fleck({"export", path("base"), path("base-out"), "-q"});
  EXPECT_TRUE(readFile(path("base-out")) == image);
  fleck({"export", path("snap"), path("snap-out"), "-q"});
  EXPECT_EQ(readFile(path("snap-out")).substr(0, 4096), std::string(4096, '\7'));
}

// Zeros written, zeroed and trimmed over flecks that a parent holds stay zeros in the
// overlay, and a write into a disk between a parent and a linked child keeps the
// child's snapshot of a fleck only the parent holds.
TEST_F(NbdTest, WritesThroughServeKeepZerosAndSnapshotsInAChain) {
  const std::int64_t fleckSize = 64 * kKiB;
  std::string image(static_cast<std::size_t>(16 * fleckSize), '\0');
  for (const std::int64_t i : {1, 2, 3, 5})
    image.replace(static_cast<std::size_t>(i * fleckSize), fleckSize, fleckSize,
                  static_cast<char>('a' + i));
  writeFile(path("image"), image);
  fleck({"create", path("p"), "--size", "1M", "--fleck-size", "64K"});
  fleck({"import", path("p"), path("image"), "-q"});
  const auto exported = [this](const std::string& disk) {
    fleck({"export", path(disk), path(disk + ".out"), "-q"});
    return readFile(path(disk + ".out"));
  };
  const auto at = [fleckSize](std::int64_t fleck) { return std::to_string(fleck * fleckSize); };

  fleck({"child", path("overlay"), "--parent", path("p"), "--detached"});
  auto served = serve({path("overlay"), "--writable"});
  ASSERT_NE(served, nullptr);
  const std::string length = std::to_string(fleckSize);
  const ProcessResult io =
      client({"qemu-io", "-f", "raw", uri("serve.sock"), "-c", "write -z " + at(1) + " " + length,
              "-c", "write -P 0 " + at(2) + " " + length, "-c", "discard " + at(3) + " " + length,
              "-c", "flush"});
  EXPECT_EQ(io.status, 0) << io.out << io.err;
  EXPECT_EQ(io.out.find("failed"), std::string::npos) << io.out;
  stopServe(*served);
  std::string zeroed = image;
  zeroed.replace(static_cast<std::size_t>(fleckSize), 3 * fleckSize, 3 * fleckSize, '\0');
  EXPECT_TRUE(exported("overlay") == zeroed) << "the parent shows through a zeroed fleck";
  EXPECT_TRUE(exported("p") == image);

  // p <- m <- c: m and c hold no flecks yet.
  fleck({"child", path("m"), "--parent", path("p")});
  fleck({"child", path("c"), "--parent", path("m")});
  served = serve({path("m"), "--writable"});
  ASSERT_NE(served, nullptr);
  EXPECT_NE(
      fleck({"import", path("m"), path("image"), "-q"}, {}, true).err.find("in use by another"),
      std::string::npos);
  const ProcessResult write = client({"qemu-io", "-f", "raw", uri("serve.sock"), "-c",
                                      "write -P 7 " + at(5) + " 512", "-c", "flush"});
  EXPECT_EQ(write.out.find("failed"), std::string::npos) << write.out << write.err;
  stopServe(*served);
  std::string changed = image;
  changed.replace(static_cast<std::size_t>(5 * fleckSize), 512, 512, '\7');
  EXPECT_TRUE(exported("m") == changed);
  EXPECT_TRUE(exported("c") == image) << "the snapshot lost the fleck only the parent held";
  EXPECT_TRUE(exported("p") == image);
  const ProcessResult verify = fleck({"verify", path("c"), "--chain"});
  EXPECT_NE(verify.out.find("all intact"), std::string::npos) << verify.out;
}

// nbdkit refuses to start, with one clear line, when the password is wrong or missing,
// and a password on the command line is refused.
TEST_F(NbdTest, WrongOrMissingPasswordStopsNbdkit) {
  fleck({"create", path("disk"), "--size", "4M", "--encrypt"},
        {{"FLECK_PASSWORD", "the right one"}});
  ProcessResult failed;
  EXPECT_EQ(startServer({"disk=" + path("disk")}, {{"FLECK_PASSWORD", "a wrong one"}}, &failed),
            nullptr);
  EXPECT_NE(failed.status, 0);
  EXPECT_NE(failed.err.find(path("disk") + ": wrong password"), std::string::npos) << failed.err;

  writeFile(path("password"), "another wrong one\n");
  EXPECT_EQ(startServer({"disk=" + path("disk"), "password-file=" + path("password")}, {}, &failed),
            nullptr);
  EXPECT_NE(failed.err.find("wrong password"), std::string::npos) << failed.err;

  EXPECT_EQ(startServer({"disk=" + path("disk")}, {}, &failed), nullptr);
  EXPECT_NE(failed.err.find("give its password"), std::string::npos) << failed.err;

  EXPECT_EQ(startServer({"disk=" + path("disk"), "password=x"}, {}, &failed), nullptr);
  EXPECT_NE(failed.err.find("never taken from the command line"), std::string::npos) << failed.err;

  auto server = startServer({"disk=" + path("disk")}, {{"FLECK_PASSWORD", "the right one"}});
  ASSERT_NE(server, nullptr);
  EXPECT_EQ(client({"nbdinfo", "--size", uri()}).out, "4194304\n");
  stopServer(*server);
}

// A store that fails in the background fails the next flush, and every later one.
// The failure is injected by a regular file where the disk keeps its fleck folders:
// storing a fleck cannot make its folder, whoever runs the test (permissions would not
// stop root), while reading finds no fleck and gives zeros as for a new disk.
TEST_F(NbdTest, FlushAfterAFailedStoreFails) {
  fleck({"create", path("disk"), "--size", "4M"});
  writeFile(path("disk") + "/flecks", "not a folder");

  auto server = startServer({"disk=" + path("disk")}, {});
  ASSERT_NE(server, nullptr);
  // A whole fleck, so that nothing needs to be read before it is written. qemu-io
  // ends with a failure status when a command failed.
  const std::vector<std::string> qemuIo{"qemu-io", "-f", "raw", "-t", "writeback", uri()};
  std::vector<std::string> argv = qemuIo;
  argv.insert(argv.end(), {"-c", "write -P 85 0 512k", "-c", "flush"});
  const ProcessResult first = client(argv);
  EXPECT_NE(first.out.find("wrote 524288/524288"), std::string::npos) << first.out << first.err;
  EXPECT_NE(first.status, 0) << "the flush succeeded";
  EXPECT_NE(server->errors().find("storing 1 fleck(s) failed; fleck 0"), std::string::npos)
      << server->errors();

  // The data is still readable from the plugin's cache, but it never becomes durable.
  argv = qemuIo;
  argv.insert(argv.end(), {"-c", "read -P 85 0 512k", "-c", "flush"});
  const ProcessResult second = client(argv);
  EXPECT_NE(second.out.find("read 524288/524288"), std::string::npos) << second.out;
  EXPECT_EQ(second.out.find("Pattern verification failed"), std::string::npos) << second.out;
  EXPECT_NE(second.status, 0) << "a later flush succeeded";
  stopServer(*server);
}

}  // namespace
}  // namespace fleck::nbdtest
