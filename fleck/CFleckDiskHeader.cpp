#include "fleck/CFleckDiskHeader.h"

#include <cstring>

#include "fleck/CFleckDisk.h"
#include "fleck/CFleckDiskError.h"
#include "zel/CBufferStream.h"
#include "zel/CDataInStream.h"
#include "zel/CDataOutStream.h"
#include "zel/CIOError.h"

namespace fleck {

namespace {

constexpr char kMagic[8] = {'F', 'L', 'C', 'K', 'D', 'I', 'S', 'K'};

void writeBytes(zel::CDataOutStream& out, const zel::TBuffer<unsigned char>& bytes) {
  out.writeInt32(static_cast<std::int32_t>(bytes.getUsed()));
  out.write(bytes.getData(), static_cast<int>(bytes.getUsed()), nullptr);
}

void readBytes(zel::CDataInStream& in, zel::TBuffer<unsigned char>& bytes) {
  const std::int32_t length = in.readInt32();
  if (length < 0) {
    throw zel::CError("fleckdisk header file holds a negative byte count.", zel::String(), -1,
                      zel::CProps().add("length", length));
  }
  // Read into a scratch buffer first: the data stream fails on a short record before a
  // damaged length can cost more memory than the record holds.
  zel::TBuffer<unsigned char> scratch;
  constexpr std::int32_t kPiece = 64 * 1024;
  for (std::int32_t done = 0; done < length;) {
    const std::int32_t piece = std::min(length - done, kPiece);
    in.read(scratch.getFreePtr(static_cast<std::size_t>(piece)), piece);
    scratch.addUsed(static_cast<std::size_t>(piece));
    done += piece;
  }
  bytes = std::move(scratch);
}

}  // namespace

std::string_view CFleckDiskHeader::getFileID() {
  return std::string_view(kMagic, sizeof(kMagic));
}

zel::CURI CFleckDiskHeader::getHeaderURI(const zel::CURI& folder, int copyIndex) {
  return getAuxFileURI(folder, getHeaderFilename(), copyIndex);
}

void CFleckDiskHeader::store(zel::IFileSystem* fs, const zel::CURI& folder) const {
  auto stream = zel::make<zel::CBufferStream>(nullptr, 2.0);
  zel::CDataOutStream out(stream);
  out.write(kMagic, sizeof(kMagic), nullptr);
  out.writeInt64(version);
  out.writeInt64(minReaderVersion);
  out.writeInt64(minWriterVersion);
  out.writeInt32(fleckSize);
  out.writeInt32(payloadBlockSize);
  out.writeInt64(diskSize);
  out.writeString(checkSumHashID);
  out.writeString(cryptoHashID);
  out.writeString(cipherID);
  writeBytes(out, cipherKeyHash);
  out.writeString(compressID);
  out.writeString(cipherKeyDeriverID);
  writeBytes(out, cipherKeyDerivationSalt);
  out.writeInt64(cipherKeyDerivationIterations);
  storeAuxFile(fs, folder, getHeaderFilename(), *stream->getBuffer());
}

void CFleckDiskHeader::load(zel::IFileSystem* fs, const zel::CURI& folder) {
  zel::P<zel::TBuffer<unsigned char>> record = loadAuxFile(fs, folder, getHeaderFilename());
  auto stream = zel::make<zel::CBufferStream>(record.get(), zel::CBufferStream::ReadOnly());
  zel::CDataInStream in(stream);
  try {
    parse(in, folder);
  } catch (const zel::CIOError& e) {
    // The digest matched, yet a field runs past the record (a length out of range): the
    // record was damaged before its digest was made. Say so, and which file it is.
    throw zel::CIOError(zel::CIOError::InvalidData,
                        "fleckdisk header record is damaged: a field runs past its end.",
                        zel::CProps().add("diskFolder", folder.toString(true)), &e);
  }
}

void CFleckDiskHeader::parse(zel::CDataInStream& in, const zel::CURI& folder) {
  char magic[sizeof(kMagic)];
  in.read(magic, sizeof(magic));
  if (std::memcmp(magic, kMagic, sizeof(kMagic)) != 0) {
    throw zel::CError("fleckdisk header file does not start with correct file ID.");
  }
  // The versions are 64-bit on disk and int in memory: the low 32 bits are kept.
  version = static_cast<int>(in.readInt64());
  minReaderVersion = static_cast<int>(in.readInt64());
  if (minReaderVersion > CFleckDisk::getImplementationVersion()) {
    throw CFleckDiskError(CFleckDiskError::NewerVersionRequired, folder);
  }
  minWriterVersion = static_cast<int>(in.readInt64());
  fleckSize = in.readInt32();
  payloadBlockSize = in.readInt32();
  diskSize = in.readInt64();
  checkSumHashID = in.readString();
  cryptoHashID = in.readString();
  cipherID = in.readString();
  readBytes(in, cipherKeyHash);
  compressID = in.readString();
  cipherKeyDeriverID = in.readString();
  readBytes(in, cipherKeyDerivationSalt);
  cipherKeyDerivationIterations = static_cast<int>(in.readInt64());
}

}  // namespace fleck
