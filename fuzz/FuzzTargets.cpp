#include "FuzzTargets.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <string>

#include "fleck/CFleckDataPreparer.h"
#include "fleck/CFleckDisk.h"
#include "fleck/CFleckDiskAuxFileBase.h"
#include "fleck/CFleckDiskHeader.h"
#include "fleck/CFleckDiskLink.h"
#include "keel/CDigestType_MD5.h"
#include "keel/IDigest.h"
#include "zel/CBufferStream.h"
#include "zel/CDataInStream.h"
#include "zel/CError.h"
#include "zel/CFileSystemError.h"
#include "zel/CIOError.h"
#include "zel/CInvalidArgError.h"
#include "zel/CLocalFileSystem.h"
#include "zel/CURI.h"
#include "zel/P.h"
#include "zel/String.h"
#include "zel/TBuffer.h"
#include "zel/TCryptBuffer.h"

namespace fleck::fuzz {

namespace {

using Buffer = zel::TBuffer<unsigned char>;

// Ends the process so that the fuzzer keeps the input; the message says which law.
[[noreturn]] void lawBroken(const char* law) {
  std::fprintf(stderr, "fuzz: law broken: %s\n", law);
  std::fflush(stderr);
  __builtin_trap();
}

void require(bool holds, const char* law) {
  if (!holds) lawBroken(law);
}

constexpr std::size_t kMD5Length = 16;

Buffer md5(const unsigned char* data, std::size_t length) {
  zel::P<keel::IDigest> digest;
  zel::make<keel::CDigestType_MD5>()->createDigest(digest);
  digest->update(data, length);
  digest->finish();
  return Buffer(digest->getResult(), static_cast<std::size_t>(digest->getLength()));
}

// ---------------------------------------------------------------------------------
// Files: one scratch folder per process, with a local file system to read it.

class ScratchFolder {
 public:
  ScratchFolder() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern =
        std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/fleck-fuzz-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr)
      throw std::runtime_error("mkdtemp failed: " + pattern);
    root = pattern;
    zel::CLocalFileSystem::Options options;
    options.completionThreads = 1;
    fs = zel::make<zel::CLocalFileSystem>(options);
  }
  ~ScratchFolder() {
    fs = nullptr;
    std::error_code ignored;
    std::filesystem::remove_all(root, ignored);
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

  // A fresh or existing folder below the scratch folder.
  std::string folder(const std::string& relative) const {
    const std::string path = root + "/" + relative;
    std::filesystem::create_directories(path);
    return path;
  }

  zel::IFileSystem* getFileSystem() const { return fs.get(); }

 private:
  std::string root;
  zel::P<zel::CLocalFileSystem> fs;
};

ScratchFolder& scratch() {
  static ScratchFolder folder;
  return folder;
}

// Replaces the file with `head` followed by `tail`.
void writeFile(const std::string& path, const unsigned char* head, std::size_t headLength,
               const unsigned char* tail = nullptr, std::size_t tailLength = 0) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) throw std::runtime_error("cannot write " + path);
  const bool written = (headLength == 0 || std::fwrite(head, 1, headLength, file) == headLength) &&
                       (tailLength == 0 || std::fwrite(tail, 1, tailLength, file) == tailLength);
  if (std::fclose(file) != 0 || !written) throw std::runtime_error("cannot write " + path);
}

// The payload with its MD5 trailer (mode 0) or the bytes as they are (mode 1).
void writeAuxFile(const std::string& path, const unsigned char* bytes, std::size_t length,
                  bool raw) {
  if (raw) {
    writeFile(path, bytes, length);
  } else {
    const Buffer digest = md5(bytes, length);
    writeFile(path, bytes, length, digest.getData(), digest.getUsed());
  }
}

// ---------------------------------------------------------------------------------
// unprepare

struct PreparerSetting {
  const char* compressID;
  const char* cipherID;
};

constexpr PreparerSetting kPreparerSettings[] = {
    {"null", "null"},       {"zlib-6", "null"},      {"lz4", "null"},         {"lz4hc", "null"},
    {"lzma-6", "null"},     {"null", "aes256cbc"},   {"zlib-6", "aes256cbc"}, {"lz4", "aes256cbc"},
    {"lz4hc", "aes256cbc"}, {"lzma-6", "aes256cbc"},
};
constexpr std::size_t kPreparerSettingCount = std::size(kPreparerSettings);
constexpr int kFuzzFleckSize = 65536;

