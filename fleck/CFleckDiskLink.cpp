#include "fleck/CFleckDiskLink.h"

#include <cstring>

#include "zel/CBufferStream.h"
#include "zel/CDataInStream.h"
#include "zel/CDataOutStream.h"

namespace fleck {

namespace {

constexpr char kMagic[8] = {'F', 'L', 'C', 'K', 'L', 'I', 'N', 'K'};

}  // namespace

std::string_view CFleckDiskLink::getFileID() {
  return std::string_view(kMagic, sizeof(kMagic));
}

void CFleckDiskLink::store(zel::IFileSystem* fs, const zel::CURI& folder,
                           const zel::String& name) const {
  auto stream = zel::make<zel::CBufferStream>(nullptr, 2.0);
  zel::CDataOutStream out(stream);
  out.write(kMagic, sizeof(kMagic), nullptr);
  out.writeString(targetURI.toString(true));
  storeAuxFile(fs, folder, name, *stream->getBuffer());
}

void CFleckDiskLink::write(zel::IFileSystem* fs, const zel::CURI& folder, const zel::String& name,
                           const zel::CURI& target) {
  if (target.isEmpty()) {
    removeAuxFile(fs, folder, name);
    return;
  }
  CFleckDiskLink link;
  link.setTargetURI(target);
  link.store(fs, folder, name);
}

void CFleckDiskLink::load(zel::IFileSystem* fs, const zel::CURI& folder, const zel::String& name) {
  zel::P<zel::TBuffer<unsigned char>> record = loadAuxFile(fs, folder, name);
  auto stream = zel::make<zel::CBufferStream>(record.get(), zel::CBufferStream::ReadOnly());
  zel::CDataInStream in(stream);
  char magic[sizeof(kMagic)];
  in.read(magic, sizeof(magic));
  if (std::memcmp(magic, kMagic, sizeof(kMagic)) != 0) {
    throw zel::CError("fleckdisk link file does not start with correct file ID.");
  }
  targetURI = zel::CURI(in.readString());
}

}  // namespace fleck
