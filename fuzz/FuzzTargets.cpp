#include "FuzzTargets.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <tuple>

#include "fleck/CFleckDataPreparer.h"
#include "fleck/CFleckDisk.h"
#include "fleck/CFleckDiskAuxFileBase.h"
#include "fleck/CFleckDiskHeader.h"
#include "fleck/CFleckDiskLink.h"
#include "keel/CDigestType_MD5.h"
#include "keel/IDigest.h"
#include "zel/CBufferStream.h"
#include "zel/CDataInStream.h"
#include "zel/CDataOutStream.h"
#include "zel/CError.h"
#include "zel/CFileSystemError.h"
#include "zel/CIOError.h"
#include "zel/CInvalidArgError.h"
#include "zel/CLocalFileSystem.h"
#include "zel/CURI.h"
#include "zel/String.h"
#include "zel/TBuffer.h"
#include "zel/TCryptBuffer.h"

namespace fleck::test {
namespace {

using Buffer = zel::TBuffer<unsigned char>;
using Seeds = std::vector<std::pair<std::string, std::string>>;
constexpr std::size_t kMD5Length = 16;
constexpr const char* kHeaderFile = "disk.fleckdisk";

// Ends the process so that the fuzzer keeps the input; the message says which law.
void require(bool holds, const char* law) {
  if (holds) return;
  std::fprintf(stderr, "fuzz: law broken: %s\n", law);
  std::fflush(stderr);
  __builtin_trap();
}

Buffer md5(const unsigned char* data, std::size_t length) {
  zel::P<keel::IDigest> digest;
  zel::make<keel::CDigestType_MD5>()->createDigest(digest);
  digest->update(data, length);
  digest->finish();
  return Buffer(digest->getResult(), static_cast<std::size_t>(digest->getLength()));
}

bool endsWithMD5(const Buffer& file) {
  const std::size_t body = file.getUsed() - kMD5Length;
  return file.getUsed() >= kMD5Length &&
         md5(file.getData(), body) == Buffer(file.getData() + body, kMD5Length);
}

std::string text(const Buffer& buffer) {
  return std::string(reinterpret_cast<const char*>(buffer.getData()), buffer.getUsed());
}

// One scratch folder per process under $TMPDIR, removed at exit.
struct Scratch {
  std::string root;
  zel::P<zel::CLocalFileSystem> fs;

  Scratch() {
    const char* base = std::getenv("TMPDIR");
    root = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/fleck-fuzz-XXXXXX";
    if (::mkdtemp(root.data()) == nullptr) throw std::runtime_error("mkdtemp failed: " + root);
    zel::CLocalFileSystem::Options options;
    options.completionThreads = 1;
    fs = zel::make<zel::CLocalFileSystem>(options);
  }
  ~Scratch() {
    fs = nullptr;
    std::error_code ignored;
    std::filesystem::remove_all(root, ignored);
  }
  // A folder below the scratch folder, made when missing.
  std::string folder(const std::string& relative) const {
    std::filesystem::create_directories(root + "/" + relative);
    return root + "/" + relative;
  }
};

Scratch& scratch() {
  static Scratch folder;
  return folder;
}

void writeFile(const std::string& path, const Buffer& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.getData()),
            static_cast<std::streamsize>(bytes.getUsed()));
  if (!out.flush()) throw std::runtime_error("cannot write " + path);
}

// ---------------------------------------------------------------------------------
// unprepare: byte 0 chooses the setting (low 7 bits) and whether the record digest is
// recomputed (high bit) so that the later checks are reached; the rest is the record.

constexpr const char* kSettings[][2] = {
    {"null", "null"},       {"zlib-6", "null"},      {"lz4", "null"},         {"lz4hc", "null"},
    {"lzma-6", "null"},     {"null", "aes256cbc"},   {"zlib-6", "aes256cbc"}, {"lz4", "aes256cbc"},
    {"lz4hc", "aes256cbc"}, {"lzma-6", "aes256cbc"},
};
constexpr int kFleckSize = 65536;

