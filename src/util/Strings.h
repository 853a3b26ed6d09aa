#pragma once
// Byte-string helpers shared by every layer. Strings are byte strings; "case" means ASCII
// letters only (A-Z, a-z), never the locale.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvan {

char AsciiLower(char c);
char AsciiUpper(char c);
std::string AsciiLowerCase(std::string_view s);
std::string AsciiUpperCase(std::string_view s);

// Equality and ordering ignoring ASCII case.
bool EqualNoCase(std::string_view a, std::string_view b);
int CompareNoCase(std::string_view a, std::string_view b);
bool StartsWithNoCase(std::string_view s, std::string_view prefix);

// Blanks are space and tab; white space also includes CR, LF, VT and FF.
bool IsBlank(char c);
bool IsWhiteSpace(char c);
std::string_view TrimWhiteSpace(std::string_view s);
std::string_view TrimBlanks(std::string_view s);
// Trims every byte from 0 to 32 (control characters and space) from both ends.
std::string_view TrimControlsAndSpace(std::string_view s);

// Splits at every occurrence of the delimiter; an empty input gives one empty piece.
std::vector<std::string> Split(std::string_view s, char delimiter);

// Whole-string decimal parse of an optionally signed integer; nullopt on anything else
// (empty, stray characters, overflow).
std::optional<int64_t> ParseInt64(std::string_view s);
// Whole-string parse of unsigned decimal digits only (no sign, no blanks).
std::optional<uint64_t> ParseDigits(std::string_view s);
// Whole-string parse of hexadecimal digits only (no prefix, no sign).
std::optional<uint64_t> ParseHex(std::string_view s);

// Base64 of RFC 4648 (standard alphabet, '=' padding). Decoding accepts the text with or
// without its padding; anything else (a foreign character, padding inside the text, a length
// that no encoding gives) answers nullopt.
std::string Base64Encode(std::string_view data);
std::optional<std::string> Base64Decode(std::string_view text);

// printf into a std::string.
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

} // namespace corvan
