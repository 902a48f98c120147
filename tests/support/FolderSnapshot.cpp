#include "support/FolderSnapshot.h"

#include <openssl/evp.h>

#include <filesystem>
#include <stdexcept>

#include "support/TempFolder.h"

namespace fleck::test {

std::string sha256Hex(const std::string& bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr) != 1)
    throw std::runtime_error("SHA-256 failed");
  std::string hex;
  for (unsigned int i = 0; i < length; ++i) {
    hex += "0123456789abcdef"[digest[i] >> 4];
    hex += "0123456789abcdef"[digest[i] & 15];
  }
  return hex;
}

std::map<std::string, std::string> snapshotFolder(const std::string& folder) {
  namespace fs = std::filesystem;
  std::map<std::string, std::string> entries;
  const fs::file_status top = fs::symlink_status(folder);
  if (!fs::exists(top)) return entries;
  if (!fs::is_directory(top)) return {{".", "file " + sha256Hex(readFile(folder))}};
  for (auto it = fs::recursive_directory_iterator(folder); it != fs::recursive_directory_iterator();
       ++it) {
    std::string& entry = entries[fs::relative(it->path(), folder).string()];
    const fs::file_status status = it->symlink_status();
    if (fs::is_symlink(status)) {
      entry = "link -> " + fs::read_symlink(it->path()).string();
      it.disable_recursion_pending();
    } else if (fs::is_directory(status)) {
      entry = "folder";
    } else if (!fs::is_regular_file(status)) {
      entry = "special";  // a FIFO: reading it would wait for a writer
    } else {
      entry = "file " + sha256Hex(readFile(it->path().string()));
    }
  }
  return entries;
}

std::string describeDifferences(const std::map<std::string, std::string>& before,
                                const std::map<std::string, std::string>& after) {
  std::string lines;
  for (const auto& [path, what] : before) {
    const auto found = after.find(path);
    if (found == after.end() || found->second != what)
      lines += (found == after.end() ? "removed " : "changed ") + path + "\n";
  }
  for (const auto& [path, what] : after) {
    if (before.count(path) == 0) lines += "added " + path + "\n";
  }
  return lines;
}

}  // namespace fleck::test