// One preparer per setting under a fixed key, made once: a disk reuses its preparer too.
CFleckDataPreparer& getPreparer(std::size_t index) {
  static const std::vector<zel::P<CFleckDataPreparer>> preparers = [] {
    zel::TCryptBuffer<unsigned char> key;
    key.setUsed(32);
    for (int i = 0; i < 32; ++i)
      key.getData()[i] = static_cast<unsigned char>(0xA5 ^ (i * 7));
    std::vector<zel::P<CFleckDataPreparer>> made;
    for (const auto& setting : kSettings) {
      CFleckDiskHeader header;
      header.setCompressID(setting[0]);
      header.setCipherID(setting[1]);
      header.setFleckSize(kFleckSize);
      made.push_back(zel::make<CFleckDataPreparer>(header, key));
    }
    return made;
  }();
  return *preparers[index];
}

// Whether the record fails a check made before decryption: the record digest, the
// magic, a newer reader version, no room for the head and both digests.
bool refusedBeforeDecryption(const Buffer& record) {
  if (!endsWithMD5(record) || record.getUsed() < 9) return true;
  const unsigned char* bytes = record.getData();
  const auto minReadVersion = static_cast<std::int16_t>(bytes[5] | (bytes[6] << 8));
  return std::memcmp(bytes, "FLECK", 5) != 0 ||
         minReadVersion > CFleckDisk::getImplementationVersion() ||
         record.getUsed() < 9 + 2 * kMD5Length;
}

void runUnprepare(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return;
  CFleckDataPreparer& preparer = getPreparer((data[0] & 0x7F) % std::size(kSettings));
  Buffer record(data + 1, size - 1);
  if ((data[0] & 0x80) != 0 && record.getUsed() >= kMD5Length) {
    const std::size_t body = record.getUsed() - kMD5Length;
    std::memcpy(record.getData() + body, md5(record.getData(), body).getData(), kMD5Length);
  }
  const Buffer sentinel(reinterpret_cast<const unsigned char*>("keep"), 4);
  Buffer payload = sentinel;
  const bool refusedEarly = refusedBeforeDecryption(record);
  try {
    preparer.unprepareData(record, payload);
  } catch (const zel::CError&) {
    require(!refusedEarly || payload == sentinel,
            "unprepareData changed the destination of a record it refused before decryption");
    return;
  }
  require(!refusedEarly, "unprepareData accepted a record that fails an early check");
  require(payload.getUsed() <= static_cast<std::size_t>(kFleckSize),
          "unprepareData returned more than a fleck");
  Buffer again;
  Buffer back;
  preparer.prepareData(payload, again);
  preparer.unprepareData(again, back);
  require(back == payload, "prepareData/unprepareData round trip of an accepted payload");
}

Seeds unprepareSeeds() {
  const std::string words =
      "fleck seed payload: a fleck holds a piece of the disk; fleck seed payload.";
  Seeds seeds;
  Buffer record;
  for (std::size_t i = 0; i < std::size(kSettings); ++i) {
    getPreparer(i).prepareData(
        Buffer(reinterpret_cast<const unsigned char*>(words.data()), words.size()), record);
    seeds.emplace_back(std::string(kSettings[i][0]) + "-" + kSettings[i][1],
                       static_cast<char>(0x80 | i) + text(record));
  }
  // An empty payload, its record digest checked as written.
  getPreparer(2).prepareData(Buffer(), record);
  seeds.emplace_back("empty-lz4-null", '\2' + text(record));
  return seeds;
}

// ---------------------------------------------------------------------------------
// header and link: byte 0 bit 0 clear, the rest is the payload of an intact file (MD5
// trailer added); set, the rest is the whole file. What loads stores and loads to
// itself; a store may refuse a payload that grew past what a file may hold (bad UTF-8
// widens to U+FFFD), as documented.

zel::CURI writeAuxInput(const std::uint8_t* data, std::size_t size, const std::string& folder,
                        const std::string& name) {
  const std::string path = scratch().folder(folder);
  Buffer file(data + 1, size - 1);
  if ((data[0] & 1) == 0) {
    const Buffer digest = md5(file.getData(), file.getUsed());
    file.append(digest.getData(), digest.getUsed());
  }
  writeFile(path + "/" + name, file);
  return zel::CURI::fromLocalPath(path);
}

