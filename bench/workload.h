// The benchmark workloads, generated deterministically from a seed: shared by the
// generator (bench/gen_workload.cpp), the in-memory floor, and the kill test.
//
// W1: one UTF-16 LE registry script (BOM, CR LF) of `values` values in sections of
// 100 under HKEY_CURRENT_USER\Software\Bench, 60 % text, 25 % dword, 15 % hex whose
// bytes go on over continuation lines. The parent keys come first as empty sections
// (a peer that does not create missing parents needs them).
//
// W2: the three language databases of `records` records each, even records with a
// text key (property 1, letters in scrambled case), odd ones with a number key
// (property 2); and per database a patch file of `entries` entries, about 9 in 10 of
// which name an existing record (chosen uniformly; text keys in another scrambling of
// case), the rest a key no record has.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "store/bytes.h"

namespace workload {

// splitmix64: small, fast, and the same on every platform.
class Random {
public:
    explicit Random(uint64_t seed) : state_(seed) {}
    uint64_t Next() {
        uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    }
    uint32_t Below(uint32_t n) { return static_cast<uint32_t>(Next() % n); }

private:
    uint64_t state_;
};

// ---- W1 ----------------------------------------------------------------------------

inline constexpr int kValuesPerSection = 100;
inline const char* const kW1Parent = "HKEY_CURRENT_USER\\Software\\Bench";

struct W1Value {
    std::string key;   // full path
    std::string name;
    enum Kind { Text, Dword, Hex } kind;
    std::string text;             // Text
    uint32_t number = 0;          // Dword
    std::vector<uint8_t> bytes;   // Hex
};

inline std::vector<W1Value> W1Values(int values, uint64_t seed = 1) {
    Random rnd(seed);
    std::vector<W1Value> out;
    out.reserve(values);
    char buf[64];
    for (int i = 0; i < values; ++i) {
        W1Value v;
        std::snprintf(buf, sizeof buf, "%s\\Section%05d", kW1Parent, i / kValuesPerSection);
        v.key = buf;
        std::snprintf(buf, sizeof buf, "Value%03d", i % kValuesPerSection);
        v.name = buf;
        const uint32_t pick = rnd.Below(100);
        if (pick < 60) {
            v.kind = W1Value::Text;
            const int length = 8 + static_cast<int>(rnd.Below(40));
            for (int c = 0; c < length; ++c) v.text += static_cast<char>('a' + rnd.Below(26));
        } else if (pick < 85) {
            v.kind = W1Value::Dword;
            v.number = static_cast<uint32_t>(rnd.Next());
        } else {
            v.kind = W1Value::Hex;
            const int length = 16 + static_cast<int>(rnd.Below(49));  // 16..64 bytes
            for (int c = 0; c < length; ++c) v.bytes.push_back(static_cast<uint8_t>(rnd.Next()));
        }
        out.push_back(std::move(v));
    }
    return out;
}

// The script as 8-bit text (all of it ASCII), lines ending in "\r\n".
inline std::string W1ScriptText(const std::vector<W1Value>& values) {
    std::string s = "Windows Registry Editor Version 5.00\r\n\r\n";
    s += "[HKEY_CURRENT_USER\\Software]\r\n\r\n";
    s += "[" + std::string(kW1Parent) + "]\r\n\r\n";
    std::string current;
    char buf[16];
    for (const W1Value& v : values) {
        if (v.key != current) {
            if (!current.empty()) s += "\r\n";
            s += "[" + v.key + "]\r\n";
            current = v.key;
        }
        s += "\"" + v.name + "\"=";
        switch (v.kind) {
            case W1Value::Text: s += "\"" + v.text + "\"\r\n"; break;
            case W1Value::Dword:
                std::snprintf(buf, sizeof buf, "dword:%08x", v.number);
                s += buf;
                s += "\r\n";
                break;
            case W1Value::Hex:
                s += "hex:";
                for (size_t b = 0; b < v.bytes.size(); ++b) {
                    std::snprintf(buf, sizeof buf, "%02x", v.bytes[b]);
                    s += buf;
                    if (b + 1 < v.bytes.size()) {
                        s += ",";
                        if (b % 16 == 15) s += "\\\r\n  ";  // 16 bytes a line
                    }
                }
                s += "\r\n";
                break;
        }
    }
    s += "\r\n";
    return s;
}

// UTF-16 LE with a byte-order mark.
inline std::vector<uint8_t> Utf16LeWithBom(const std::string& ascii) {
    std::vector<uint8_t> out = {0xFF, 0xFE};
    store::AppendUtf16Le(out, std::u16string(ascii.begin(), ascii.end()));
    return out;
}

// ---- W2 ----------------------------------------------------------------------------

inline const char* const kW2Databases[3] = {"\\FileNameLang", "\\MetaBaseOptions", "\\MetaBaseLabels"};
inline const char* const kW2PatchFiles[3] = {"FileNameLang.dat", "MetabaseOptions.dat",
                                             "MetabaseLabels.dat"};

inline constexpr uint16_t kTextKeyId = 1;    // CEVT_LPWSTR key of even records
inline constexpr uint16_t kNumberKeyId = 2;  // CEVT_UI4 key of odd records
inline constexpr uint16_t kCountId = 3;      // CEVT_UI4, written by text-key entries
inline constexpr uint16_t kLabelId = 4;      // CEVT_LPWSTR, written by number-key entries

struct W2Record {
    bool textKey;
    std::string text;     // text key (even records)
    uint32_t number = 0;  // number key (odd records)
    uint32_t count = 0;   // property 3
    std::string label;    // property 4
};

struct W2Entry {
    bool textKey;
    std::string text;
    uint32_t number = 0;
    uint32_t newCount = 0;   // text-key entries set property 3
    std::string newLabel;    // number-key entries set property 4
};

inline std::string ScrambleCase(const std::string& s, Random& rnd) {
    std::string out = s;
    for (char& c : out) {
        if (rnd.Below(2)) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
        else c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
    }
    return out;
}

// Key letters: unique per record (the index in base 26) behind a random stem.
inline std::string KeyLetters(uint32_t index, Random& rnd) {
    std::string s;
    const int stem = 6 + static_cast<int>(rnd.Below(8));
    for (int c = 0; c < stem; ++c) s += static_cast<char>('a' + rnd.Below(26));
    for (int d = 0; d < 4; ++d) {
        s += static_cast<char>('a' + index % 26);
        index /= 26;
    }
    return s;
}

inline std::vector<W2Record> W2Records(int records, int database, uint64_t seed = 2) {
    Random rnd(seed * 1000 + static_cast<uint64_t>(database));
    std::vector<W2Record> out;
    out.reserve(records);
    for (int i = 0; i < records; ++i) {
        W2Record r;
        r.textKey = i % 2 == 0;
        if (r.textKey) r.text = ScrambleCase(KeyLetters(static_cast<uint32_t>(i), rnd), rnd);
        else r.number = static_cast<uint32_t>(i) * 7919u + 13u;
        r.count = rnd.Below(1000);
        r.label = "label" + std::to_string(i);
        out.push_back(std::move(r));
    }
    return out;
}

inline std::vector<W2Entry> W2Entries(const std::vector<W2Record>& records, int entries,
                                      int database, uint64_t seed = 3) {
    Random rnd(seed * 1000 + static_cast<uint64_t>(database));
    std::vector<W2Entry> out;
    out.reserve(entries);
    for (int e = 0; e < entries; ++e) {
        W2Entry entry;
        const bool hit = rnd.Below(10) != 0;
        const W2Record& r = records[rnd.Below(static_cast<uint32_t>(records.size()))];
        entry.textKey = r.textKey;
        if (r.textKey) {
            entry.text = hit ? ScrambleCase(r.text, rnd) : "nosuchkey" + std::to_string(e);
            entry.newCount = static_cast<uint32_t>(rnd.Next());
        } else {
            entry.number = hit ? r.number : 0x80000000u + static_cast<uint32_t>(e);
            entry.newLabel = "patched" + std::to_string(rnd.Below(100000));
        }
        out.push_back(std::move(entry));
    }
    return out;
}


inline void PutText(std::vector<uint8_t>& b, uint16_t id, const std::string& ascii) {
    store::AppendLittleEndian(b, uint32_t{id} << 16 | 0x1F, 4);
    store::AppendLittleEndian(b, ascii.size(), 2);
    store::AppendUtf16Le(b, std::u16string(ascii.begin(), ascii.end()));
}

inline void PutNumber(std::vector<uint8_t>& b, uint16_t id, uint32_t n) {
    store::AppendLittleEndian(b, uint32_t{id} << 16 | 0x13, 4);
    store::AppendLittleEndian(b, n, 4);
}

inline std::vector<uint8_t> W2PatchFile(const std::vector<W2Entry>& entries) {
    std::vector<uint8_t> b;
    for (const W2Entry& e : entries) {
        if (e.textKey) {
            PutText(b, kTextKeyId, e.text);
            PutNumber(b, kCountId, e.newCount);
        } else {
            PutNumber(b, kNumberKeyId, e.number);
            PutText(b, kLabelId, e.newLabel);
        }
    }
    return b;
}

}  // namespace workload
