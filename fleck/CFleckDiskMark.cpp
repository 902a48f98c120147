#include "fleck/CFleckDiskMark.h"

#include <cstring>

#include "zel/CBufferStream.h"
#include "zel/CDataInStream.h"
#include "zel/CDataOutStream.h"

namespace fleck {

namespace {

constexpr char kMagic[8] = {'F', 'L', 'C', 'K', 'M', 'A', 'R', 'K'};

}  // namespace

std::string_view CFleckDiskMark::getFileID() {
  return std::string_view(kMagic, sizeof(kMagic));
}

bool CFleckDiskMark::isPresent(zel::IFileSystem* fs, const zel::CURI& folder) {
  return fs->fileExists(getAuxFileURI(folder, getFileName(), 0)) ||
         fs->fileExists(getAuxFileURI(folder, getFileName(), 1));
}

void CFleckDiskMark::store(zel::IFileSystem* fs, const zel::CURI& folder) const {
  auto stream = zel::make<zel::CBufferStream>(nullptr, 2.0);
  zel::CDataOutStream out(stream);
  out.write(kMagic, sizeof(kMagic), nullptr);
  out.writeString(operation);
  out.writeString(detail);
  storeAuxFile(fs, folder, getFileName(), *stream->getBuffer());
}

void CFleckDiskMark::load(zel::IFileSystem* fs, const zel::CURI& folder) {
  zel::P<zel::TBuffer<unsigned char>> record = loadAuxFile(fs, folder, getFileName());
  auto stream = zel::make<zel::CBufferStream>(record.get(), zel::CBufferStream::ReadOnly());
  zel::CDataInStream in(stream);
  char magic[sizeof(kMagic)];
  in.read(magic, sizeof(magic));
  if (std::memcmp(magic, kMagic, sizeof(kMagic)) != 0)
    throw zel::CError("fleckdisk mark file does not start with correct file ID.");
  zel::String readOperation = in.readString();
  detail = in.readString();
  operation = std::move(readOperation);
}

void CFleckDiskMark::clear(zel::IFileSystem* fs, const zel::CURI& folder) {
  removeAuxFile(fs, folder, getFileName());
}

}  // namespace fleck