zel::TCryptBuffer<unsigned char> fuzzKey() {
  zel::TCryptBuffer<unsigned char> key;
  key.setUsed(32);
  for (int i = 0; i < 32; ++i)
    key.getData()[i] = static_cast<unsigned char>(0xA5 ^ (i * 7));
  return key;
}

// One preparer per setting, made once: a disk reuses its preparer the same way.
CFleckDataPreparer& getPreparer(std::size_t index) {
  static const std::vector<zel::P<CFleckDataPreparer>> preparers = [] {
    std::vector<zel::P<CFleckDataPreparer>> made;
    const zel::TCryptBuffer<unsigned char> key = fuzzKey();
    for (const PreparerSetting& setting : kPreparerSettings) {
      CFleckDiskHeader header;
      header.setCompressID(setting.compressID);
      header.setCipherID(setting.cipherID);
      header.setFleckSize(kFuzzFleckSize);
      made.push_back(zel::make<CFleckDataPreparer>(header, key));
    }
    return made;
  }();
  return *preparers[index];
}

bool recordDigestHolds(const Buffer& record) {
  if (record.getUsed() < kMD5Length) return false;
  const std::size_t body = record.getUsed() - kMD5Length;
  return md5(record.getData(), body) == Buffer(record.getData() + body, kMD5Length);
}

// Whether unprepareData must refuse the record before it decrypts anything: a bad
// record digest, a wrong magic, a newer reader version, or no room for the head and
// both digests.
bool refusedBeforeDecryption(const Buffer& record) {
  constexpr std::size_t kHead = 9 + kMD5Length;
  if (!recordDigestHolds(record) || record.getUsed() < 9) return true;
  const unsigned char* bytes = record.getData();
  const auto minReadVersion = static_cast<std::int16_t>(bytes[5] | (bytes[6] << 8));
  return std::memcmp(bytes, "FLECK", 5) != 0 ||
         minReadVersion > CFleckDisk::getImplementationVersion() ||
         record.getUsed() < kHead + kMD5Length;
}

}  // namespace

void runUnprepare(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return;
  const std::size_t setting = (data[0] & 0x7F) % kPreparerSettingCount;
  const bool fixDigest = (data[0] & 0x80) != 0;
  Buffer record(data + 1, size - 1);
  if (fixDigest && record.getUsed() >= kMD5Length) {
    const std::size_t body = record.getUsed() - kMD5Length;
    const Buffer digest = md5(record.getData(), body);
    std::memcpy(record.getData() + body, digest.getData(), kMD5Length);
  }
  CFleckDataPreparer& preparer = getPreparer(setting);

  // A record that fails a check before decryption is refused and leaves the
  // destination as it was.
  static constexpr unsigned char kSentinel[] = {'k', 'e', 'e', 'p'};
  Buffer payload(kSentinel, sizeof(kSentinel));
  const bool refusedEarly = refusedBeforeDecryption(record);
  try {
    preparer.unprepareData(record, payload);
  } catch (const zel::CError&) {
    if (refusedEarly) {
      require(payload == Buffer(kSentinel, sizeof(kSentinel)),
              "unprepareData changed the destination of a record it refused before decryption");
    }
    return;
  }
  require(!refusedEarly, "unprepareData accepted a record that fails an early check");
  require(payload.getUsed() <= static_cast<std::size_t>(kFuzzFleckSize),
          "unprepareData returned more than a fleck");

  // What was accepted prepares and unprepares to itself.
  Buffer again;
  Buffer back;
  preparer.prepareData(payload, again);
  preparer.unprepareData(again, back);
  require(back == payload, "prepareData/unprepareData round trip of an accepted payload");
}

// ---------------------------------------------------------------------------------
// header

namespace {

bool sameHeader(const CFleckDiskHeader& a, const CFleckDiskHeader& b) {
  return a.getVersion() == b.getVersion() && a.getMinReaderVersion() == b.getMinReaderVersion() &&
         a.getMinWriterVersion() == b.getMinWriterVersion() &&
         a.getFleckSize() == b.getFleckSize() &&
         a.getPayloadBlockSize() == b.getPayloadBlockSize() && a.getDiskSize() == b.getDiskSize() &&
         a.getCheckSumHashID() == b.getCheckSumHashID() &&
         a.getCryptoHashID() == b.getCryptoHashID() && a.getCipherID() == b.getCipherID() &&
         a.getCipherKeyHash() == b.getCipherKeyHash() &&
         a.getCipherKeyDeriverID() == b.getCipherKeyDeriverID() &&
         a.getCipherKeyDerivationSalt() == b.getCipherKeyDerivationSalt() &&
         a.getCipherKeyDerivationIterations() == b.getCipherKeyDerivationIterations() &&
         a.getCompressID() == b.getCompressID();
}

}  // namespace

