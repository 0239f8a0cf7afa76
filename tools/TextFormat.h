// The text encodings of keys and values used by dump, load and scan.
//
// Escaped text: printable ASCII stands for itself, except the backslash;
// "\\", "\t", "\n", "\r" and "\xHH" stand for the other bytes. A field that
// starts with '#' has it written as "\x23", so that no record line reads as a
// comment. Hex: two hex digits per byte.
#pragma once

#include <string>
#include <string_view>

namespace TamTool {

std::string Escape(std::string_view bytes);
// False when `text` is not a valid escaped field.
bool Unescape(std::string_view text, std::string& bytes);

std::string ToHex(std::string_view bytes);
// False when `text` is not an even number of hex digits.
bool FromHex(std::string_view text, std::string& bytes);

}  // namespace TamTool
