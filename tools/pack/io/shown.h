// How messages show what they name: a field's value, a character unit of an image, and any
// text read from outside, so that nothing a file holds reaches the terminal as a command.
#pragma once

#include <cstdint>
#include <string>

// A field's value as messages show it: "0x" and lower-case hex digits.
std::string Hex(std::uint64_t value);
// A character unit read from an image as messages show it: printable ASCII as it is, any
// other unit, and the backslash, as "\uXXXX", so that an image cannot reach the terminal.
std::string Printable(std::uint32_t unit);
// Whether a code point changes the order text is shown in (U+061C, U+200E, U+200F,
// U+202A to U+202E, U+2066 to U+2069).
bool IsBidiControl(std::uint32_t codePoint);
// A path, or anything else read from outside, as messages show it: each control character
// (C0, DEL and C1) and each bidirectional mark as "\uXXXX" and each byte that is not UTF-8 as
// "\xXX", so that one problem is one line and nothing reaches the terminal as a command.
std::string Shown(const std::string& text);
