#include "core/keys/key_types.h"

namespace {

template <std::size_t N>
int32_t FindId(const std::array<KeyTypeName, N>& table, std::string_view name) {
  if (name.empty()) {
    return 0;
  }
  for (const KeyTypeName& row : table) {
    if (row.name == name) {
      return row.id;
    }
  }
  return 0;
}

}  // namespace

KeyType PublicKeyTypeFromName(std::string_view name) {
  return static_cast<KeyType>(FindId(kKeyTypeNames, name));
}

int32_t PrivateKeyTypeFromPemName(std::string_view label) {
  return FindId(kKeyFileFormatNames, label);
}
