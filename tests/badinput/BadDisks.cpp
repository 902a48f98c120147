#include "badinput/BadDisks.h"

#include <openssl/evp.h>
#include <sys/stat.h>

#include <filesystem>
#include <random>
#include <stdexcept>

#include "fleck/CFleckDataPreparer.h"
#include "fleck/CFleckDisk.h"
#include "fleck/CFleckDiskHeader.h"
#include "fleck/CFleckDiskLink.h"
#include "support/TempFolder.h"
#include "zel/CLocalFileSystem.h"

namespace fleck::badinput {

namespace fs = std::filesystem;
using fleck::test::readFile;
using fleck::test::writeFile;

const char* const BadDisks::kPassword = "right password";

namespace {

zel::CURI uri(const std::string& path) {
  return zel::CURI::fromLocalPath(path);
}

std::string md5(const std::string& bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_md5(), nullptr) != 1)
    throw std::runtime_error("MD5 failed");
  return std::string(reinterpret_cast<const char*>(digest), length);
}

}  // namespace

BadDisks::BadDisks(std::string root) : rootFolder(std::move(root)) {
  // Noise, text and zeros, so that some flecks have no file.
  std::mt19937_64 random(7);
  data.resize(kDiskSize);
  for (std::size_t i = 0; i < data.size(); ++i) {
    const std::size_t fleck = i / kFleckSize;
    data[i] = fleck % 4 == 1   ? '\0'
              : fleck % 2 == 0 ? static_cast<char>('a' + i % 23)
                               : static_cast<char>(random());
  }
  zel::P<zel::IFileSystem> local = zel::make<zel::CLocalFileSystem>();
  for (const bool encrypted : {false, true}) {
    const std::string folder = encrypted ? secret() : good();
    const zel::String password = encrypted ? zel::String(kPassword) : zel::String();
    CFleckDisk::create(local, uri(folder), kDiskSize, 1, password, "lz4", kFleckSize);
    CFleckDisk disk(local, uri(folder), password, zel::IIOStream::AccessReadWrite, 2);
    disk.write(data.data(), kDiskSize);
    disk.flushChanges();
    if (disk.haveBackgroundErrors()) throw std::runtime_error("storing the good disk failed");
  }
}

std::string BadDisks::fleckPath(int index) {
  static const char kHex[] = "0123456789abcdef";
  std::string name;
  name += kHex[index / 16];
  name += kHex[index % 16];
  return "flecks/d00/c00/b00/a00/" + name + ".fleck";
}

std::string BadDisks::copyOf(const std::string& name, bool encrypted) const {
  const std::string folder = rootFolder + "/" + name;
  fs::copy(encrypted ? secret() : good(), folder, fs::copy_options::recursive);
  return folder;
}

BadDisks::Case BadDisks::emptyFolder() const {
  const std::string folder = rootFolder + "/empty";
  fs::create_directory(folder);
  return {"empty folder", folder};
}

BadDisks::Case BadDisks::folderOfOtherFiles() const {
  const std::string folder = rootFolder + "/others";
  fs::create_directories(folder + "/fallback");
  writeFile(folder + "/notes.txt", "not a disk\n");
  writeFile(folder + "/fallback/disk.fleckdiskx", "still not a disk\n");
  return {"folder of other files", folder};
}

BadDisks::Case BadDisks::missingFolder() const {
  return {"missing folder", rootFolder + "/missing"};
}

BadDisks::Case BadDisks::fileInsteadOfFolder() const {
  const std::string file = rootFolder + "/plainfile";
  writeFile(file, "a file, not a folder\n");
  return {"file instead of a folder", file};
}

BadDisks::Case BadDisks::damagedHeaders(
    const std::string& name, const std::function<std::string(const std::string&)>& damage) const {
  const std::string folder = copyOf(name);
  for (const char* copy : {"/disk.fleckdisk", "/fallback/disk.fleckdisk"})
    writeFile(folder + copy, damage(readFile(folder + copy)));
  return {"header: " + name, folder};
}

BadDisks::Case BadDisks::headerIsFolder() const {
  const std::string folder = copyOf("header-folder");
  fs::remove(folder + "/disk.fleckdisk");
  fs::create_directory(folder + "/disk.fleckdisk");
  fs::remove(folder + "/fallback/disk.fleckdisk");
  fs::create_directory(folder + "/fallback/disk.fleckdisk");
  return {"header copies are folders", folder};
}

