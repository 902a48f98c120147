#include "s3/CS3Signer.h"

#include <openssl/evp.h>

#include <cstdio>

#include "zel/CError.h"

namespace s3 {

namespace {

constexpr const char* kSource = "s3::CS3Signer";

std::string hex(const unsigned char* bytes, std::size_t length) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  out.reserve(length * 2);
  for (std::size_t i = 0; i < length; ++i) {
    out.push_back(digits[bytes[i] >> 4]);
    out.push_back(digits[bytes[i] & 0xF]);
  }
  return out;
}

std::string hmac(std::string_view key, std::string_view data) {
  unsigned char out[EVP_MAX_MD_SIZE];
  std::size_t outLength = 0;
  if (EVP_Q_mac(nullptr, "HMAC", nullptr, "SHA256", nullptr, key.data(), key.size(),
                reinterpret_cast<const unsigned char*>(data.data()), data.size(), out, sizeof out,
                &outLength) == nullptr) {
    throw zel::CError("HMAC-SHA256 failed", kSource);
  }
  return std::string(reinterpret_cast<const char*>(out), outLength);
}

}  // namespace

CS3Signer::CS3Signer(std::string accessKey, std::string secretKey, std::string region)
    : accessKey(std::move(accessKey)), secretKey(std::move(secretKey)), region(std::move(region)) {}

std::string CS3Signer::sha256Hex(const void* data, std::size_t length) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int digestLength = 0;
  if (EVP_Digest(data, length, digest, &digestLength, EVP_sha256(), nullptr) != 1) {
    throw zel::CError("SHA-256 failed", kSource);
  }
  return hex(digest, digestLength);
}

std::string CS3Signer::uriEncode(std::string_view text, bool keepSlash) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if ((byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') ||
        (byte >= '0' && byte <= '9') || c == '-' || c == '.' || c == '_' || c == '~' ||
        (keepSlash && c == '/')) {
      out.push_back(c);
    } else {
      char escaped[4];
      std::snprintf(escaped, sizeof escaped, "%%%02X", byte);
      out += escaped;
    }
  }
  return out;
}

std::string CS3Signer::formatDate(std::time_t time) {
  std::tm parts{};
  gmtime_r(&time, &parts);
  char text[32];
  std::strftime(text, sizeof text, "%Y%m%dT%H%M%SZ", &parts);
  return text;
}

std::string CS3Signer::authorize(std::string_view method, std::string_view canonicalPath,
                                 std::string_view canonicalQuery,
                                 const std::map<std::string, std::string>& headers,
                                 std::string_view payloadHash, std::string_view amzDate) const {
  std::string canonicalHeaders;
  std::string signedHeaders;
  for (const auto& [name, value] : headers) {
    canonicalHeaders += name + ":" + value + "\n";
    if (!signedHeaders.empty()) signedHeaders += ';';
    signedHeaders += name;
  }
  std::string request;
  request.append(method).append("\n");
  request.append(canonicalPath).append("\n");
  request.append(canonicalQuery).append("\n");
  request.append(canonicalHeaders).append("\n");
  request.append(signedHeaders).append("\n");
  request.append(payloadHash);

  const std::string day(amzDate.substr(0, 8));
  const std::string scope = day + "/" + region + "/s3/aws4_request";
  std::string toSign = "AWS4-HMAC-SHA256\n";
  toSign.append(amzDate).append("\n").append(scope).append("\n");
  toSign += sha256Hex(request.data(), request.size());

  const std::string dateKey = hmac("AWS4" + secretKey, day);
  const std::string regionKey = hmac(dateKey, region);
  const std::string serviceKey = hmac(regionKey, "s3");
  const std::string signingKey = hmac(serviceKey, "aws4_request");
  const std::string signature = hmac(signingKey, toSign);
  return "AWS4-HMAC-SHA256 Credential=" + accessKey + "/" + scope +
         ", SignedHeaders=" + signedHeaders + ", Signature=" +
         hex(reinterpret_cast<const unsigned char*>(signature.data()), signature.size());
}

}  // namespace s3
