#include "fleck/CFleckDataPreparer.h"

#include <cstring>

#include "compress/CLZ4Compressor.h"
#include "compress/CLZMACompressor.h"
#include "compress/CNullCompressor.h"
#include "compress/CZLibCompressor.h"
#include "fleck/CFleckDisk.h"
#include "keel/CCipherManager.h"
#include "keel/CDigestManager.h"
#include "keel/CMD5Batch.h"
#include "keel/IDigestType.h"
#include "zel/CBufferStream.h"
#include "zel/CDataInStream.h"
#include "zel/CDataOutStream.h"
#include "zel/CInvalidArgError.h"

namespace fleck {

namespace {

constexpr char kMagic[5] = {'F', 'L', 'E', 'C', 'K'};
constexpr const char* kUnprepareAction = "CFleckDataPreparer::unprepareData";

int narrow(const zel::String& text) {
  return static_cast<int>(zel::parseInt64(text, false));
}

// The compressor a compressID names; the first matching rule decides.
zel::P<zel::ISimpleCompressor> makeCompressor(const zel::String& id) {
  if (id == L"null") return zel::make<zel::CNullCompressor>();
  if (id.startsWith(L"zlib-")) return zel::make<zel::CZLibCompressor>(narrow(id.substr(5)));
  if (id == L"lz4") return zel::make<zel::CLZ4Compressor>(false);
  if (id == L"lz4hc") return zel::make<zel::CLZ4Compressor>(true);
  if (id.startsWith(L"lzma-")) {
    const std::size_t dash = id.find(L'-', 5);
    if (dash == zel::String::npos) return zel::make<zel::CLZMACompressor>(narrow(id.substr(5)), 0);
    return zel::make<zel::CLZMACompressor>(narrow(id.substr(5, dash - 5)),
                                           narrow(id.substr(dash + 1)));
  }
  throw zel::CError(zel::String("Unknown compressor ID: ") + id);
}

}  // namespace

std::string_view CFleckDataPreparer::getRecordID() {
  return std::string_view(kMagic, sizeof(kMagic));
}

int CFleckDataPreparer::getDigestOffset() noexcept {
  // The magic and the reader's and writer's versions (two bytes each).
  return static_cast<int>(sizeof(kMagic)) + 2 + 2;
}

std::int64_t CFleckDataPreparer::getMaxRecordSize(std::int64_t fleckSize) noexcept {
  return static_cast<std::int64_t>(static_cast<double>(fleckSize) * 1.1 + 1024.0);
}

CFleckDataPreparer::CFleckDataPreparer(const CFleckDiskHeader& header,
                                       const zel::TCryptBuffer<unsigned char>& key)
    : compressID(header.getCompressID()), fleckSize(header.getFleckSize()), cipherKey(key) {
  // Every identifier resolves here, "null" too, so that a disk with an unknown
  // algorithm fails when it is opened, not when its first fleck is read.
  cipher = zel::make<keel::CCipherManager>()->getCipher(header.getCipherID());
  zel::P<keel::IDigestType> type =
      zel::make<keel::CDigestManager>()->getType(header.getCheckSumHashID());
  type->createDigest(digest);
  digestLength = digest->getLength();
  compressor = makeCompressor(header.getCompressID());
  md5 = header.getCheckSumHashID() == L"md5";
  aes = header.getCipherID() == L"aes256cbc";
}

CFleckDataPreparer::CFleckDataPreparer(const CFleckDataPreparer& other)
    : zel::CBase(other),
      compressID(other.compressID),
      fleckSize(other.fleckSize),
      cipher(other.cipher),
      cipherKey(other.cipherKey),
      digest(other.digest),
      digestLength(other.digestLength),
      compressor(other.compressor),
      workBuffer(other.workBuffer),
      md5(other.md5),
      aes(other.aes) {}

CFleckDataPreparer& CFleckDataPreparer::operator=(const CFleckDataPreparer& other) {
  if (this != &other) {
    compressID = other.compressID;
    fleckSize = other.fleckSize;
    cipher = other.cipher;
    cipherKey = other.cipherKey;
    digest = other.digest;
    digestLength = other.digestLength;
    compressor = other.compressor;
    workBuffer = other.workBuffer;
    // The batch cipher is one caller's: a copy makes its own.
    batchCipher = nullptr;
    md5 = other.md5;
    aes = other.aes;
  }
  return *this;
}

CFleckDataPreparer::~CFleckDataPreparer() = default;

void CFleckDataPreparer::prepareData(const zel::TBuffer<unsigned char>& source,
                                     zel::TBuffer<unsigned char>& destination) {
  const std::size_t n = source.getUsed();
  if (static_cast<std::int64_t>(n) > fleckSize) {
    throw zel::CInvalidArgError("CFleckDataPreparer::prepareData",
                                zel::String("source buffer is bigger than fleck size (") +
                                    zel::String::fromInt64(static_cast<std::int64_t>(n)) +
                                    zel::String(")."));
  }
  const auto d = static_cast<std::size_t>(digestLength);
  const std::size_t maxCompressed = compressor->getMaxCompressedLength(n);
  // Reserve once from the worst case, so that the record is built without reallocating.
  destination.reserve(maxCompressed + 2 * d + 9 +
                      static_cast<std::size_t>(cipher->getExpansionLength1()) +
                      static_cast<std::size_t>(cipher->getExpansionLength2()));
  destination.setUsed(0);

  digest->reset();
  digest->update(source.getData(), n);
  digest->finish();

  {
    // Stack objects: writing the head allocates nothing.
    zel::CBufferStream stream(zel::P<zel::TBuffer<unsigned char>>(&destination), 2.0);
    zel::CDataOutStream out(&stream);
    out.write(kMagic, sizeof(kMagic), nullptr);
    out.writeInt16(
        static_cast<std::int16_t>(CFleckDisk::getImplementationVersion()));  // minReadVersion
    out.writeInt16(
        static_cast<std::int16_t>(CFleckDisk::getImplementationVersion()));  // writeVersion
    out.write(digest->getResult(), digestLength, nullptr);
  }

  workBuffer.setUsed(maxCompressed);
  const std::size_t compressed =
      compressor->compress(source.getData(), n, workBuffer.getData(), maxCompressed);
  cipher->encrypt(cipherKey, workBuffer.getData(), compressed, destination, 1, 0);

  digest->reset();
  digest->update(destination.getData(), destination.getUsed());
  digest->finish();
  std::memcpy(destination.getFreePtr(d), digest->getResult(), d);
  destination.addUsed(d);
}

void CFleckDataPreparer::digestPayloads(const zel::TBuffer<unsigned char>* const* payloads,
                                        std::size_t count, unsigned char* digests) {
  std::vector<keel::BatchBuffer> buffers(count);
  for (std::size_t i = 0; i < count; ++i)
    buffers[i] = keel::BatchBuffer{payloads[i]->getData(), payloads[i]->getUsed()};
  digestMany(buffers.data(), count, digests);
}

void CFleckDataPreparer::digestMany(const keel::BatchBuffer* buffers, std::size_t count,
                                    unsigned char* digests) {
  if (md5) {
    keel::CMD5Batch::digest(buffers, count, digests);
    return;
  }
  const auto d = static_cast<std::size_t>(digestLength);
  for (std::size_t i = 0; i < count; ++i) {
    digest->reset();
    digest->update(buffers[i].data, buffers[i].length);
    digest->finish();
    std::memcpy(digests + i * d, digest->getResult(), d);
  }
}

void CFleckDataPreparer::prepareBatch(const zel::TBuffer<unsigned char>* const* payloads,
                                      const unsigned char* digests,
                                      zel::TBuffer<unsigned char>* const* records,
                                      std::size_t count) {
  const auto d = static_cast<std::size_t>(digestLength);
  const auto head = static_cast<std::size_t>(getDigestOffset());
  if (batchBuffers.size() < count) batchBuffers.resize(count);
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t n = payloads[i]->getUsed();
    if (static_cast<std::int64_t>(n) > fleckSize) {
      throw zel::CInvalidArgError("CFleckDataPreparer::prepareBatch",
                                  "a payload is bigger than the fleck size");
    }
    const std::size_t maxCompressed = compressor->getMaxCompressedLength(n);
    zel::TBuffer<unsigned char>& record = *records[i];
    record.reserve(maxCompressed + 2 * d + head +
                   static_cast<std::size_t>(cipher->getExpansionLength1()) +
                   static_cast<std::size_t>(cipher->getExpansionLength2()));
    // The head: magic, the reader's and the writer's version, the payload digest.
    unsigned char* out = record.getData();
    std::memcpy(out, kMagic, sizeof(kMagic));
    const auto version = static_cast<std::uint16_t>(CFleckDisk::getImplementationVersion());
    for (std::size_t v = 0; v < 2; ++v) {
      out[sizeof(kMagic) + 2 * v] = static_cast<unsigned char>(version & 0xff);
      out[sizeof(kMagic) + 2 * v + 1] = static_cast<unsigned char>(version >> 8);
    }
    std::memcpy(out + head, digests + i * d, d);
    record.setUsed(head + d);
    zel::TBuffer<unsigned char>& compressed = batchBuffers[i];
    compressed.setUsed(maxCompressed);
    compressed.setUsed(
        compressor->compress(payloads[i]->getData(), n, compressed.getData(), maxCompressed));
  }
  if (aes) {
    if (batchCipher == nullptr) batchCipher = zel::make<keel::CCipherBatch_AES256CBC>();
    std::vector<keel::BatchBuffer> inputs(count);
    for (std::size_t i = 0; i < count; ++i)
      inputs[i] = keel::BatchBuffer{batchBuffers[i].getData(), batchBuffers[i].getUsed()};
    // Behind each record's head and payload digest.
    batchCipher->encrypt(cipherKey, inputs.data(), count, records, keel::ICipher::kAppend);
  } else {
    for (std::size_t i = 0; i < count; ++i) {
      cipher->encrypt(cipherKey, batchBuffers[i].getData(), batchBuffers[i].getUsed(), *records[i],
                      keel::ICipher::kAppend, 0);
    }
  }
  // The record digests, over everything before them.
  std::vector<unsigned char> recordDigests(count * d);
  digestPayloads(records, count, recordDigests.data());
  for (std::size_t i = 0; i < count; ++i) {
    std::memcpy(records[i]->getFreePtr(d), recordDigests.data() + i * d, d);
    records[i]->addUsed(d);
  }
}

