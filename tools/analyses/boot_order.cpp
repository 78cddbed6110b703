// The boot launcher's reading of the launch entries, and its report.
#include "tools/analyses/boot_order.h"

#include <algorithm>
#include <limits>
#include <map>
#include <sstream>

#include "platform/limits.h"
#include "platform/wince.h"
#include "store/bytes.h"
#include "store/text.h"
#include "tools/formats/json.h"
#include "tools/formats/registry_json.h"

namespace tools {

namespace {

constexpr std::u16string_view kLaunch = u"Launch";
constexpr std::u16string_view kDepend = u"Depend";
constexpr int kCompanionEntry = 25;

// The launcher's reading of the number after the prefix: leading blanks, a sign,
// then decimal digits; anything else stops it, and no digits give 0.
int EntryNumber(std::u16string_view rest) {
    size_t i = 0;
    while (i < rest.size() && (rest[i] == u' ' || rest[i] == u'\t')) ++i;
    bool negative = false;
    if (i < rest.size() && (rest[i] == u'-' || rest[i] == u'+')) negative = rest[i++] == u'-';
    // Every digit is read; a number past what an int holds stays at the largest.
    long long value = 0;
    for (; i < rest.size() && rest[i] >= u'0' && rest[i] <= u'9'; ++i)
        value = std::min<long long>(value * 10 + (rest[i] - u'0'), std::numeric_limits<int>::max());
    return static_cast<int>(negative ? -value : value);
}

std::string Quoted(std::u16string_view name) { return "\"" + text::ToUtf8(name) + "\""; }

std::string NumberList(const std::vector<int>& numbers) {
    std::string out;
    for (size_t i = 0; i < numbers.size(); ++i) {
        if (i) out += ", ";
        out += std::to_string(numbers[i]);
    }
    return out;
}

bool StartsWithNoCase(std::u16string_view name, std::u16string_view prefix) {
    return name.size() >= prefix.size() && text::EqualNoCase(name.substr(0, prefix.size()), prefix);
}

void ReadDependList(const store::RegistryValue& value, LaunchEntry& entry, BootReport& report) {
    const std::string name = Quoted(value.name);
    if (value.type != REG_BINARY) {
        report.warnings.push_back(name + " is " + RegTypeText(value.type) +
                                  ", not REG_BINARY; the launcher reads its bytes all the same");
    }
    if (value.data.size() % 2 != 0 || value.data.size() > size_t{kLaunchMaxDependBytes}) {
        report.problems.push_back(name + " is a malformed list (" +
                                  std::to_string(value.data.size()) +
                                  " bytes; it must be an even number of bytes, at most " +
                                  std::to_string(size_t{kLaunchMaxDependBytes}) +
                                  "): the launcher ignores it, so entry " +
                                  std::to_string(entry.number) + " waits for nothing");
        return;
    }
    entry.hasDepend = true;
    for (size_t i = 0; i + 1 < value.data.size(); i += 2) {
        const int number = static_cast<int>(store::LittleEndianValue(std::span(value.data).subspan(i, 2)));
        if (number == 0) break;  // the list ends at its first 0
        entry.dependencies.push_back(number);
    }
}

void CheckDependencies(BootReport& report) {
    std::map<int, const LaunchEntry*> byNumber;
    for (const LaunchEntry& e : report.entries) byNumber[e.number] = &e;
    for (const LaunchEntry& e : report.entries) {
        for (int dep : e.dependencies) {
            auto it = byNumber.find(dep);
            if (it == byNumber.end()) {
                report.warnings.push_back("entry " + std::to_string(e.number) +
                                          " depends on entry " + std::to_string(dep) +
                                          ", which does not exist: the launcher ignores it");
            } else if (dep >= e.number) {
                report.problems.push_back(
                    "entry " + std::to_string(e.number) + " waits for entry " +
                    std::to_string(dep) +
                    (dep == e.number ? ", itself" : ", which starts after it") +
                    ": the boot hangs at entry " + std::to_string(e.number) +
                    " and no later entry starts");
            }
        }
    }
}

}  // namespace

BootReport AnalyzeBoot(const std::vector<store::RegistryValue>& initValues) {
    BootReport report;
    std::map<int, LaunchEntry> entries;
    std::map<int, int> launchValues;  // how many values name each entry's program
    for (const store::RegistryValue& value : initValues) {
        const std::u16string_view name = value.name;
        const bool launch = name.substr(0, kLaunch.size()) == kLaunch;
        const bool depend = name.substr(0, kDepend.size()) == kDepend;
        if (!launch && !depend) {
            if (StartsWithNoCase(name, kLaunch) || StartsWithNoCase(name, kDepend)) {
                report.warnings.push_back(Quoted(name) +
                                          " is not read: the launcher matches \"Launch\" and "
                                          "\"Depend\" only in this letter case");
            }
            continue;
        }
        const int number = EntryNumber(name.substr(kLaunch.size()));
        LaunchEntry& entry = entries[number];
        entry.number = number;
        if (depend) {
            ReadDependList(value, entry, report);
            continue;
        }
        if (++launchValues[number] > 1) {
            report.warnings.push_back("more than one value names the program of entry " +
                                      std::to_string(number) + " (" + Quoted(name) +
                                      "); which one counts depends on the registry's order");
        }
        entry.hasLaunch = true;
        entry.launchType = value.type;
        entry.program = store::Utf16LeText(value.data);
        entry.program.resize(std::min(entry.program.size(), entry.program.find(u'\0')));
        if (value.type != REG_SZ) {
            report.warnings.push_back(Quoted(name) + " is " + RegTypeText(value.type) +
                                      ", not REG_SZ: the launcher cannot start it and takes "
                                      "entry " + std::to_string(number) + " as started");
        }
    }
    for (auto& [number, entry] : entries) {
        if (!entry.hasLaunch) {
            report.warnings.push_back("\"Depend" + std::to_string(number) + "\" has no \"Launch" +
                                      std::to_string(number) +
                                      "\": the launcher starts nothing for it and takes entry " +
                                      std::to_string(number) + " as started");
        }
        report.entries.push_back(std::move(entry));
    }
    if (report.entries.size() > size_t{kLaunchMaxEntries}) {
        report.problems.push_back(
            std::to_string(report.entries.size()) + " entries, but the launcher keeps " +
            std::to_string(size_t{kLaunchMaxEntries}) + ": entries after entry " +
            std::to_string(report.entries[size_t{kLaunchMaxEntries} - 1].number) + " do not start");
    }
    CheckDependencies(report);
    return report;
}

std::string FormatBootReport(const BootReport& report) {
    std::ostringstream out;
    out << "Boot order of HKEY_LOCAL_MACHINE\\init (strictly by number; each entry waits for "
           "the entries it depends on):\n";
    size_t width = 0;
    for (const LaunchEntry& e : report.entries) width = std::max(width, text::ToUtf8(e.program).size());
    for (const LaunchEntry& e : report.entries) {
        std::string number = std::to_string(e.number);
        out << "  " << std::string(number.size() < 4 ? 4 - number.size() : 0, ' ') << number << "  ";
        std::string program = e.hasLaunch ? text::ToUtf8(e.program) : "(no program)";
        out << program;
        if (!e.dependencies.empty()) {
            out << std::string(width + 2 > program.size() ? width + 2 - program.size() : 2, ' ')
                << "after " << NumberList(e.dependencies);
        }
        out << '\n';
    }
    if (report.entries.empty()) out << "  (no launch entries)\n";
    for (const std::string& p : report.problems) out << "problem: " << p << '\n';
    for (const std::string& w : report.warnings) out << "warning: " << w << '\n';
    out << "note: every program started here must signal that it has started (SignalStarted "
           "with the number it gets as its command line); until it does, the entries that "
           "wait for it and every later entry do not start.\n";
    for (const LaunchEntry& e : report.entries) {
        if (e.number == kCompanionEntry && e.hasLaunch) {
            out << "note: entry 25 is the update's companion program " << text::ToUtf8(e.program)
                << "; it must signal its start as well.\n";
        }
    }
    return out.str();
}

}  // namespace tools
