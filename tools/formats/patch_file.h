// Patch files in the binary form the installer reads (langdb.h), made from the patch
// JSON ("patch build"), and the property form of an entry the installer's reader
// read ("patch show", "check").
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "langdb/langdb.h"
#include "store/store.h"
#include "tools/formats/json.h"

namespace tools {

// The patch file of {"entries": [{"key", "value"}]} (the members "skipped" and "stop"
// of "patch show --json" are passed over); throws ToolError for an entry the
// installer would stop at or skip (another property type, an empty or too long text).
std::vector<uint8_t> BuildPatchFile(const Json& document, const std::string& source);

// A property as the installer's reader holds it, in the canonical bytes of the store.
store::Property PropertyOf(const PatchProperty& property);

}  // namespace tools
