// Writes the seed corpora of the fuzz targets: valid inputs made with the library's own
// writers, so that the fuzzers start from the formats instead of guessing them.
//
//   fuzz-make-seeds [folder]     (default: fuzz/corpus)
//
// Each target's seeds go to <folder>/<target>/; existing files of the same name are
// replaced. Encrypted records get a random initialisation vector, so a rerun changes
// those files while keeping them valid.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "fleck/CFleckDataPreparer.h"
#include "fleck/CFleckDisk.h"
#include "fleck/CFleckDiskHeader.h"
#include "fleck/CFleckDiskLink.h"
#include "keel/CDigestType_MD5.h"
#include "keel/IDigest.h"
#include "zel/CBufferStream.h"
#include "zel/CDataOutStream.h"
#include "zel/CError.h"
#include "zel/CLocalFileSystem.h"
#include "zel/CURI.h"
#include "zel/TBuffer.h"
#include "zel/TCryptBuffer.h"

namespace {

using Bytes = std::string;
namespace fs = std::filesystem;

Bytes toBytes(const zel::TBuffer<unsigned char>& buffer) {
  return Bytes(reinterpret_cast<const char*>(buffer.getData()), buffer.getUsed());
}

Bytes md5(const Bytes& bytes) {
  zel::P<keel::IDigest> digest;
  zel::make<keel::CDigestType_MD5>()->createDigest(digest);
  digest->update(bytes.data(), bytes.size());
  digest->finish();
  return Bytes(reinterpret_cast<const char*>(digest->getResult()),
               static_cast<std::size_t>(digest->getLength()));
}

Bytes readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path.string());
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

class SeedWriter {
 public:
  explicit SeedWriter(fs::path root) : root(std::move(root)) {}

  void write(const std::string& target, const std::string& name, const Bytes& bytes) {
    const fs::path folder = root / target;
    fs::create_directories(folder);
    std::ofstream out(folder / name, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + (folder / name).string());
    ++count;
  }

  int getCount() const { return count; }

 private:
  fs::path root;
  int count = 0;
};

