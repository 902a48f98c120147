#include "fleck/ops/CFleckTree.h"

#include <algorithm>

#include "fleck/CFleck.h"

namespace fleck::ops {

CFleckTree::CFleckTree(zel::P<zel::IFileSystem> fs, const CFleckDiskHeader& header)
    : fs(std::move(fs)),
      objectsPerLevel(header.getObjectsPerTreeLevel()),
      levels(header.getTreeLevels()),
      digitWidth(CFleck::computeDigitWidth(header.getObjectsPerTreeLevel())) {}

zel::CURI CFleckTree::fileOf(const zel::CURI& diskFolder, std::int64_t index) {
  return diskFolder << CFleck::formRelativeFleckURI(index, objectsPerLevel, levels, digitWidth,
                                                    digits);
}

int CFleckTree::parseName(const zel::String& name, int level) const {
  std::wstring_view text(name);
  if (level >= 1) {
    if (text.empty() || text[0] != static_cast<wchar_t>(0x60 + level)) return -1;
    text.remove_prefix(1);
  } else {
    if (!name.endsWith(L".fleck")) return -1;
    text.remove_suffix(6);
  }
  if (text.size() != static_cast<std::size_t>(digitWidth)) return -1;
  int digit = 0;
  for (const wchar_t c : text) {
    int value;
    if (c >= L'0' && c <= L'9') {
      value = c - L'0';
    } else if (c >= L'a' && c <= L'f') {
      value = c - L'a' + 10;
    } else {
      return -1;
    }
    digit = digit * 16 + value;
  }
  return digit < objectsPerLevel ? digit : -1;
}

void CFleckTree::walk(const zel::CURI& folder, int level, std::int64_t prefix,
                      std::vector<Entry>& out, std::vector<zel::CURI>* strays,
                      std::vector<zel::CURI>* blocked) {
  for (const zel::IFileSystem::FolderEntry& entry : fs->listFolder(folder)) {
    const zel::CURI path = folder << entry.name;
    const int digit = parseName(entry.name, level);
    const bool expectFolder = level >= 1;
    if (digit >= 0 && entry.folder != expectFolder && blocked != nullptr) {
      blocked->push_back(path);
      continue;
    }
    if (digit < 0 || entry.folder != expectFolder) {
      if (strays != nullptr) strays->push_back(path);
      continue;
    }
    const std::int64_t index = prefix * objectsPerLevel + digit;
    if (expectFolder) {
      walk(path, level - 1, index, out, strays, blocked);
    } else {
      out.push_back(
          Entry{index, path,
                withSizes ? fs->getFileInfo(path, zel::IFileSystem::InfoSize)->getSize() : -1});
    }
  }
}

std::vector<CFleckTree::Entry> CFleckTree::list(const zel::CURI& diskFolder,
                                                std::vector<zel::CURI>* strays,
                                                std::vector<zel::CURI>* blocked) {
  std::vector<Entry> entries;
  const zel::CURI root = diskFolder << "flecks";
  if (fs->folderExists(root)) {
    walk(root, levels - 1, 0, entries, strays, blocked);
  } else if (fs->exists(root)) {
    if (blocked != nullptr) {
      blocked->push_back(root);
    } else if (strays != nullptr) {
      strays->push_back(root);
    }
  }
  std::sort(entries.begin(), entries.end(),
            [](const Entry& a, const Entry& b) { return a.index < b.index; });
  return entries;
}

}  // namespace fleck::ops