void CFleckDataPreparer::throwUnprepareError(const char* message, zel::CProps extra) const {
  zel::CProps props;
  props.add("action", kUnprepareAction);
  props.addAll(extra);
  throw zel::CError(message, zel::String(), -1, props);
}

std::int64_t CFleckDataPreparer::checkRecord(const zel::TBuffer<unsigned char>& source) {
  const std::size_t u = source.getUsed();
  const auto d = static_cast<std::size_t>(digestLength);
  if (u < d) throwUnprepareError("Fleck file is corrupted.");

  // Verify, then decode: nothing of a damaged record is looked at.
  digest->reset();
  digest->update(source.getData(), u - d);
  digest->finish();
  if (std::memcmp(digest->getResult(), source.getData() + (u - d), d) != 0) {
    throwUnprepareError("Fleck file is corrupted.");
  }
  return checkRecordFields(source);
}

std::int64_t CFleckDataPreparer::checkRecordFields(const zel::TBuffer<unsigned char>& source) {
  const std::size_t u = source.getUsed();
  std::int16_t minReadVersion;
  std::int16_t writeVersion;
  {
    zel::CBufferStream stream(&source, zel::CBufferStream::ReadOnly());
    zel::CDataInStream in(&stream);
    char magic[sizeof(kMagic)];
    in.read(magic, sizeof(magic));
    if (std::memcmp(magic, kMagic, sizeof(kMagic)) != 0) {
      throwUnprepareError("Invalid ID in fleck data.");
    }
    minReadVersion = in.readInt16();
    writeVersion = in.readInt16();
  }
  if (minReadVersion > CFleckDisk::getImplementationVersion()) {
    throwUnprepareError(
        "Newer software version required to read fleck data.",
        zel::CProps().add("minReadVersion", minReadVersion).add("writeVersion", writeVersion));
  }
  const std::int64_t headerSize = getHeaderSize();
  const std::int64_t cipherLength = static_cast<std::int64_t>(u) - digestLength - headerSize;
  if (cipherLength < 0) {
    throwUnprepareError(
        "Invalid size of prepared fleck data.",
        zel::CProps().add("fullSize", static_cast<std::int64_t>(u)).add("headerSize", headerSize));
  }
  return cipherLength;
}

