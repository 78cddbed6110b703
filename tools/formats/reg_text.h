// The registry as regedit-style text (what "reg export" prints without --json), and
// the key order every registry listing uses.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "store/store.h"

namespace tools {

inline constexpr const char* kRegeditHeader = "Windows Registry Editor Version 5.00";

// The key and every key under it, each parent before its children and siblings in
// case-insensitive name order: the order of the registry JSON and the text.
std::vector<store::RegistryStore::KeyId> KeysInOrder(const store::RegistryStore& registry,
                                                     store::RegistryStore::KeyId top);

// One value as a regedit line (UTF-8, no final newline): "name"="text", @="text",
// "name"=dword:0000001a, or "name"=hex(N):xx,xx,... wrapped with "\" continuations.
// A string the quoted form cannot hold exactly (no terminator, an embedded NUL, a
// line break, a lone surrogate) is written as hex(1)/hex(2); a name is quoted with
// the escapes of names.h (\n, \r, \uXXXX) where it needs them.
std::string RegValueLine(std::u16string_view name, uint32_t type, std::span<const uint8_t> bytes);

// The header, then one "[KEY]" section per key of the subtree (["KEY"] quoted where
// a name in it needs escapes), each followed by its values and a blank line.
std::string RegistryText(const store::RegistryStore& registry, store::RegistryStore::KeyId top);

}  // namespace tools