BadDisks::Case BadDisks::fallbackIsFile() const {
  const std::string folder = copyOf("fallback-file");
  fs::remove_all(folder + "/fallback");
  writeFile(folder + "/fallback", "a file where the fallback folder belongs\n");
  return {"fallback is a file", folder};
}

BadDisks::Case BadDisks::patchedHeader(const std::string& name, std::size_t offset,
                                       const std::string& bytes) const {
  const std::string folder = copyOf(name);
  for (const char* copy : {"/disk.fleckdisk", "/fallback/disk.fleckdisk"}) {
    std::string file = readFile(folder + copy);
    std::string payload = file.substr(0, file.size() - 16);
    payload.replace(offset, bytes.size(), bytes);
    writeFile(folder + copy, payload + md5(payload));
  }
  return {"header field: " + name, folder};
}

void BadDisks::writeLink(const std::string& disk, const char* name,
                         const std::string& target) const {
  zel::P<zel::IFileSystem> local = zel::make<zel::CLocalFileSystem>();
  CFleckDiskLink link;
  link.setTargetURI(uri(target).toRelative(uri(disk)));
  link.store(local, uri(disk), name);
}

void BadDisks::writeParentLink(const std::string& disk, const std::string& target) const {
  writeLink(disk, "parent.flecklnk", target);
}

BadDisks::Case BadDisks::garbageChildLink() const {
  const std::string folder = copyOf("garbage-child-link");
  const std::string garbage(60, '\x5a');
  writeFile(folder + "/child.flecklnk", garbage);
  writeFile(folder + "/fallback/child.flecklnk", garbage);
  return {"garbage child link", folder};
}

BadDisks::Case BadDisks::childLinkToItself() const {
  const std::string folder = copyOf("self-child-link");
  writeLink(folder, "child.flecklnk", folder);
  return {"child link to itself", folder};
}

BadDisks::Case BadDisks::staleChildLink() const {
  const std::string parent = rootFolder + "/stale/parent";
  const std::string child = rootFolder + "/stale/child";
  fs::create_directories(rootFolder + "/stale");
  fs::copy(good(), parent, fs::copy_options::recursive);
  zel::P<zel::IFileSystem> local = zel::make<zel::CLocalFileSystem>();
  CFleckDisk::createChild(local, uri(child), uri(parent), CFleckDisk::ChildLinked);
  fs::remove_all(child);
  CFleckDisk::create(local, uri(child), kDiskSize, 1, zel::String(), "lz4", kFleckSize);
  return {"stale child link", parent};
}

BadDisks::Case BadDisks::childLinkToAFolderWithoutDisk() const {
  const std::string folder = rootFolder + "/no-disk-child/a/disk";
  fs::create_directories(rootFolder + "/no-disk-child/a");
  fs::copy(good(), folder, fs::copy_options::recursive);
  fs::create_directory(rootFolder + "/no-disk-child/x");
  zel::P<zel::IFileSystem> local = zel::make<zel::CLocalFileSystem>();
  CFleckDiskLink link;
  link.setTargetURI(zel::CURI(zel::String("../../x")));
  link.store(local, uri(folder), "child.flecklnk");
  return {"child link to a folder without a disk", folder};
}

BadDisks::Case BadDisks::garbageParentLink() const {
  const std::string folder = rootFolder + "/garbage-link";
  const std::string parent = copyOf("garbage-link-parent");
  zel::P<zel::IFileSystem> local = zel::make<zel::CLocalFileSystem>();
  CFleckDisk::createChild(local, uri(folder), uri(parent), CFleckDisk::ChildDetached);
  std::mt19937 random(3);
  std::string garbage(100, '\0');
  for (auto& c : garbage)
    c = static_cast<char>(random());
  writeFile(folder + "/parent.flecklnk", garbage);
  writeFile(folder + "/fallback/parent.flecklnk", garbage);
  return {"garbage parent link", folder};
}

BadDisks::Case BadDisks::parentLinkToItself() const {
  const std::string folder = copyOf("self-link");
  writeParentLink(folder, folder);
  return {"parent link to itself", folder};
}