void CFleckDataPreparer::unprepareData(const zel::TBuffer<unsigned char>& source,
                                       zel::TBuffer<unsigned char>& destination) {
  decode(source, checkRecord(source), workBuffer, destination);
  digest->reset();
  digest->update(destination.getData(), destination.getUsed());
  digest->finish();
  checkPayloadDigest(source, digest->getResult());
}

void CFleckDataPreparer::decode(const zel::TBuffer<unsigned char>& source,
                                std::int64_t cipherLength, zel::TBuffer<unsigned char>& work,
                                zel::TBuffer<unsigned char>& destination) {
  cipher->decrypt(cipherKey, source.getData() + getHeaderSize(),
                  static_cast<std::size_t>(cipherLength), work, 0, 0);
  destination.setUsed(static_cast<std::size_t>(fleckSize));
  const std::size_t length = compressor->decompress(
      work.getData(), work.getUsed(), destination.getData(), static_cast<std::size_t>(fleckSize));
  destination.setUsed(length);
}

void CFleckDataPreparer::checkPayloadDigest(const zel::TBuffer<unsigned char>& source,
                                            const unsigned char* payloadDigest) const {
  if (std::memcmp(payloadDigest, source.getData() + getDigestOffset(),
                  static_cast<std::size_t>(digestLength)) != 0) {
    throwUnprepareError("Decrypted and decompressed fleck data does not match hash.");
  }
}

