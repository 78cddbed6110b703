// UTF-16 text helpers for the host side, all through ICU: conversion to and from
// UTF-8, Unicode case folding, and case-insensitive comparison.
#pragma once

#include <string>
#include <string_view>

namespace host {

// UTF-8 of UTF-16 text; a lone surrogate becomes U+FFFD.
std::string ToUtf8(std::u16string_view text);

// UTF-16 of UTF-8 text; invalid bytes become U+FFFD.
std::u16string FromUtf8(std::string_view text);

// The case-folded form (full Unicode default folding): the key under which names
// that differ only in letter case are the same.
std::u16string FoldCase(std::u16string_view text);

bool EqualNoCase(std::u16string_view a, std::u16string_view b);

// Orders by the case-folded forms, then by the text itself so the order is total.
int CompareNoCase(std::u16string_view a, std::u16string_view b);

}  // namespace host