void runHeader(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return;
  const bool raw = (data[0] & 1) != 0;
  ScratchFolder& folder = scratch();
  const std::string path = folder.folder("header");
  writeAuxFile(path + "/disk.fleckdisk", data + 1, size - 1, raw);

  zel::IFileSystem* fs = folder.getFileSystem();
  CFleckDiskHeader loaded;
  try {
    loaded.load(fs, zel::CURI::fromLocalPath(path));
  } catch (const zel::CError&) {
    return;
  }
  // What was loaded stores and loads to itself. A payload that grew past what a file
  // may hold (bad UTF-8 widens to U+FFFD) is refused by the store, as documented.
  const zel::CURI copy = zel::CURI::fromLocalPath(folder.folder("header-copy"));
  try {
    loaded.store(fs, copy);
  } catch (const zel::CInvalidArgError&) {
    return;
  }
  CFleckDiskHeader reloaded;
  reloaded.load(fs, copy);
  require(sameHeader(loaded, reloaded), "header store/load round trip of a loaded header");
}

// ---------------------------------------------------------------------------------
// link

void runLink(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return;
  const bool raw = (data[0] & 1) != 0;
  ScratchFolder& folder = scratch();
  const std::string path = folder.folder("link");
  const zel::String name = CFleckDisk::getParentLinkFileName();
  writeAuxFile(path + "/" + name.toUTF8(), data + 1, size - 1, raw);

  zel::IFileSystem* fs = folder.getFileSystem();
  const zel::CURI before("/kept/on/failure");
  CFleckDiskLink loaded;
  loaded.setTargetURI(before);
  try {
    loaded.load(fs, zel::CURI::fromLocalPath(path), name);
  } catch (const zel::CError&) {
    require(loaded.getTargetURI() == before, "a failed link load changed the target");
    return;
  }
  const zel::CURI copy = zel::CURI::fromLocalPath(folder.folder("link-copy"));
  try {
    loaded.store(fs, copy, name);
  } catch (const zel::CInvalidArgError&) {
    return;
  }
  CFleckDiskLink reloaded;
  reloaded.load(fs, copy, name);
  require(reloaded.getTargetURI() == loaded.getTargetURI(),
          "link store/load round trip of a loaded link");
}

// ---------------------------------------------------------------------------------
// auxfile

namespace {

struct AuxCopy {
  bool present = false;
  Buffer file;  // the whole file as written
};

// What loadAuxFile must take from a copy: the payload of an intact one.
bool intactPayload(const AuxCopy& copy, Buffer& payload) {
  if (!copy.present) return false;
  const std::size_t length = copy.file.getUsed();
  if (length <= kMD5Length ||
      length > static_cast<std::size_t>(CFleckDiskAuxFileBase::kMaxFileLength)) {
    return false;
  }
  const std::size_t body = length - kMD5Length;
  if (!(md5(copy.file.getData(), body) == Buffer(copy.file.getData() + body, kMD5Length)))
    return false;
  payload = Buffer(copy.file.getData(), body);
  return true;
}

}  // namespace