template <class T, class... Name>
bool storeAndReload(const T& loaded, T& reloaded, const char* folder, const Name&... name) {
  const zel::CURI copy = zel::CURI::fromLocalPath(scratch().folder(folder));
  try {
    loaded.store(scratch().fs, copy, name...);
  } catch (const zel::CInvalidArgError&) {
    return false;
  }
  reloaded.load(scratch().fs, copy, name...);
  return true;
}

// The payload and the whole file of copy 0, as the library stores it.
template <class T, class... Name>
void addStoredSeeds(Seeds& seeds, const T& object, int n, bool whole, const Name&... name) {
  const zel::CURI folder = zel::CURI::fromLocalPath(scratch().folder("seed-" + std::to_string(n)));
  object.store(scratch().fs, folder, name...);
  const zel::String files[] = {name..., kHeaderFile};  // a link's first
  const std::string payload =
      text(*CFleckDiskAuxFileBase::loadAuxFile(scratch().fs, folder, files[0]));
  const Buffer digest = md5(reinterpret_cast<const unsigned char*>(payload.data()), payload.size());
  seeds.emplace_back("payload-" + std::to_string(n), '\0' + payload);
  if (whole) seeds.emplace_back("file-" + std::to_string(n), '\1' + payload + text(digest));
}

auto headerFields(const CFleckDiskHeader& h) {
  return std::tuple(h.getVersion(), h.getMinReaderVersion(), h.getMinWriterVersion(),
                    h.getFleckSize(), h.getPayloadBlockSize(), h.getDiskSize(),
                    h.getCheckSumHashID(), h.getCryptoHashID(), h.getCipherID(),
                    h.getCipherKeyHash(), h.getCipherKeyDeriverID(), h.getCipherKeyDerivationSalt(),
                    h.getCipherKeyDerivationIterations(), h.getCompressID());
}

void runHeader(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return;
  const zel::CURI folder = writeAuxInput(data, size, "header", kHeaderFile);
  CFleckDiskHeader loaded;
  try {
    loaded.load(scratch().fs, folder);
  } catch (const zel::CError&) {
    return;
  }
  CFleckDiskHeader reloaded;
  if (storeAndReload(loaded, reloaded, "header-copy"))
    require(headerFields(loaded) == headerFields(reloaded), "header store/load round trip");
}

Seeds headerSeeds() {
  CFleckDiskHeader standard;
  standard.setDiskSize(1 << 20);
  unsigned char hash[32];
  for (int i = 0; i < 32; ++i)
    hash[i] = static_cast<unsigned char>(i * 11);
  standard.setCipherKeyHash(Buffer(hash, 32));
  standard.setCipherKeyDerivationSalt(Buffer(hash, 16));
  CFleckDiskHeader plain;
  plain.setCipherID("null");
  plain.setCompressID("zlib-6");
  plain.setFleckSize(65536);
  plain.setDiskSize(123456789);
  Seeds seeds;
  addStoredSeeds(seeds, standard, 0, true);
  addStoredSeeds(seeds, plain, 1, true);
  return seeds;
}

void runLink(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return;
  const zel::String name = CFleckDisk::getParentLinkFileName();
  const zel::CURI folder = writeAuxInput(data, size, "link", name.toUTF8());
  const zel::CURI before("/kept/on/failure");
  CFleckDiskLink loaded;
  loaded.setTargetURI(before);
  try {
    loaded.load(scratch().fs, folder, name);
  } catch (const zel::CError&) {
    require(loaded.getTargetURI() == before, "a failed link load changed the target");
    return;
  }
  CFleckDiskLink reloaded;
  if (storeAndReload(loaded, reloaded, "link-copy", name))
    require(reloaded.getTargetURI() == loaded.getTargetURI(), "link store/load round trip");
}

Seeds linkSeeds() {
  Seeds seeds;
  int n = 0;
  for (const char* target : {"../parent", "/srv/disks/base", "s3://bucket/disks/x%2Fy"}) {
    CFleckDiskLink link;
    link.setTargetURI(zel::CURI(target));
    addStoredSeeds(seeds, link, n, n == 0, CFleckDisk::getParentLinkFileName());
    ++n;
  }
  return seeds;
}

