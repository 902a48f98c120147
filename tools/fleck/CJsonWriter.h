#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace fleck::cli {

// Writes one JSON document into a string, indented, with commas and string escapes
// taken care of. The caller opens and closes objects and arrays in order; keys are
// given before values inside objects. A value type; not for concurrent use.
class CJsonWriter final {
 public:
  CJsonWriter() = default;

  CJsonWriter& beginObject();
  CJsonWriter& endObject();
  CJsonWriter& beginArray();
  CJsonWriter& endArray();
  CJsonWriter& key(const std::string& name);
  CJsonWriter& value(const std::string& text);
  CJsonWriter& value(const char* text) { return value(std::string(text)); }
  CJsonWriter& value(std::int64_t number);
  CJsonWriter& value(int number) { return value(static_cast<std::int64_t>(number)); }
  CJsonWriter& value(double number);
  CJsonWriter& value(bool flag);
  CJsonWriter& null();

  // The document so far, with a final line end once the outermost value is closed.
  const std::string& text() const { return out; }

  static std::string quote(const std::string& text);

 private:
  void beforeValue();
  void newline();

  std::string out;
  // One entry per open object or array: whether it has an element yet.
  std::vector<bool> hasElement;
  bool afterKey = false;
};

}  // namespace fleck::cli