void runAuxFile(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return;
  const std::uint8_t* rest = data + 2;
  const std::size_t restLength = size - 2;
  const std::size_t split = data[0] * restLength / 255;
  const unsigned flags = data[1];

  AuxCopy copies[2];
  const std::uint8_t* parts[2] = {rest, rest + split};
  const std::size_t lengths[2] = {split, restLength - split};
  for (int i = 0; i < 2; ++i) {
    copies[i].present = (flags & (4u << i)) == 0;
    copies[i].file = Buffer(parts[i], lengths[i]);
    if ((flags & (1u << i)) != 0) {
      const Buffer digest = md5(parts[i], lengths[i]);
      copies[i].file.append(digest.getData(), digest.getUsed());
    }
  }

  ScratchFolder& folder = scratch();
  const std::string path = folder.folder("aux");
  const std::string paths[2] = {path + "/fuzz.aux", folder.folder("aux/fallback") + "/fuzz.aux"};
  for (int i = 0; i < 2; ++i) {
    if (copies[i].present) {
      writeFile(paths[i], copies[i].file.getData(), copies[i].file.getUsed());
    } else {
      std::filesystem::remove(paths[i]);
    }
  }

  Buffer expected[2];
  const bool intact[2] = {intactPayload(copies[0], expected[0]),
                          intactPayload(copies[1], expected[1])};
  const zel::CURI folderURI = zel::CURI::fromLocalPath(path);
  zel::P<Buffer> loaded;
  try {
    loaded = CFleckDiskAuxFileBase::loadAuxFile(folder.getFileSystem(), folderURI, "fuzz.aux");
  } catch (const zel::CError& e) {
    require(!intact[0] && !intact[1], "loadAuxFile refused although a copy is intact");
    require(e.getProps().lookup("uri") ==
                CFleckDiskAuxFileBase::getAuxFileURI(folderURI, "fuzz.aux", 0).toString(true),
            "loadAuxFile's error does not name copy 0");
    if (!copies[0].present) {
      const auto* missing = dynamic_cast<const zel::CFileSystemError*>(&e);
      require(missing != nullptr && missing->getProblem() == zel::CFileSystemError::NotFound,
              "loadAuxFile without copy 0 is not NotFound");
    }
    return;
  }
  require(loaded != nullptr, "loadAuxFile returned no buffer");
  if (intact[0]) {
    require(*loaded == expected[0], "loadAuxFile did not return intact copy 0");
  } else {
    require(intact[1] && *loaded == expected[1], "loadAuxFile did not return intact copy 1");
  }
}

// ---------------------------------------------------------------------------------
// datainstream

namespace {

template <class T>
T decodeLittleEndian(const unsigned char* bytes) {
  using U = std::make_unsigned_t<T>;
  U bits = 0;
  for (std::size_t i = 0; i < sizeof(T); ++i)
    bits |= static_cast<U>(U{bytes[i]} << (8 * i));
  return static_cast<T>(bits);
}

void requireIOError(const zel::CError& e, zel::CIOError::Code code, const char* law) {
  const auto* io = dynamic_cast<const zel::CIOError*>(&e);
  require(io != nullptr && io->getIOCode() == code, law);
}

// Runs the program against the stream and a model of it (the position `pos` and the
// bytes). After a failed read the stream may have moved up to its end; the model
// takes the stream's position then.
class DataInStreamModel {
 public:
  explicit DataInStreamModel(const Buffer& bytes)
      : bytes(bytes),
        length(static_cast<std::int64_t>(bytes.getUsed())),
        stream(&bytes, zel::CBufferStream::ReadOnly()),
        in(&stream) {}

  void step(unsigned op) {
    const unsigned arg = op >> 3;
    switch (op & 7) {
      case 0:
        readInteger<std::int16_t>(&zel::CDataInStream::readInt16);
        break;
      case 1:
        readInteger<std::int32_t>(&zel::CDataInStream::readInt32);
        break;
      case 2:
        readInteger<std::int64_t>(&zel::CDataInStream::readInt64);
        break;
      case 3:
        readString();
        break;
      case 4:
        readBytes(static_cast<int>(arg));
        break;
      case 5:
        readBytes(static_cast<int>(arg) * 997);
        break;
      case 6:
        seek(static_cast<std::int64_t>(arg) * length / 31);
        break;
      default:
        seek((arg & 1) != 0 ? -1 - static_cast<std::int64_t>(arg >> 1)
                            : length + 1 + static_cast<std::int64_t>(arg >> 1));
    }
    require(stream.getPosition() == pos, "stream position differs from the model");
    require(stream.isEndOfStream() == (pos >= length), "isEndOfStream differs from the model");
  }

 private:
  bool available(std::int64_t count) const { return count <= length - pos; }

  void failedRead(const zel::CError& e, zel::CIOError::Code code, const char* law) {
    requireIOError(e, code, law);
    const std::int64_t now = stream.getPosition();
    require(now >= pos && now <= length, "a failed read moved the position outside the rest");
    pos = now;
  }

  template <class T>
  void readInteger(T (zel::CDataInStream::*read)()) {
    const bool fits = available(sizeof(T));
    try {
      const T value = (in.*read)();
      require(fits, "an integer was read past the end");
      require(value == decodeLittleEndian<T>(bytes.getData() + pos), "integer value");
      pos += static_cast<std::int64_t>(sizeof(T));
    } catch (const zel::CError& e) {
      require(!fits, "an integer that fits was refused");
      failedRead(e, zel::CIOError::EndOfStream, "a short integer is not EndOfStream");
    }
  }