// ---------------------------------------------------------------------------------
// auxfile: loadAuxFile over copy 0 and the fallback copy 1. Byte 0 says where the rest
// is split between the copies; byte 1 bit 0/1 appends a correct MD5 trailer to copy
// 0/1, bit 2/3 leaves copy 0/1 out.

void runAuxFile(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return;
  const std::size_t rest = size - 2;
  const std::size_t split = data[0] * rest / 255;
  const std::string paths[2] = {scratch().folder("aux") + "/fuzz.aux",
                                scratch().folder("aux/fallback") + "/fuzz.aux"};
  bool present[2];
  bool intact[2];
  Buffer expected[2];
  for (unsigned i = 0; i < 2; ++i) {
    Buffer file(data + 2 + (i == 0 ? 0 : split), i == 0 ? split : rest - split);
    if ((data[1] & (1u << i)) != 0) {
      const Buffer digest = md5(file.getData(), file.getUsed());
      file.append(digest.getData(), digest.getUsed());
    }
    present[i] = (data[1] & (4u << i)) == 0;
    if (present[i]) {
      writeFile(paths[i], file);
    } else {
      std::filesystem::remove(paths[i]);
    }
    intact[i] = present[i] && file.getUsed() > kMD5Length &&
                file.getUsed() <= static_cast<std::size_t>(CFleckDiskAuxFileBase::kMaxFileLength) &&
                endsWithMD5(file);
    if (intact[i]) expected[i] = Buffer(file.getData(), file.getUsed() - kMD5Length);
  }
  const zel::CURI folder = zel::CURI::fromLocalPath(scratch().folder("aux"));
  zel::P<Buffer> loaded;
  try {
    loaded = CFleckDiskAuxFileBase::loadAuxFile(scratch().fs, folder, "fuzz.aux");
  } catch (const zel::CError& e) {
    require(!intact[0] && !intact[1], "loadAuxFile refused although a copy is intact");
    require(e.getProps().lookup("uri") ==
                CFleckDiskAuxFileBase::getAuxFileURI(folder, "fuzz.aux", 0).toString(true),
            "loadAuxFile's error does not name copy 0");
    const auto* missing = dynamic_cast<const zel::CFileSystemError*>(&e);
    require(present[0] ||
                (missing != nullptr && missing->getProblem() == zel::CFileSystemError::NotFound),
            "loadAuxFile without copy 0 is not NotFound");
    return;
  }
  require(loaded != nullptr, "loadAuxFile returned no buffer");
  require(intact[0] ? *loaded == expected[0] : intact[1] && *loaded == expected[1],
          "loadAuxFile did not return the first intact copy");
}

Seeds auxFileSeeds() {
  const std::string a = "copy zero payload";
  const std::string b = "copy one payload, a bit longer";
  const auto trailed = [](const std::string& s) {
    return s + text(md5(reinterpret_cast<const unsigned char*>(s.data()), s.size()));
  };
  // 93 splits the rest after a, 107 after a with its trailer.
  return {{"both-intact", "\x5d\x03" + a + b},
          {"copy0-damaged", "\x5d\x02" + a + b},
          {"copy0-missing", "\x5d\x06" + a + b},
          {"none-intact", std::string("\x5d\x00", 2) + a + b},
          {"raw-files", std::string("\x6b\x00", 2) + trailed(a) + trailed(b)}};
}

// ---------------------------------------------------------------------------------
// datainstream: zel::CDataInStream over a zel::CBufferStream. Byte 0 is the length of a
// program of one-byte operations (low 3 bits: readInt16, readInt32, readInt64,
// readString, read n, read n*997, seek, seek outside; upper 5 bits: n); the rest is the
// stream. Values, positions and errors are checked against a model of the
// little-endian format.

template <class T>
T decodeLittleEndian(const unsigned char* bytes) {
  using U = std::make_unsigned_t<T>;
  U bits = 0;
  for (std::size_t i = 0; i < sizeof(T); ++i)
    bits |= static_cast<U>(U{bytes[i]} << (8 * i));
  return static_cast<T>(bits);
}

