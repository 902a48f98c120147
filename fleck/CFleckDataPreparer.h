#pragma once

#include <cstdint>
#include <exception>
#include <string_view>
#include <vector>

#include "compress/ISimpleCompressor.h"
#include "fleck/CFleckDiskHeader.h"
#include "keel/CCipherBatch_AES256CBC.h"
#include "keel/ICipher.h"
#include "keel/IDigest.h"
#include "zel/CBase.h"
#include "zel/P.h"
#include "zel/TBuffer.h"
#include "zel/TCryptBuffer.h"

namespace fleck {

// Turns a fleck's payload into its stored record (compressed, encrypted, framed by a
// payload digest and a record digest) and back, with every check on the way back. The
// record layout is in docs/FORMAT.md.
//
// Configured once from a disk header (the compressor, cipher and digest it names) and
// the disk's cipher key. Not for concurrent use: every call reuses one digest object
// and one work buffer. Copies share the digest, cipher and compressor, so a copy is no
// more independent than its original; threads that prepare in parallel each construct
// their own preparer.
class CFleckDataPreparer : public zel::CBase {
 public:
  // Throws zel::CError for an unknown compressor, cipher or digest identifier and
  // whatever zel::parseInt64 throws for a malformed level.
  CFleckDataPreparer(const CFleckDiskHeader& header, const zel::TCryptBuffer<unsigned char>& key);
  CFleckDataPreparer(const CFleckDataPreparer& other);
  CFleckDataPreparer& operator=(const CFleckDataPreparer& other);
  ~CFleckDataPreparer() override;

  // Replaces the destination's contents with the record of the source's used bytes.
  // Throws zel::CInvalidArgError (destination untouched) for a payload longer than the
  // fleck size; errors of the compressor or cipher pass through.
  void prepareData(const zel::TBuffer<unsigned char>& source,
                   zel::TBuffer<unsigned char>& destination);

  // The payload digests of `count` payloads into `digests` (getDigestLength() bytes
  // each), all at once where the digest is MD5 (keel::CMD5Batch).
  void digestPayloads(const zel::TBuffer<unsigned char>* const* payloads, std::size_t count,
                      unsigned char* digests);
  // The records of `count` payloads, each as prepareData makes it, with the payload
  // digests given (digestPayloads). The record digests are computed all at once, and
  // the records encrypted all at once where the cipher is AES-256-CBC
  // (keel::CCipherBatch_AES256CBC). Throws as prepareData; the records are then
  // undefined.
  void prepareBatch(const zel::TBuffer<unsigned char>* const* payloads,
                    const unsigned char* digests, zel::TBuffer<unsigned char>* const* records,
                    std::size_t count);

  // Checks the record in the source's used bytes and replaces the destination's
  // contents with the payload. The record digest is checked before anything else is
  // looked at; a failed check before decryption leaves the destination untouched.
  void unprepareData(const zel::TBuffer<unsigned char>& source,
                     zel::TBuffer<unsigned char>& destination);

  // Checks and decodes `count` records as unprepareData does each, with the record
  // digests and the payload digests computed all at once (see digestPayloads).
  // errors[i] is null when record i decoded into destinations[i], else what
  // unprepareData would have thrown for it.
  void unprepareBatch(const zel::TBuffer<unsigned char>* const* sources,
                      zel::TBuffer<unsigned char>* const* destinations, std::size_t count,
                      std::exception_ptr* errors);

  // Replaces the destination's contents with the record in the source's used bytes,
  // encrypted with `target`'s key instead of this one's: the record is checked as
  // unprepareData checks it up to the decryption, the compressed payload is decrypted
  // and encrypted again, the payload digest is kept and the record digest computed
  // anew. Nothing is decompressed, so both must use the same compressor and digest
  // (CInvalidArgError otherwise). `target` may be this preparer.
  void reencryptData(const zel::TBuffer<unsigned char>& source, CFleckDataPreparer& target,
                     zel::TBuffer<unsigned char>& destination);

  // Bytes of the record's head: magic, two versions and the payload digest.
  int getHeaderSize() const noexcept { return getDigestOffset() + digestLength; }
  // The bytes every record starts with.
  static std::string_view getRecordID();
  // Where the payload digest starts in a record: after the magic and two versions. It
  // is stored unencrypted, so that a writer can tell an unchanged fleck without the key.
  static int getDigestOffset() noexcept;
  // The largest record a fleck of `fleckSize` bytes can have: a payload that did not
  // compress, with the cipher's growth. Buffers for records take this size.
  static std::int64_t getMaxRecordSize(std::int64_t fleckSize) noexcept;
  int getDigestLength() const noexcept { return digestLength; }

 private:
  [[noreturn]] void throwUnprepareError(const char* message,
                                        zel::CProps extra = zel::CProps()) const;
  // Checks a record's digest, magic, version and size; returns the cipher text's length.
  std::int64_t checkRecord(const zel::TBuffer<unsigned char>& source);
  // The digests of `count` byte ranges, all at once for MD5.
  void digestMany(const keel::BatchBuffer* buffers, std::size_t count, unsigned char* digests);
  // The checks after the record digest: magic, version and size.
  std::int64_t checkRecordFields(const zel::TBuffer<unsigned char>& source);
  // Decrypts (through `work`) and decompresses a checked record into `destination`.
  void decode(const zel::TBuffer<unsigned char>& source, std::int64_t cipherLength,
              zel::TBuffer<unsigned char>& work, zel::TBuffer<unsigned char>& destination);
  // Throws unless the payload digest in the record's head is `payloadDigest`.
  void checkPayloadDigest(const zel::TBuffer<unsigned char>& source,
                          const unsigned char* payloadDigest) const;

  zel::String compressID;

  std::int64_t fleckSize;
  zel::P<keel::ICipher> cipher;
  zel::TCryptBuffer<unsigned char> cipherKey;
  zel::P<keel::IDigest> digest;
  int digestLength;
  zel::P<zel::ISimpleCompressor> compressor;
  zel::TBuffer<unsigned char> workBuffer;  // compressed bytes between compression and cipher
  // For batches: one work buffer per record, and the batch cipher (made on first use).
  std::vector<zel::TBuffer<unsigned char>> batchBuffers;
  zel::P<keel::CCipherBatch_AES256CBC> batchCipher;
  bool md5 = false;  // the digest is MD5: batches go through keel::CMD5Batch
  bool aes = false;  // the cipher is AES-256-CBC: batches go through batchCipher
};

}  // namespace fleck