  void readString() {
    std::int64_t count = -1;
    bool fits = false;
    if (available(4)) {
      count = decodeLittleEndian<std::int32_t>(bytes.getData() + pos);
      fits = count >= 0 && available(4 + count);
    }
    try {
      const zel::String value = in.readString();
      require(fits, "a string was read past the end or with a negative length");
      const std::string_view raw(reinterpret_cast<const char*>(bytes.getData() + pos + 4),
                                 static_cast<std::size_t>(count));
      require(value == zel::String::fromUTF8(raw), "string value");
      pos += 4 + count;
    } catch (const zel::CError& e) {
      require(!fits, "a string that fits was refused");
      if (available(4) && count < 0) {
        requireIOError(e, zel::CIOError::InvalidData,
                       "a negative string length is not InvalidData");
        // The length was read; nothing after it.
        require(stream.getPosition() == pos + 4, "position after a negative string length");
        pos += 4;
      } else {
        failedRead(e, zel::CIOError::EndOfStream, "a short string is not EndOfStream");
      }
    }
  }

  void readBytes(int count) {
    std::vector<unsigned char> target(static_cast<std::size_t>(count));
    const bool fits = available(count);
    try {
      in.read(target.data(), count);
      require(fits, "bytes were read past the end");
      require(count == 0 || std::memcmp(target.data(), bytes.getData() + pos, target.size()) == 0,
              "bytes read");
      pos += count;
    } catch (const zel::CError& e) {
      require(!fits, "bytes that fit were refused");
      failedRead(e, zel::CIOError::EndOfStream, "a short read is not EndOfStream");
    }
  }

  void seek(std::int64_t target) {
    const bool valid = target >= 0 && target <= length;
    try {
      stream.seek(target);
      require(valid, "a seek outside the stream was accepted");
      pos = target;
    } catch (const zel::CError& e) {
      require(!valid, "a seek inside the stream was refused");
      requireIOError(e, zel::CIOError::InvalidPosition, "a bad seek is not InvalidPosition");
    }
  }

  const Buffer& bytes;
  const std::int64_t length;
  std::int64_t pos = 0;
  zel::CBufferStream stream;
  zel::CDataInStream in;  // after the stream: its counted reference goes first
};

}  // namespace

void runDataInStream(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return;
  const std::size_t programLength = std::min<std::size_t>(data[0], size - 1);
  const std::uint8_t* program = data + 1;
  const Buffer bytes(program + programLength, size - 1 - programLength);
  DataInStreamModel model(bytes);
  for (std::size_t i = 0; i < programLength; ++i)
    model.step(program[i]);
}

// ---------------------------------------------------------------------------------
// uri

namespace {

void checkURI(const zel::CURI& u) {
  require(zel::CURI(u.toString(true)) == u, "CURI(u.toString(true)) == u");
  const zel::CURI normalized = u.toNormalized();
  require(normalized.toNormalized() == normalized, "toNormalized is idempotent");
  require(zel::CURI(normalized.toString(true)) == normalized,
          "CURI(n.toString(true)) == n for a normalized n");
  if (!u.getComponents().empty()) {
    require((u.getParent() << u.getName()) == u, "u.getParent() << u.getName() == u");
  }
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
  if (target == from) require(relative == zel::CURI("."), "toRelative of the same folder is \".\"");
  checkURI(relative);
}

}  // namespace

void runURI(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::size_t newline = text.find('\n');
  const zel::CURI u(zel::String::fromUTF8(text.substr(0, newline)));
  checkURI(u);

  static const zel::CURI kBases[] = {zel::CURI("/"),
                                     zel::CURI("/a/b/c"),
                                     zel::CURI("/a/./b/../c/"),
                                     zel::CURI("s3://bucket/a/b"),
                                     zel::CURI("S3://bucket/x/../a"),
                                     zel::CURI("file:///a")};
  for (const zel::CURI& base : kBases)
    checkRelative(u, base);
  if (newline != std::string_view::npos) {
    const zel::CURI second(zel::String::fromUTF8(text.substr(newline + 1)));
    checkURI(second);
    checkRelative(u, second);
    checkRelative(second, u);
  }
}

const std::vector<Target>& getTargets() {
  static const std::vector<Target> targets = {
      {"unprepare", &runUnprepare},
      {"header", &runHeader},
      {"link", &runLink},
      {"auxfile", &runAuxFile},
      {"datainstream", &runDataInStream},
      {"uri", &runURI},
  };
  return targets;
}

}  // namespace fleck::fuzz