void runDataInStream(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return;
  const std::size_t programLength = std::min<std::size_t>(data[0], size - 1);
  const Buffer bytes(data + 1 + programLength, size - 1 - programLength);
  const auto length = static_cast<std::int64_t>(bytes.getUsed());
  zel::CBufferStream stream(&bytes, zel::CBufferStream::ReadOnly());
  zel::CDataInStream in(&stream);  // after the stream: its counted reference goes first
  std::int64_t pos = 0;
  const auto fits = [&](std::int64_t count) { return count <= length - pos; };
  // Runs `read`; the model says whether it succeeds (then `check` takes the value) or
  // fails with `code`. A failed read may move the stream up to its end (`mayMove`),
  // the model follows; anything else that fails leaves the position.
  const auto expect = [&](bool ok, zel::CIOError::Code code, bool mayMove, auto read, auto check) {
    try {
      const auto value = read();
      require(ok, "the stream accepted what the model refuses");
      check(value);
    } catch (const zel::CError& e) {
      require(!ok, "the stream refused what the model accepts");
      const auto* io = dynamic_cast<const zel::CIOError*>(&e);
      require(io != nullptr && io->getIOCode() == code, "a refusal of the wrong class or code");
      const std::int64_t now = stream.getPosition();
      require(now == pos || (mayMove && now > pos && now <= length),
              "a failed operation moved the position outside the rest");
      pos = now;
    }
  };
  const auto integer = [&]<class T>(T (zel::CDataInStream::*read)()) {
    expect(
        fits(sizeof(T)), zel::CIOError::EndOfStream, true, [&] { return (in.*read)(); },
        [&](T value) {
          require(value == decodeLittleEndian<T>(bytes.getData() + pos), "integer value");
          pos += static_cast<std::int64_t>(sizeof(T));
        });
  };
  for (std::size_t i = 0; i < programLength; ++i) {
    const unsigned op = data[1 + i];
    const std::int64_t arg = op >> 3;
    switch (op & 7) {
      case 0:
        integer(&zel::CDataInStream::readInt16);
        break;
      case 1:
        integer(&zel::CDataInStream::readInt32);
        break;
      case 2:
        integer(&zel::CDataInStream::readInt64);
        break;
      case 3: {
        const std::int64_t count =
            fits(4) ? decodeLittleEndian<std::int32_t>(bytes.getData() + pos) : 0;
        const bool negative = count < 0;
        const std::int64_t start = pos;
        if (negative) pos += 4;  // the length is read, nothing after it
        expect(
            fits(4 + count) && !negative,
            negative ? zel::CIOError::InvalidData : zel::CIOError::EndOfStream, !negative,
            [&] { return in.readString(); },
            [&](const zel::String& value) {
              require(value == zel::String::fromUTF8(std::string_view(
                                   reinterpret_cast<const char*>(bytes.getData() + start + 4),
                                   static_cast<std::size_t>(count))),
                      "string value");
              pos = start + 4 + count;
            });
        break;
      }
      case 4:
      case 5: {
        const std::int64_t count = (op & 7) == 4 ? arg : arg * 997;
        std::vector<unsigned char> target(static_cast<std::size_t>(count));
        expect(
            fits(count), zel::CIOError::EndOfStream, true,
            [&] { return in.read(target.data(), static_cast<int>(count)), 0; },
            [&](int) {
              require(count == 0 ||
                          std::memcmp(target.data(), bytes.getData() + pos, target.size()) == 0,
                      "bytes read");
              pos += count;
            });
        break;
      }
      default: {
        const std::int64_t target = (op & 7) == 6    ? arg * length / 31
                                    : (arg & 1) != 0 ? -1 - (arg >> 1)
                                                     : length + 1 + (arg >> 1);
        expect(
            target >= 0 && target <= length, zel::CIOError::InvalidPosition, false,
            [&] { return stream.seek(target), 0; }, [&](int) { pos = target; });
      }
    }
    require(stream.getPosition() == pos, "stream position differs from the model");
    require(stream.isEndOfStream() == (pos >= length), "isEndOfStream differs from the model");
  }
}