// A scratch folder for the library's writers of header and link files.
class Scratch {
 public:
  Scratch() {
    std::string pattern = (fs::temp_directory_path() / "fleck-seeds-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path = pattern;
  }
  ~Scratch() {
    std::error_code ignored;
    fs::remove_all(path, ignored);
  }
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;

  fs::path path;
};

// The payload of copy 0 of an auxiliary file written by the library.
Bytes auxPayload(const fs::path& file) {
  const Bytes whole = readFile(file);
  return whole.substr(0, whole.size() - 16);
}

void unprepareSeeds(SeedWriter& seeds) {
  // Same order and key as the fuzz target (FuzzTargets.cpp).
  const char* settings[][2] = {
      {"null", "null"},       {"zlib-6", "null"},     {"lz4", "null"},         {"lz4hc", "null"},
      {"lzma-6", "null"},     {"null", "aes256cbc"},  {"zlib-6", "aes256cbc"}, {"lz4", "aes256cbc"},
      {"lz4hc", "aes256cbc"}, {"lzma-6", "aes256cbc"}};
  zel::TCryptBuffer<unsigned char> key;
  key.setUsed(32);
  for (int i = 0; i < 32; ++i)
    key.getData()[i] = static_cast<unsigned char>(0xA5 ^ (i * 7));

  const Bytes text = "fleck seed payload: a fleck holds a piece of the disk; fleck seed payload.";
  zel::TBuffer<unsigned char> payload(reinterpret_cast<const unsigned char*>(text.data()),
                                      text.size());
  for (unsigned index = 0; index < std::size(settings); ++index) {
    fleck::CFleckDiskHeader header;
    header.setCompressID(settings[index][0]);
    header.setCipherID(settings[index][1]);
    header.setFleckSize(65536);
    fleck::CFleckDataPreparer preparer(header, key);
    zel::TBuffer<unsigned char> record;
    preparer.prepareData(payload, record);
    const std::string name = std::string(settings[index][0]) + "-" + settings[index][1];
    // High bit: the target recomputes the record digest, so mutations reach the decoder.
    seeds.write("unprepare", name, Bytes(1, static_cast<char>(0x80 | index)) + toBytes(record));
  }
  // An empty payload, taken as it is (digest checked unchanged).
  fleck::CFleckDiskHeader header;
  header.setCompressID("lz4");
  header.setCipherID("null");
  header.setFleckSize(65536);
  fleck::CFleckDataPreparer preparer(header, key);
  zel::TBuffer<unsigned char> record;
  preparer.prepareData(zel::TBuffer<unsigned char>(), record);
  seeds.write("unprepare", "empty-lz4-null", Bytes(1, static_cast<char>(2)) + toBytes(record));
}

void headerSeeds(SeedWriter& seeds, zel::IFileSystem* files, const fs::path& scratch) {
  fleck::CFleckDiskHeader standard;
  standard.setDiskSize(1 << 20);
  unsigned char hash[32];
  for (int i = 0; i < 32; ++i)
    hash[i] = static_cast<unsigned char>(i * 11);
  standard.setCipherKeyHash(zel::TBuffer<unsigned char>(hash, 32));
  standard.setCipherKeyDerivationSalt(zel::TBuffer<unsigned char>(hash, 16));

  fleck::CFleckDiskHeader plain;
  plain.setCipherID("null");
  plain.setCompressID("zlib-6");
  plain.setFleckSize(65536);
  plain.setDiskSize(123456789);

  int n = 0;
  for (const fleck::CFleckDiskHeader* header : {&standard, &plain}) {
    const fs::path folder = scratch / ("header" + std::to_string(n));
    fs::create_directories(folder);
    header->store(files, zel::CURI::fromLocalPath(folder.string()));
    const Bytes payload = auxPayload(folder / "disk.fleckdisk");
    seeds.write("header", "payload-" + std::to_string(n), Bytes(1, '\0') + payload);
    seeds.write("header", "file-" + std::to_string(n), Bytes(1, '\1') + payload + md5(payload));
    ++n;
  }
}

void linkSeeds(SeedWriter& seeds, zel::IFileSystem* files, const fs::path& scratch) {
  const char* targets[] = {"../parent", "/srv/disks/base", "s3://bucket/disks/x%2Fy"};
  int n = 0;
  for (const char* target : targets) {
    const fs::path folder = scratch / ("link" + std::to_string(n));
    fs::create_directories(folder);
    fleck::CFleckDiskLink link;
    link.setTargetURI(zel::CURI(target));
    const zel::String name = fleck::CFleckDisk::getParentLinkFileName();
    link.store(files, zel::CURI::fromLocalPath(folder.string()), name);
    const Bytes payload = auxPayload(folder / name.toUTF8());
    seeds.write("link", "payload-" + std::to_string(n), Bytes(1, '\0') + payload);
    if (n == 0) seeds.write("link", "file-0", Bytes(1, '\1') + payload + md5(payload));
    ++n;
  }
}

void auxFileSeeds(SeedWriter& seeds) {
  // Byte 0: split point (of 255), byte 1: flags (bit 0/1: MD5 trailer on copy 0/1,
  // bit 2/3: copy 0/1 left out); see runAuxFile.
  const Bytes a = "copy zero payload";
  const Bytes b = "copy one payload, a bit longer";
  auto split = [&](const Bytes& first, const Bytes& second) {
    return static_cast<char>((first.size() * 255 + first.size() + second.size() - 1) /
                             (first.size() + second.size()));
  };
  const char both = split(a, b);
  seeds.write("auxfile", "both-intact", Bytes{both, '\x03'} + a + b);
  seeds.write("auxfile", "copy0-damaged", Bytes{both, '\x02'} + a + b);
  seeds.write("auxfile", "copy0-missing", Bytes{both, '\x06'} + a + b);
  seeds.write("auxfile", "none-intact", Bytes{both, '\x00'} + a + b);
  // Whole files with their trailers already in the bytes.
  const Bytes fileA = a + md5(a);
  const Bytes fileB = b + md5(b);
  seeds.write("auxfile", "raw-files", Bytes{split(fileA, fileB), '\x00'} + fileA + fileB);
}

void dataInStreamSeeds(SeedWriter& seeds) {
  // Byte 0: program length; then one byte per operation (low 3 bits: int16, int32,
  // int64, string, read n, read n*997, seek, bad seek; upper 5 bits: n); then the data.
  auto stream = zel::make<zel::CBufferStream>(nullptr, 2.0);
  {
    zel::CDataOutStream out(stream);
    out.writeInt16(-2);
    out.writeInt32(0x12345678);
    out.writeInt64(-1234567890123LL);
    out.writeString("h\xC3\xA9llo");
    out.write("tail", 4, nullptr);
  }
  const Bytes data = toBytes(*stream->getBuffer());
  const unsigned char ops[] = {0, 1, 2, 3, 4 | (4 << 3), 6, 2, 6 | (31 << 3), 0, 7, 7 | (1 << 3),
                               3};
  const Bytes program(reinterpret_cast<const char*>(ops), sizeof(ops));
  seeds.write("datainstream", "records",
              Bytes(1, static_cast<char>(program.size())) + program + data);
  const Bytes negative = {'\xFF', '\xFF', '\xFF', '\xFF'};
  seeds.write("datainstream", "negative-string", Bytes{1, 3} + negative);
  seeds.write("datainstream", "short", Bytes{3, 2, 5 | (3 << 3), 1} + Bytes("abc"));
}

void uriSeeds(SeedWriter& seeds) {
  const char* texts[] = {"/a/b/c",
                         "s3://bucket/x/y/../z",
                         "a/../../b/./c",
                         "file:///tmp/x%2Fy%25z",
                         "/a/b\n/a/c/d",
                         "S3://Bucket/%41%zz/./q\ns3://Bucket/q/r",
                         "h\xC3\xA9llo/w\xC3\xB6rld/%C3%A9",
                         "../x\nfile://host/share/x"};
  int n = 0;
  for (const char* text : texts)
    seeds.write("uri", "uri-" + std::to_string(n++), text);
}

}  // namespace

int main(int argc, char** argv) {
  try {
    SeedWriter seeds(argc > 1 ? argv[1] : "fuzz/corpus");
    Scratch scratch;
    auto files = zel::make<zel::CLocalFileSystem>();
    unprepareSeeds(seeds);
    headerSeeds(seeds, files, scratch.path);
    linkSeeds(seeds, files, scratch.path);
    auxFileSeeds(seeds);
    dataInStreamSeeds(seeds);
    uriSeeds(seeds);
    std::cout << "wrote " << seeds.getCount() << " seed files\n";
    return 0;
  } catch (const std::exception& e) {
    std::cerr << "fuzz-make-seeds: " << e.what() << "\n";
    return 1;
  }
}
