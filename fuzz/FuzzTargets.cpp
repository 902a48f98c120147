#include "FuzzTargets.h"

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
#include "keel/CMD5Batch.h"
#include "keel/IDigest.h"
#include "zel/CBufferStream.h"
#include "zel/CDataInStream.h"
#include "zel/CDataOutStream.h"
#include "zel/CFileSystemError.h"
#include "zel/CIOError.h"
#include "zel/CInvalidArgError.h"
#include "zel/CLocalFileSystem.h"
#include "zel/TCryptBuffer.h"

namespace fleck::test {
namespace {

using Buffer = zel::TBuffer<unsigned char>;
using Seeds = std::vector<std::pair<std::string, std::string>>;
constexpr std::size_t kMD5Length = 16;

// Ends the process so that the fuzzer keeps the input; the message says which law.
void require(bool holds, const char* law) {
  if (holds) return;
  std::fprintf(stderr, "fuzz: law broken: %s\n", law);
  __builtin_trap();
}

Buffer buffer(std::string_view bytes) {
  return Buffer(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
}

std::string text(const Buffer& bytes) {
  return std::string(reinterpret_cast<const char*>(bytes.getData()), bytes.getUsed());
}

// The bytes followed by their MD5 digest, the framing of records and small files.
std::string withMD5(std::string_view bytes) {
  zel::P<keel::IDigest> digest;
  zel::make<keel::CDigestType_MD5>()->createDigest(digest);
  digest->update(bytes.data(), bytes.size());
  digest->finish();
  return std::string(bytes) + std::string(reinterpret_cast<const char*>(digest->getResult()),
                                          static_cast<std::size_t>(digest->getLength()));
}

bool endsWithMD5(std::string_view file) {
  return file.size() >= kMD5Length && withMD5(file.substr(0, file.size() - kMD5Length)) == file;
}

// The signed little-endian integer of `count` bytes.
std::int64_t littleEndian(const unsigned char* bytes, int count) {
  std::uint64_t bits = 0;
  for (int i = count; i-- > 0;)
    bits = bits << 8 | bytes[i];
  return static_cast<std::int64_t>(bits << (64 - 8 * count)) >> (64 - 8 * count);
}

// One scratch folder per process under $TMPDIR, removed at exit.
struct Scratch {
  std::string root = (std::filesystem::temp_directory_path() / "fleck-fuzz-XXXXXX").string();
  zel::P<zel::CLocalFileSystem> fs = zel::make<zel::CLocalFileSystem>();

  Scratch() {
    if (::mkdtemp(root.data()) == nullptr) throw std::runtime_error("mkdtemp failed: " + root);
  }
  ~Scratch() {
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

void writeFile(const std::string& path, std::string_view bytes) {
  if (!std::ofstream(path, std::ios::binary).write(bytes.data(), std::ssize(bytes)).flush())
    throw std::runtime_error("cannot write " + path);
}

// unprepare: byte 0 chooses the setting (low 7 bits) and whether the record digest is
// recomputed (high bit) so that the later checks are reached; the rest is the record.
constexpr const char* kSettings[][2] = {
    {"null", "null"},       {"zlib-6", "null"},      {"lz4", "null"},         {"lz4hc", "null"},
    {"lzma-6", "null"},     {"null", "aes256cbc"},   {"zlib-6", "aes256cbc"}, {"lz4", "aes256cbc"},
    {"lz4hc", "aes256cbc"}, {"lzma-6", "aes256cbc"},
};
constexpr std::size_t kFleckSize = 65536;

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
bool refusedBeforeDecryption(std::string_view record) {
  if (!endsWithMD5(record) || record.size() < 9) return true;
  return record.substr(0, 5) != "FLECK" ||
         littleEndian(reinterpret_cast<const unsigned char*>(record.data()) + 5, 2) >
             CFleckDisk::getImplementationVersion() ||
         record.size() < 9 + 2 * kMD5Length;
}

void runUnprepare(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return;
  CFleckDataPreparer& preparer = getPreparer((data[0] & 0x7F) % std::size(kSettings));
  std::string record(reinterpret_cast<const char*>(data) + 1, size - 1);
  if ((data[0] & 0x80) != 0 && record.size() >= kMD5Length)
    record = withMD5(record.substr(0, record.size() - kMD5Length));
  const bool refusedEarly = refusedBeforeDecryption(record);
  Buffer payload = buffer("keep");
  try {
    preparer.unprepareData(buffer(record), payload);
  } catch (const zel::CError&) {
    require(!refusedEarly || text(payload) == "keep",
            "unprepareData changed the destination of a record it refused before decryption");
    return;
  }
  require(!refusedEarly, "unprepareData accepted a record that fails an early check");
  require(payload.getUsed() <= kFleckSize, "unprepareData returned more than a fleck");
  require(withMD5(text(payload)).substr(payload.getUsed()) == record.substr(9, kMD5Length),
          "unprepareData returned a payload its record's digest does not match");
  Buffer again, back;
  preparer.prepareData(payload, again);
  preparer.unprepareData(again, back);
  require(back == payload, "prepareData/unprepareData round trip of an accepted payload");
}

Seeds unprepareSeeds() {
  Seeds seeds;
  Buffer record;
  for (std::size_t i = 0; i < std::size(kSettings); ++i) {
    getPreparer(i).prepareData(
        buffer("fleck seed payload: a fleck holds a piece of the disk; fleck seed payload."),
        record);
    seeds.emplace_back(std::string(kSettings[i][0]) + "-" + kSettings[i][1],
                       static_cast<char>(0x80 | i) + text(record));
  }
  // An empty payload, its record digest checked as written.
  getPreparer(2).prepareData(Buffer(), record);
  seeds.emplace_back("empty-lz4-null", '\2' + text(record));
  return seeds;
}

// header and link: byte 0 bit 0 clear, the rest is the payload of an intact file (MD5
// added); set, the whole file. What loads stores and loads to the same `fields` (a store
// may refuse what grew too long: bad UTF-8 widens to U+FFFD); `keepsOnFailure`: a failed
// load leaves them as they were.
template <class T, class... Name>
void loadStoreLoad(const std::uint8_t* data, std::size_t size, T loaded, bool keepsOnFailure,
                   auto fields, const Name&... name) {
  if (size == 0) return;
  const std::string folder = scratch().folder("in");
  const zel::String files[] = {name..., "disk.fleckdisk"};  // a link's name, else the header's
  const std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  writeFile(folder + "/" + files[0].toUTF8(),
            (data[0] & 1) == 0 ? withMD5(rest) : std::string(rest));
  const auto before = fields(loaded);
  try {
    loaded.load(scratch().fs, zel::CURI::fromLocalPath(folder), name...);
  } catch (const zel::CError&) {
    require(!keepsOnFailure || fields(loaded) == before, "a failed load changed the object");
    return;
  }
  const zel::CURI copy = zel::CURI::fromLocalPath(scratch().folder("copy"));
  try {
    loaded.store(scratch().fs, copy, name...);
  } catch (const zel::CInvalidArgError&) {
    return;
  }
  T reloaded;
  reloaded.load(scratch().fs, copy, name...);
  require(fields(reloaded) == fields(loaded), "store/load round trip of what was loaded");
}

template <class T, class... Name>
void addStoredSeeds(Seeds& seeds, const T& object, int n, bool whole, const Name&... name) {
  const zel::CURI folder = zel::CURI::fromLocalPath(scratch().folder("seed-" + std::to_string(n)));
  object.store(scratch().fs, folder, name...);
  const zel::String files[] = {name..., "disk.fleckdisk"};  // a link's name, else the header's
  const std::string payload =
      text(*CFleckDiskAuxFileBase::loadAuxFile(scratch().fs, folder, files[0]));
  seeds.emplace_back("payload-" + std::to_string(n), '\0' + payload);
  if (whole) seeds.emplace_back("file-" + std::to_string(n), '\1' + withMD5(payload));
}

auto headerFields(const CFleckDiskHeader& h) {
  return std::tuple(h.getVersion(), h.getMinReaderVersion(), h.getMinWriterVersion(),
                    h.getFleckSize(), h.getPayloadBlockSize(), h.getDiskSize(),
                    h.getCheckSumHashID(), h.getCryptoHashID(), h.getCipherID(),
                    h.getCipherKeyHash(), h.getCipherKeyDeriverID(), h.getCipherKeyDerivationSalt(),
                    h.getCipherKeyDerivationIterations(), h.getCompressID());
}

void runHeader(const std::uint8_t* data, std::size_t size) {
  loadStoreLoad(data, size, CFleckDiskHeader(), false, headerFields);
}

Seeds headerSeeds() {
  CFleckDiskHeader standard;
  standard.setDiskSize(1 << 20);
  std::string hash;
  for (int i = 0; i < 32; ++i)
    hash += static_cast<char>(i * 11);
  standard.setCipherKeyHash(buffer(hash));
  standard.setCipherKeyDerivationSalt(buffer(hash.substr(0, 16)));
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
  CFleckDiskLink link;
  link.setTargetURI(zel::CURI("/kept/on/failure"));
  loadStoreLoad(
      data, size, link, true, [](const CFleckDiskLink& l) { return l.getTargetURI(); },
      CFleckDisk::getParentLinkFileName());
}

Seeds linkSeeds() {
  const char* targets[] = {"../parent", "/srv/disks/base", "s3://bucket/disks/x%2Fy"};
  Seeds seeds;
  for (int n = 0; n < 3; ++n) {
    CFleckDiskLink link;
    link.setTargetURI(zel::CURI(targets[n]));
    addStoredSeeds(seeds, link, n, n == 0, CFleckDisk::getParentLinkFileName());
  }
  return seeds;
}

// auxfile: loadAuxFile over copy 0 and the fallback copy 1. Byte 0 says where the rest
// is split between the copies; byte 1 bit 0/1 appends a correct MD5 trailer to copy
// 0/1, bit 2/3 leaves copy 0/1 out.
void runAuxFile(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return;
  const std::string_view rest(reinterpret_cast<const char*>(data) + 2, size - 2);
  const std::size_t split = data[0] * rest.size() / 255;
  const std::string paths[2] = {scratch().folder("aux") + "/fuzz.aux",
                                scratch().folder("aux/fallback") + "/fuzz.aux"};
  bool present[2];
  bool intact[2];
  std::string payload[2];  // of an intact copy
  for (unsigned i = 0; i < 2; ++i) {
    const std::string_view part = i == 0 ? rest.substr(0, split) : rest.substr(split);
    const std::string file = (data[1] & (1u << i)) != 0 ? withMD5(part) : std::string(part);
    present[i] = (data[1] & (4u << i)) == 0;
    std::filesystem::remove(paths[i]);
    if (present[i]) writeFile(paths[i], file);
    intact[i] = present[i] && file.size() > kMD5Length &&
                file.size() <= static_cast<std::size_t>(CFleckDiskAuxFileBase::kMaxFileLength) &&
                endsWithMD5(file);
    payload[i] = file.substr(0, file.size() - kMD5Length);
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
  require(
      loaded != nullptr && (intact[0] || intact[1]) && text(*loaded) == payload[intact[0] ? 0 : 1],
      "loadAuxFile did not return the payload of the first intact copy");
}

// datainstream: zel::CDataInStream over a zel::CBufferStream. Byte 0 is the length of a
// program of one-byte operations (low 3 bits: readInt16, readInt32, readInt64,
// readString, read n, read n*997, seek, seek outside; upper 5 bits: n); the rest is the
// stream. Values, positions and errors must match a model of the little-endian format.
void runDataInStream(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return;
  const std::size_t programLength = std::min<std::size_t>(data[0], size - 1);
  const Buffer bytes(data + 1 + programLength, size - 1 - programLength);
  const auto length = static_cast<std::int64_t>(bytes.getUsed());
  zel::CBufferStream stream(&bytes, zel::CBufferStream::ReadOnly());
  zel::CDataInStream in(&stream);  // after the stream: its counted reference goes first
  std::int64_t pos = 0;
  for (std::size_t i = 0; i < programLength; ++i) {
    const unsigned kind = data[1 + i] & 7;
    const std::int64_t arg = data[1 + i] >> 3;
    const unsigned char* at = bytes.getData() + pos;
    // The model: the bytes an operation takes or where a seek goes; whether it succeeds;
    // else its error and where it leaves the stream (a short read may move to the end).
    std::int64_t take = kind < 3 ? 2 << kind : kind == 4 ? arg : arg * 997;
    auto code = zel::CIOError::EndOfStream;
    std::int64_t failedAt = -1;  // where a failure leaves the stream; -1: up to the end
    if (kind == 3) {
      const std::int64_t count = 4 <= length - pos ? littleEndian(at, 4) : 0;
      if (count < 0) {
        code = zel::CIOError::InvalidData;
        failedAt = pos + 4;  // the length is read, nothing after it
      }
      take = count < 0 ? length + 1 : 4 + count;
    } else if (kind >= 6) {
      take = kind == 6        ? arg * length / 31
             : (arg & 1) != 0 ? -1 - (arg >> 1)
                              : length + 1 + (arg >> 1);
      code = zel::CIOError::InvalidPosition;
      failedAt = pos;
    }
    const bool ok = kind >= 6 ? take >= 0 && take <= length : take <= length - pos;
    std::vector<unsigned char> got(kind == 4 || kind == 5 ? static_cast<std::size_t>(take) : 0);
    try {
      if (kind < 3) {
        const std::int64_t value = kind == 0   ? in.readInt16()
                                   : kind == 1 ? in.readInt32()
                                               : in.readInt64();
        require(ok && value == littleEndian(at, static_cast<int>(take)), "integer read");
      } else if (kind == 3) {
        const zel::String value = in.readString();
        require(ok && value == zel::String::fromUTF8(std::string_view(
                                   reinterpret_cast<const char*>(at + 4), take - 4)),
                "string read");
      } else if (kind < 6) {
        in.read(got.data(), static_cast<int>(take));
        require(ok && (take == 0 || std::equal(got.begin(), got.end(), at)), "bytes read");
      } else {
        stream.seek(take);
        require(ok, "a seek outside the stream was accepted");
      }
      pos = kind >= 6 ? take : pos + take;
    } catch (const zel::CError& e) {
      require(!ok, "the stream refused what the model accepts");
      const auto* io = dynamic_cast<const zel::CIOError*>(&e);
      require(io != nullptr && io->getIOCode() == code, "a refusal of the wrong class or code");
      const std::int64_t now = stream.getPosition();
      require(failedAt >= 0 ? now == failedAt : now >= pos && now <= length,
              "a failed operation moved the position outside the rest");
      pos = now;
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
  // 12 operations: int16, int32, int64, string, read 4, seek 0, int64, seek to the end,
  // int16, seek past the end, seek before the start, string.
  const std::string program("\x0c\x00\x01\x02\x03\x24\x06\x02\xfe\x00\x07\x0f\x03", 13);
  return {{"records", program + text(*stream->getBuffer())},
          {"negative-string", std::string{1, 3} + "\xFF\xFF\xFF\xFF"},
          {"short", std::string{3, 2, 5 | 3 << 3, 1} + "abc"}};
}

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
  for (const char* base :
       {"/", "/a/b/c", "/a/./b/../c/", "s3://bucket/a/b", "S3://bucket/x/../a", "file:///a"})
    checkRelative(u, zel::CURI(base));
  if (newline == std::string_view::npos) return;
  const zel::CURI second(zel::String::fromUTF8(input.substr(newline + 1)));
  checkURI(second);
  checkRelative(u, second);
  checkRelative(second, u);
}

// md5batch: byte 0 gives the batch size (1 + byte % 40, past two full sets of 16 lanes),
// then two bytes per buffer its length (little-endian, modulo what fits); the rest is the
// data, buffer i starting at i * 61 bytes into it, so buffers overlap and start unaligned.
void runMD5Batch(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return;
  const std::size_t count = 1 + data[0] % 40;
  if (size < 1 + 2 * count) return;
  const std::uint8_t* const pool = data + 1 + 2 * count;
  const std::size_t poolSize = size - 1 - 2 * count;
  std::vector<keel::BatchBuffer> buffers(count);
  std::vector<unsigned char> expected(count * kMD5Length);
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t offset = i * 61 % (poolSize + 1);
    const std::size_t length =
        (data[1 + 2 * i] | std::size_t{data[2 + 2 * i]} << 8) % (poolSize - offset + 1);
    buffers[i] = {pool + offset, length};
    const std::string digest =
        withMD5(std::string_view(reinterpret_cast<const char*>(pool + offset), length))
            .substr(length);
    std::memcpy(&expected[i * kMD5Length], digest.data(), kMD5Length);
  }
  using Engine = keel::CMD5Batch::Engine;
  for (Engine engine : {Engine::AVX512, Engine::AVX2, Engine::Auto}) {
    if (!keel::CMD5Batch::isUsable(engine)) continue;
    std::vector<unsigned char> got(count * kMD5Length);
    keel::CMD5Batch::digestWith(engine, buffers.data(), count, got.data());
    require(got == expected, "batch MD5 equals OpenSSL's MD5 of every buffer");
  }
}

}  // namespace

const std::vector<FuzzTarget>& getFuzzTargets() {
  static const std::vector<FuzzTarget> targets = {
      {"unprepare", &runUnprepare, &unprepareSeeds},
      {"header", &runHeader, &headerSeeds},
      {"link", &runLink, &linkSeeds},
      {"auxfile", &runAuxFile, nullptr},
      {"datainstream", &runDataInStream, &dataInStreamSeeds},
      {"uri", &runURI, nullptr},
      {"md5batch", &runMD5Batch, nullptr},
  };
  return targets;
}

}  // namespace fleck::test
