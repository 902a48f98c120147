#pragma once

#include <map>
#include <string>

namespace fleck::test {

// Everything below a folder, for checking that an operation changed nothing: relative
// path -> "folder", "link -> TARGET", or "file SHA-256" (the hex digest of its bytes).
// A missing folder gives an empty map.
std::map<std::string, std::string> snapshotFolder(const std::string& folder);

// The differences between two snapshots, one line each ("changed PATH", "added PATH",
// "removed PATH"); empty when they are equal.
std::string describeDifferences(const std::map<std::string, std::string>& before,
                                const std::map<std::string, std::string>& after);

// The hex SHA-256 of `bytes` (OpenSSL).
std::string sha256Hex(const std::string& bytes);

}  // namespace fleck::test
