#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace fleck::fuzz {

// The entry functions of the fuzz targets. Each fuzzer binary (fuzz/<name>.cpp) calls
// one of them from LLVMFuzzerTestOneInput, and the regression test replays saved inputs
// through the same function, so a fixed crash stays fixed in the normal test run.
//
// An entry returns normally when the library accepted the input or refused it with the
// errors it documents (zel::CError and derived). A broken law (a round trip that does
// not give back what went in, a contract that does not hold) ends the process with
// __builtin_trap(); any other exception leaves the entry. Entries keep per-process
// state (preparers, a scratch folder under $TMPDIR that is removed at exit) and are
// meant for one thread.

// The record decoder, CFleckDataPreparer::unprepareData. Byte 0 chooses the compressor
// and cipher (low 7 bits, modulo the number of settings) and whether the record digest
// is recomputed first (high bit), so that the later checks are reached; the rest is
// the record.
void runUnprepare(const std::uint8_t* data, std::size_t size);

// CFleckDiskHeader::load. Bit 0 of byte 0: clear, the rest is the payload of an intact
// header file (MD5 trailer added); set, the rest is the whole file.
void runHeader(const std::uint8_t* data, std::size_t size);

// CFleckDiskLink::load, with the same choice as runHeader.
void runLink(const std::uint8_t* data, std::size_t size);

// CFleckDiskAuxFileBase::loadAuxFile over two copies. Byte 0 says where the rest is
// split into copy 0 and copy 1; byte 1 says which copies get a correct MD5 trailer
// appended and which are left out.
void runAuxFile(const std::uint8_t* data, std::size_t size);

// zel::CDataInStream over a zel::CBufferStream: byte 0 is the length of a program of
// one-byte operations that follows; the rest is the stream. Results are checked
// against a model of the little-endian record format.
void runDataInStream(const std::uint8_t* data, std::size_t size);

// zel::CURI parsing and its laws. The bytes are UTF-8 text; a line break splits off a
// second location that is used as one more base for toRelative.
void runURI(const std::uint8_t* data, std::size_t size);

struct Target {
  std::string_view name;  // also the folder name under fuzz/corpus and fuzz/regressions
  void (*run)(const std::uint8_t* data, std::size_t size);
};

// Every target, in a fixed order.
const std::vector<Target>& getTargets();

}  // namespace fleck::fuzz
