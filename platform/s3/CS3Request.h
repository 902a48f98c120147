#pragma once

#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace s3 {

// One S3 request as CS3Client sends it: a value, copied freely.
struct CS3Request {
  std::string method;  // GET, HEAD, PUT, DELETE
  std::string bucket;
  std::string key;  // unencoded; empty for requests on the bucket
  // Query parameters, unencoded; sorted and encoded when signing.
  std::vector<std::pair<std::string, std::string>> query;
  // Extra headers to send and sign, names in lower case (if-none-match, range, ...).
  std::map<std::string, std::string> headers;
  // The payload of a PUT; null for none. Shared, so that retries resend it unchanged.
  std::shared_ptr<const std::vector<unsigned char>> body;
  // Lower-case hex SHA-256 of the body; computed when empty.
  std::string payloadHash;
};

}  // namespace s3
