// The boot order of the launch entries under HKEY_LOCAL_MACHINE\init, read the way
// the platform's launcher reads them:
//
// - a value whose name starts with exactly "Launch" or "Depend" (letter case counts)
//   belongs to the entry whose number is the decimal number after those six letters;
// - entries start strictly in ascending number order, each once the entries its
//   "DependNN" lists have signalled that they started;
// - a dependency on a number with no "LaunchNN" is ignored;
// - a "DependNN" of odd length or longer than 64 bytes is ignored; the list of 16-bit
//   numbers ends at the first 0;
// - a dependency on an entry of the same or a higher number can never be met: the
//   boot hangs there, and every later entry with it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "store/store.h"

namespace tools {

struct LaunchEntry {
    int number = 0;
    bool hasLaunch = false;
    uint32_t launchType = 0;
    std::u16string program;       // the "LaunchNN" text
    bool hasDepend = false;
    std::vector<int> dependencies;  // as listed, up to the first 0
};

struct BootReport {
    std::vector<LaunchEntry> entries;  // ascending number
    std::vector<std::string> problems;  // the boot would hang or misread a list
    std::vector<std::string> warnings;  // the launcher passes over something
};

BootReport AnalyzeBoot(const std::vector<store::RegistryValue>& initValues);

// The report as text: one line per entry, then "problem:" and "warning:" lines, then
// the reminder that every launched program must signal its start.
std::string FormatBootReport(const BootReport& report);

}  // namespace tools