void CFleckDataPreparer::unprepareBatch(const zel::TBuffer<unsigned char>* const* sources,
                                        zel::TBuffer<unsigned char>* const* destinations,
                                        std::size_t count, std::exception_ptr* errors) {
  const auto d = static_cast<std::size_t>(digestLength);
  if (batchBuffers.size() < count) batchBuffers.resize(count);
  // The record digests of all, then the checks and the decoding of each, then the
  // payload digests of those that decoded.
  std::vector<keel::BatchBuffer> bodies(count);
  for (std::size_t i = 0; i < count; ++i) {
    errors[i] = nullptr;
    const std::size_t u = sources[i]->getUsed();
    // Everything but the record digest.
    bodies[i] = keel::BatchBuffer{sources[i]->getData(), u < d ? 0 : u - d};
  }
  std::vector<unsigned char> recordDigests(count * d);
  digestMany(bodies.data(), count, recordDigests.data());
  std::vector<std::size_t> decoded;
  for (std::size_t i = 0; i < count; ++i) {
    try {
      const std::size_t u = sources[i]->getUsed();
      if (u < d ||
          std::memcmp(recordDigests.data() + i * d, sources[i]->getData() + (u - d), d) != 0) {
        throwUnprepareError("Fleck file is corrupted.");
      }
      decode(*sources[i], checkRecordFields(*sources[i]), batchBuffers[i], *destinations[i]);
      decoded.push_back(i);
    } catch (...) {
      errors[i] = std::current_exception();
    }
  }
  std::vector<const zel::TBuffer<unsigned char>*> payloads;
  for (const std::size_t i : decoded)
    payloads.push_back(destinations[i]);
  std::vector<unsigned char> payloadDigests(payloads.size() * d);
  digestPayloads(payloads.data(), payloads.size(), payloadDigests.data());
  for (std::size_t k = 0; k < decoded.size(); ++k) {
    try {
      checkPayloadDigest(*sources[decoded[k]], payloadDigests.data() + k * d);
    } catch (...) {
      errors[decoded[k]] = std::current_exception();
    }
  }
}

void CFleckDataPreparer::reencryptData(const zel::TBuffer<unsigned char>& source,
                                       CFleckDataPreparer& target,
                                       zel::TBuffer<unsigned char>& destination) {
  if (target.compressID != compressID || target.digestLength != digestLength ||
      target.fleckSize != fleckSize) {
    throw zel::CInvalidArgError("CFleckDataPreparer::reencryptData",
                                "the target preparer differs in compressor, digest or fleck size");
  }
  const std::int64_t cipherLength = checkRecord(source);
  const auto headerSize = static_cast<std::size_t>(getHeaderSize());
  cipher->decrypt(cipherKey, source.getData() + headerSize, static_cast<std::size_t>(cipherLength),
                  workBuffer, 0, 0);
  const auto d = static_cast<std::size_t>(digestLength);
  destination.reserve(headerSize + workBuffer.getUsed() + 2 * d +
                      static_cast<std::size_t>(target.cipher->getExpansionLength1()) +
                      static_cast<std::size_t>(target.cipher->getExpansionLength2()));
  destination.setUsed(0);
  // The head (magic, versions, payload digest) stays as it was.
  std::memcpy(destination.getFreePtr(headerSize), source.getData(), headerSize);
  destination.addUsed(headerSize);
  target.cipher->encrypt(target.cipherKey, workBuffer.getData(), workBuffer.getUsed(), destination,
                         1, 0);
  zel::secureWipe(workBuffer.getData(), workBuffer.getUsed());
  target.digest->reset();
  target.digest->update(destination.getData(), destination.getUsed());
  target.digest->finish();
  std::memcpy(destination.getFreePtr(d), target.digest->getResult(), d);
  destination.addUsed(d);
}

}  // namespace fleck
