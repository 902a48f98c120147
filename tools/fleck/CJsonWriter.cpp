#include "CJsonWriter.h"

#include <cmath>
#include <cstdio>

namespace fleck::cli {

std::string CJsonWriter::quote(const std::string& text) {
  std::string result = "\"";
  for (const char c : text) {
    switch (c) {
      case '"':
        result += "\\\"";
        break;
      case '\\':
        result += "\\\\";
        break;
      case '\n':
        result += "\\n";
        break;
      case '\r':
        result += "\\r";
        break;
      case '\t':
        result += "\\t";
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char escape[8];
          std::snprintf(escape, sizeof(escape), "\\u%04x", static_cast<unsigned>(c));
          result += escape;
        } else {
          result += c;  // UTF-8 passes through as it is
        }
    }
  }
  return result + "\"";
}

void CJsonWriter::newline() {
  out += '\n';
  out.append(hasElement.size() * 2, ' ');
}

void CJsonWriter::beforeValue() {
  if (afterKey) {
    afterKey = false;
    return;
  }
  if (!hasElement.empty()) {
    if (hasElement.back()) out += ',';
    hasElement.back() = true;
    newline();
  }
}

CJsonWriter& CJsonWriter::beginObject() {
  beforeValue();
  out += '{';
  hasElement.push_back(false);
  return *this;
}

CJsonWriter& CJsonWriter::endObject() {
  const bool any = hasElement.back();
  hasElement.pop_back();
  if (any) newline();
  out += '}';
  if (hasElement.empty()) out += '\n';
  return *this;
}

CJsonWriter& CJsonWriter::beginArray() {
  beforeValue();
  out += '[';
  hasElement.push_back(false);
  return *this;
}

CJsonWriter& CJsonWriter::endArray() {
  const bool any = hasElement.back();
  hasElement.pop_back();
  if (any) newline();
  out += ']';
  if (hasElement.empty()) out += '\n';
  return *this;
}

CJsonWriter& CJsonWriter::key(const std::string& name) {
  beforeValue();
  out += quote(name) + ": ";
  afterKey = true;
  return *this;
}

CJsonWriter& CJsonWriter::value(const std::string& text) {
  beforeValue();
  out += quote(text);
  return *this;
}

CJsonWriter& CJsonWriter::value(std::int64_t number) {
  beforeValue();
  out += std::to_string(number);
  return *this;
}

CJsonWriter& CJsonWriter::value(double number) {
  beforeValue();
  if (!std::isfinite(number)) {
    out += "null";
    return *this;
  }
  char text[32];
  std::snprintf(text, sizeof(text), "%.6g", number);
  out += text;
  return *this;
}

CJsonWriter& CJsonWriter::value(bool flag) {
  beforeValue();
  out += flag ? "true" : "false";
  return *this;
}

CJsonWriter& CJsonWriter::null() {
  beforeValue();
  out += "null";
  return *this;
}

}  // namespace fleck::cli
