#pragma once

#include <map>
#include <string>
#include <vector>

namespace s3 {

// What came back for one CS3Request, after retries.
struct CS3Response {
  // The HTTP status; 0 when no response arrived (see transportError).
  long status = 0;
  // curl's message when the connection failed; empty otherwise.
  std::string transportError;
  // Header names in lower case.
  std::map<std::string, std::string> headers;
  std::vector<unsigned char> body;
  // Requests sent for this one, retries included.
  int attempts = 0;

  bool isSuccess() const noexcept { return status >= 200 && status < 300; }
  std::string bodyText() const { return std::string(body.begin(), body.end()); }
  // The header's value, or empty text.
  std::string header(const std::string& name) const {
    auto found = headers.find(name);
    return found == headers.end() ? std::string() : found->second;
  }
};

}  // namespace s3
