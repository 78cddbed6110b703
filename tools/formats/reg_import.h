// Reading a registry export in the registry editor's full syntax, and applying it to
// an image's registry in one transaction ("ceupdate reg import").
//
// Encoding: UTF-16 LE with its byte-order mark, or UTF-8 with or without one. The
// first line is "Windows Registry Editor Version 5.00" or "REGEDIT4". Then, line by
// line: "[KEY]" opens (creates) a key, "[-KEY]" deletes a key with everything under
// it; "name"=data or @=data sets a value of the last key, "name"=- deletes one.
// Names and texts are quoted, with \\ and \" as escapes, and \n, \r and \uXXXX for
// what the plain form cannot hold (names.h); a key path whose names need those is
// quoted whole: ["HKEY_CURRENT_USER\\a\nb"]. A name the phone cannot hold (a NUL,
// over 255 characters) is a malformed line. Data is "text"
// (REG_SZ), dword:xxxxxxxx (REG_DWORD), hex:xx,xx (REG_BINARY) or hex(N):xx,xx (type N,
// in hex), byte lists going on over lines that end in "\". Lines starting with ";"
// are comments; blank lines are passed over.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "store/store.h"

namespace tools {

struct RegImportStep {
    enum Kind { OpenKey, DeleteKey, SetValue, DeleteValue } kind = OpenKey;
    size_t line = 0;
    store::RegistryStore::KeyId root = 0;
    std::vector<std::u16string> path;  // names below the root
    std::u16string name;               // values: "" is the default value
    uint32_t type = 0;
    std::vector<uint8_t> bytes;
};

struct RegImportError {
    size_t line = 0;  // 0: the file as a whole
    std::string why;
};

struct RegImportFile {
    std::vector<RegImportStep> steps;  // the well-formed lines, in file order
    std::vector<RegImportError> errors;
};

RegImportFile ParseRegFile(const std::vector<uint8_t>& bytes);

struct RegImportCounts {
    size_t keys = 0, deletedKeys = 0, values = 0, deletedValues = 0;
};

// Applies the steps in one transaction: all of them or, on a store error, none.
RegImportCounts ApplyRegImport(store::RegistryStore& registry, const std::vector<RegImportStep>& steps);

}  // namespace tools