BadDisks::Case BadDisks::parentLinksInACircle() const {
  const std::string a = rootFolder + "/circle/a";
  const std::string b = rootFolder + "/circle/b";
  fs::create_directories(rootFolder + "/circle");
  fs::copy(good(), a, fs::copy_options::recursive);
  fs::copy(good(), b, fs::copy_options::recursive);
  writeParentLink(a, b);
  writeParentLink(b, a);
  return {"parent links in a circle", a};
}

BadDisks::Case BadDisks::missingParent() const {
  const std::string folder = rootFolder + "/orphan/child";
  const std::string parent = rootFolder + "/orphan/parent";
  fs::create_directories(rootFolder + "/orphan");
  fs::copy(good(), parent, fs::copy_options::recursive);
  zel::P<zel::IFileSystem> local = zel::make<zel::CLocalFileSystem>();
  CFleckDisk::createChild(local, uri(folder), uri(parent), CFleckDisk::ChildLinked);
  fs::remove_all(parent);
  return {"missing parent", folder};
}

BadDisks::Case BadDisks::parentNotADisk() const {
  const std::string folder = copyOf("parent-not-disk");
  fs::create_directory(rootFolder + "/not-a-parent");
  writeParentLink(folder, rootFolder + "/not-a-parent");
  return {"parent is not a disk", folder};
}

BadDisks::Case BadDisks::damagedFleck(
    const std::string& name, const std::function<std::string(const std::string&)>& damage) const {
  const std::string folder = copyOf(name);
  const std::string file = folder + "/" + fleckPath(kDamagedFleck);
  writeFile(file, damage(readFile(file)));
  return {"fleck file: " + name, folder};
}

BadDisks::Case BadDisks::shortRecordFleck() const {
  // A record that is whole and correct in itself, but holds half a fleck.
  const std::string folder = copyOf("fleck-short-record");
  zel::P<zel::IFileSystem> local = zel::make<zel::CLocalFileSystem>();
  CFleckDiskHeader header;
  header.load(local, uri(folder));
  CFleckDataPreparer preparer(header, zel::TCryptBuffer<unsigned char>());
  zel::TBuffer<unsigned char> half(reinterpret_cast<const unsigned char*>(data.data()),
                                   kFleckSize / 2);
  zel::TBuffer<unsigned char> record;
  preparer.prepareData(half, record);
  writeFile(folder + "/" + fleckPath(kDamagedFleck),
            std::string(reinterpret_cast<const char*>(record.getData()), record.getUsed()));
  return {"fleck file: record of half a fleck", folder};
}

BadDisks::Case BadDisks::fleckIsFolder() const {
  const std::string folder = copyOf("fleck-folder");
  const std::string file = folder + "/" + fleckPath(kDamagedFleck);
  fs::remove(file);
  fs::create_directory(file);
  return {"folder where a fleck file belongs", folder};
}

BadDisks::Case BadDisks::fleckIsFifo() const {
  const std::string folder = copyOf("fleck-fifo");
  const std::string file = folder + "/" + fleckPath(kDamagedFleck);
  fs::remove(file);
  if (::mkfifo(file.c_str(), 0600) != 0) throw std::runtime_error("mkfifo failed: " + file);
  return {"FIFO where a fleck file belongs", folder};
}

BadDisks::Case BadDisks::fleckIsSymlink() const {
  // The link leads to a good record outside the disk: following it would read (or copy
  // into a child) a file that is not the disk's.
  const std::string folder = copyOf("fleck-symlink");
  const std::string file = folder + "/" + fleckPath(kDamagedFleck);
  const std::string outside = rootFolder + "/outside-record";
  fs::copy_file(file, outside, fs::copy_options::overwrite_existing);
  fs::remove(file);
  fs::create_symlink(outside, file);
  return {"symbolic link where a fleck file belongs", folder};
}

BadDisks::Case BadDisks::flecksIsFile() const {
  const std::string folder = copyOf("flecks-file");
  fs::remove_all(folder + "/flecks");
  writeFile(folder + "/flecks", "a file where the fleck tree belongs\n");
  return {"file where the fleck tree belongs", folder};
}

BadDisks::Case BadDisks::treeFolderIsFile() const {
  const std::string folder = copyOf("tree-file");
  fs::remove_all(folder + "/flecks/d00/c00/b00/a00");
  writeFile(folder + "/flecks/d00/c00/b00/a00", "a file where a tree folder belongs\n");
  return {"file where a tree folder belongs", folder};
}

}  // namespace fleck::badinput
