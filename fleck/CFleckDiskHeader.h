#pragma once

#include <cstdint>

#include "fleck/CFleckDiskAuxFileBase.h"
#include "zel/CDataInStream.h"
#include "zel/CURI.h"
#include "zel/IFileSystem.h"
#include "zel/String.h"
#include "zel/TBuffer.h"

namespace fleck {

// The record that describes a disk: format versions, sizes, the fleck tree's geometry
// and the identifiers of its algorithms with the key-derivation parameters and the key
// hash. Kept as "disk.fleckdisk" (two copies, MD5-checked) in the disk folder; the
// byte layout is in docs/FORMAT.md.
//
// The tree geometry (objectsPerTreeLevel, treeLevels) is not stored: a loaded header
// always has the defaults. Setters do not validate; load checks only the magic and the
// reader version. A value type; not for concurrent use.
class CFleckDiskHeader : public CFleckDiskAuxFileBase {
 public:
  CFleckDiskHeader() = default;
  CFleckDiskHeader(const CFleckDiskHeader&) = default;
  CFleckDiskHeader(CFleckDiskHeader&&) noexcept = default;
  CFleckDiskHeader& operator=(const CFleckDiskHeader&) = default;
  CFleckDiskHeader& operator=(CFleckDiskHeader&&) noexcept = default;
  ~CFleckDiskHeader() override = default;

  // The primary (0) or fallback (other) copy of the header file in `folder`.
  static zel::CURI getHeaderURI(const zel::CURI& folder, int copyIndex);
  // The bytes every header payload starts with.
  static std::string_view getFileID();

  // Writes both copies of the header file into the disk folder.
  void store(zel::IFileSystem* fs, const zel::CURI& folder) const;

  // Reads the first intact copy. Throws zel::CError for a wrong magic, zel::CIOError
  // InvalidData for a field that runs past the record (property "diskFolder"), and
  // CFleckDiskError NewerVersionRequired when the disk needs a newer reader (nothing
  // after the reader version is read then). Fields are assigned in record order, so
  // after a failure part-way the earlier fields hold the new values.
  void load(zel::IFileSystem* fs, const zel::CURI& folder);

  int getVersion() const noexcept { return version; }
  void setVersion(int value) noexcept { version = value; }
  int getMinReaderVersion() const noexcept { return minReaderVersion; }
  void setMinReaderVersion(int value) noexcept { minReaderVersion = value; }
  int getMinWriterVersion() const noexcept { return minWriterVersion; }
  void setMinWriterVersion(int value) noexcept { minWriterVersion = value; }
  int getFleckSize() const noexcept { return fleckSize; }
  void setFleckSize(int value) noexcept { fleckSize = value; }
  int getPayloadBlockSize() const noexcept { return payloadBlockSize; }
  void setPayloadBlockSize(int value) noexcept { payloadBlockSize = value; }
  std::int64_t getDiskSize() const noexcept { return diskSize; }
  void setDiskSize(std::int64_t value) noexcept { diskSize = value; }
  zel::String getCheckSumHashID() const { return checkSumHashID; }
  void setCheckSumHashID(const zel::String& value) { checkSumHashID = value; }
  zel::String getCryptoHashID() const { return cryptoHashID; }
  void setCryptoHashID(const zel::String& value) { cryptoHashID = value; }
  zel::String getCipherID() const { return cipherID; }
  void setCipherID(const zel::String& value) { cipherID = value; }
  const zel::TBuffer<unsigned char>& getCipherKeyHash() const noexcept { return cipherKeyHash; }
  void setCipherKeyHash(const zel::TBuffer<unsigned char>& value) { cipherKeyHash = value; }
  zel::String getCipherKeyDeriverID() const { return cipherKeyDeriverID; }
  void setCipherKeyDeriverID(const zel::String& value) { cipherKeyDeriverID = value; }
  const zel::TBuffer<unsigned char>& getCipherKeyDerivationSalt() const noexcept {
    return cipherKeyDerivationSalt;
  }
  void setCipherKeyDerivationSalt(const zel::TBuffer<unsigned char>& value) {
    cipherKeyDerivationSalt = value;
  }
  int getCipherKeyDerivationIterations() const noexcept { return cipherKeyDerivationIterations; }
  void setCipherKeyDerivationIterations(int value) noexcept {
    cipherKeyDerivationIterations = value;
  }
  zel::String getCompressID() const { return compressID; }
  void setCompressID(const zel::String& value) { compressID = value; }
  int getObjectsPerTreeLevel() const noexcept { return objectsPerTreeLevel; }
  void setObjectsPerTreeLevel(int value) noexcept { objectsPerTreeLevel = value; }
  int getTreeLevels() const noexcept { return treeLevels; }
  void setTreeLevels(int value) noexcept { treeLevels = value; }

 protected:
  static zel::String getHeaderFilename() { return "disk.fleckdisk"; }

 private:
  // Reads the record's fields, in order.
  void parse(zel::CDataInStream& in, const zel::CURI& folder);

  int version = 1;
  int minReaderVersion = 1;
  int minWriterVersion = 1;
  int fleckSize = 0x80000;
  int payloadBlockSize = 1;
  std::int64_t diskSize = -1;
  zel::String checkSumHashID = "md5";
  zel::String cryptoHashID = "sha256";
  zel::String cipherID = "aes256cbc";
  zel::TBuffer<unsigned char> cipherKeyHash;
  zel::String cipherKeyDeriverID = "PKCS5-PBKDF2-HMAC-SHA1";
  zel::TBuffer<unsigned char> cipherKeyDerivationSalt;
  int cipherKeyDerivationIterations = 10000;
  zel::String compressID = "lz4";
  int objectsPerTreeLevel = 97;
  int treeLevels = 5;
};

}  // namespace fleck