Seeds dataInStreamSeeds() {
  auto stream = zel::make<zel::CBufferStream>(nullptr, 2.0);
  {
    zel::CDataOutStream out(stream);
    out.writeInt16(-2);
    out.writeInt32(0x12345678);
    out.writeInt64(-1234567890123LL);
    out.writeString("h\xC3\xA9llo");
    out.write("tail", 4, nullptr);
  }
  const unsigned char program[] = {
      12, 0, 1, 2, 3, 4 | (4 << 3), 6, 2, 6 | (31 << 3), 0, 7, 7 | (1 << 3), 3};
  return {{"records", std::string(reinterpret_cast<const char*>(program), sizeof(program)) +
                          text(*stream->getBuffer())},
          {"negative-string", std::string{1, 3} + "\xFF\xFF\xFF\xFF"},
          {"short", std::string{3, 2, 5 | (3 << 3), 1} + "abc"}};
}

// ---------------------------------------------------------------------------------
// uri: the bytes as UTF-8; a line break splits off a second location, one more base
// for toRelative.

void checkURI(const zel::CURI& u) {
  require(zel::CURI(u.toString(true)) == u, "CURI(u.toString(true)) == u");
  const zel::CURI normalized = u.toNormalized();
  require(normalized.toNormalized() == normalized, "toNormalized is idempotent");
  require(zel::CURI(normalized.toString(true)) == normalized,
          "CURI(n.toString(true)) == n for a normalized n");
  require(u.getComponents().empty() || (u.getParent() << u.getName()) == u,
          "u.getParent() << u.getName() == u");
}

void checkRelative(const zel::CURI& u, const zel::CURI& base) {
  const zel::CURI target = u.toNormalized();
  const zel::CURI from = base.toNormalized();
  const bool related = u.isAbsolute() && base.isAbsolute() &&
                       target.getScheme() == from.getScheme() &&
                       target.getAuthority() == from.getAuthority();
  zel::CURI relative;
  try {
    relative = u.toRelative(base);
  } catch (const zel::CError&) {
    require(!related, "toRelative refused locations of one scheme and authority");
    return;
  }
  require(related, "toRelative accepted unrelated locations");
  require(!relative.isAbsolute(), "toRelative gave an absolute location");
  require((base << relative).toNormalized() == target,
          "(base << u.toRelative(base)).toNormalized() == u.toNormalized()");
  require(!(target == from) || relative == zel::CURI("."),
          "toRelative of the same folder is \".\"");
  checkURI(relative);
}

void runURI(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::size_t newline = input.find('\n');
  const zel::CURI u(zel::String::fromUTF8(input.substr(0, newline)));
  checkURI(u);
  static const zel::CURI kBases[] = {zel::CURI("/"),
                                     zel::CURI("/a/b/c"),
                                     zel::CURI("/a/./b/../c/"),
                                     zel::CURI("s3://bucket/a/b"),
                                     zel::CURI("S3://bucket/x/../a"),
                                     zel::CURI("file:///a")};
  for (const zel::CURI& base : kBases)
    checkRelative(u, base);
  if (newline == std::string_view::npos) return;
  const zel::CURI second(zel::String::fromUTF8(input.substr(newline + 1)));
  checkURI(second);
  checkRelative(u, second);
  checkRelative(second, u);
}

Seeds uriSeeds() {
  Seeds seeds;
  for (const char* location :
       {"/a/b/c", "s3://bucket/x/y/../z", "a/../../b/./c", "file:///tmp/x%2Fy%25z", "/a/b\n/a/c/d",
        "S3://Bucket/%41%zz/./q\ns3://Bucket/q/r", "h\xC3\xA9llo/w\xC3\xB6rld/%C3%A9",
        "../x\nfile://host/share/x"})
    seeds.emplace_back("uri-" + std::to_string(seeds.size()), location);
  return seeds;
}

}  // namespace

const std::vector<FuzzTarget>& getFuzzTargets() {
  static const std::vector<FuzzTarget> targets = {
      {"unprepare", &runUnprepare, &unprepareSeeds},
      {"header", &runHeader, &headerSeeds},
      {"link", &runLink, &linkSeeds},
      {"auxfile", &runAuxFile, &auxFileSeeds},
      {"datainstream", &runDataInStream, &dataInStreamSeeds},
      {"uri", &runURI, &uriSeeds},
  };
  return targets;
}

}  // namespace fleck::test
