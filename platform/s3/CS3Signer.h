#pragma once

#include <cstddef>
#include <ctime>
#include <map>
#include <string>
#include <string_view>

namespace s3 {

// Signs S3 requests with AWS Signature Version 4 (header form). HMAC-SHA256 and
// SHA-256 come from OpenSSL's EVP interfaces.
//
// Immutable after construction: any thread may sign at once.
class CS3Signer final {
 public:
  CS3Signer(std::string accessKey, std::string secretKey, std::string region);

  // The Authorization header value for one request. `headers` maps lower-case names to
  // values and must hold every header to sign (host, x-amz-date, x-amz-content-sha256
  // and any others the request sends); `canonicalPath` and `canonicalQuery` are already
  // encoded as sent; `amzDate` is formatDate()'s form.
  std::string authorize(std::string_view method, std::string_view canonicalPath,
                        std::string_view canonicalQuery,
                        const std::map<std::string, std::string>& headers,
                        std::string_view payloadHash, std::string_view amzDate) const;

  // Lower-case hex SHA-256 of the bytes.
  static std::string sha256Hex(const void* data, std::size_t length);
  // URI encoding of S3: every byte but A-Z a-z 0-9 - . _ ~ as %XX; '/' kept when
  // `keepSlash`.
  static std::string uriEncode(std::string_view text, bool keepSlash);
  // "YYYYMMDDTHHMMSSZ" (UTC).
  static std::string formatDate(std::time_t time);

 private:
  const std::string accessKey;
  const std::string secretKey;
  const std::string region;
};

}  // namespace s3
