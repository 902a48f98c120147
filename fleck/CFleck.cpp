#include "fleck/CFleck.h"

#include <algorithm>
#include <charconv>

#include "zel/CInvalidArgError.h"

namespace fleck {

int CFleck::computeDigitWidth(int objectsPerTreeLevel) {
  int width = 1;
  for (int v = objectsPerTreeLevel / 16; v > 0; v >>= 4) ++width;
  return width;
}

zel::CURI CFleck::formRelativeFleckURI(std::int64_t index, int objectsPerTreeLevel, int treeLevels,
                                       int digitWidth, zel::TArray<int>& levelDigits) {
  if (index < 0) {
    throw zel::CInvalidArgError("CFleck::getRelativeFleckURI", "negative fleck index",
                                zel::CProps().add("fleckIndex", index));
  }
  levelDigits.resize(static_cast<std::size_t>(treeLevels));
  std::int64_t rest = index;
  for (int level = 0; level < treeLevels; ++level) {
    levelDigits[static_cast<std::size_t>(level)] = static_cast<int>(rest % objectsPerTreeLevel);
    rest /= objectsPerTreeLevel;
  }

  zel::CURI uri = zel::CURI() << "flecks";
  for (int level = treeLevels - 1; level >= 0; --level) {
    char hex[16];
    const auto digit = static_cast<unsigned>(levelDigits[static_cast<std::size_t>(level)]);
    const int length = static_cast<int>(std::to_chars(hex, hex + sizeof(hex), digit, 16).ptr - hex);
    zel::String component;
    if (level >= 1) component.push_back(static_cast<wchar_t>(0x60 + level));
    component.append(static_cast<std::size_t>(std::max(digitWidth - length, 0)), L'0');
    for (int i = 0; i < length; ++i) component.push_back(static_cast<wchar_t>(hex[i]));
    if (level == 0) component += L".fleck";
    uri = uri << component;
  }
  return uri;
}

}  // namespace fleck
