#include "LocalTestEnvironment.h"

#include "zel/CFileSystemWrapper.h"

namespace fleck_test {

zel::P<zel::IFileSystem> LocalTestEnvironment::makeFileSystem(int completionThreads) {
  zel::CLocalFileSystem::Options chosen = options;
  chosen.completionThreads = completionThreads;
  zel::P<zel::IFileSystem> local = zel::make<zel::CLocalFileSystem>(chosen);
  if (!wrapped) return local;
  return zel::make<zel::CFileSystemWrapper>(local);
}

FileSystemKind LocalTestEnvironment::kind(std::string name,
                                          const zel::CLocalFileSystem::Options& options,
                                          bool wrapped) {
  return FileSystemKind{std::move(name), [options, wrapped] {
                          return std::make_unique<LocalTestEnvironment>(options, wrapped);
                        }};
}

}  // namespace fleck_test
