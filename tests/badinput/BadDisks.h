#pragma once

#include <functional>
#include <string>
#include <vector>

namespace fleck::badinput {

// Damaged and unusual disk folders for the bad-input tests, made from a good disk by
// changing its files behind the library's back.
//
// Every case lives in a folder of its own below `root` (root/NAME); `disk` is the
// folder the tools are pointed at (inside the case folder, or the case folder itself).
class BadDisks {
 public:
  static constexpr int kFleckSize = 64 * 1024;
  static constexpr int kDiskSize = 16 * kFleckSize;
  static constexpr int kDamagedFleck = 3;  // holds data in the good disk
  static const char* const kPassword;

  struct Case {
    std::string name;
    std::string disk;
  };

  // Makes the good disks (unencrypted and encrypted, with data) in root/good and
  // root/secret.
  explicit BadDisks(std::string root);

  const std::string& root() const { return rootFolder; }
  std::string good() const { return rootFolder + "/good"; }
  std::string secret() const { return rootFolder + "/secret"; }
  // The bytes the good disks hold.
  const std::string& content() const { return data; }

  // A copy of the good (or encrypted) disk as root/NAME.
  std::string copyOf(const std::string& name, bool encrypted = false) const;

  // The cases, by what is wrong.
  Case emptyFolder() const;
  Case folderOfOtherFiles() const;
  Case missingFolder() const;
  Case fileInsteadOfFolder() const;
  // Both copies of the header changed by `damage` (given the file's bytes).
  Case damagedHeaders(const std::string& name,
                      const std::function<std::string(const std::string&)>& damage) const;
  Case headerIsFolder() const;
  Case fallbackIsFile() const;
  // Both header copies with a field rewritten (and a correct digest): a header that is
  // intact as a file but holds values out of range.
  Case patchedHeader(const std::string& name, std::size_t offset, const std::string& bytes) const;
  // A child of the good disk whose parent link (both copies) is replaced.
  Case garbageParentLink() const;
  Case parentLinkToItself() const;
  Case parentLinksInACircle() const;  // A -> B -> A; the case's disk is A
  Case missingParent() const;
  // A disk whose child link (both copies) is garbage, or leads back to the disk itself.
  Case garbageChildLink() const;
  Case childLinkToItself() const;
  // A linked child's folder deleted and an unrelated disk made under its name; a child
  // link to a folder without a disk. Both stay inside the case folder.
  Case staleChildLink() const;
  Case childLinkToAFolderWithoutDisk() const;
  Case parentNotADisk() const;
  // The file of kDamagedFleck changed by `damage`.
  Case damagedFleck(const std::string& name,
                    const std::function<std::string(const std::string&)>& damage) const;
  Case fleckIsFolder() const;
  Case shortRecordFleck() const;
  Case fleckIsFifo() const;
  Case fleckIsSymlink() const;
  Case flecksIsFile() const;
  Case treeFolderIsFile() const;

  static std::string fleckPath(int index);  // relative to a disk folder

 private:
  void writeLink(const std::string& disk, const char* name, const std::string& target) const;
  void writeParentLink(const std::string& disk, const std::string& target) const;

  std::string rootFolder;
  std::string data;
};

}  // namespace fleck::badinput
