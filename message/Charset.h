// Character sets: the table from MIME charset names to code page numbers,
// the conversions of texts between code pages and UTF-8, and the decoding of
// header texts holding MIME encoded words.
//
// The system's "wide" text is UTF-8 here, so ToUtf8 only ends the text at its
// first zero byte, and ToWide converts bytes of a code page into UTF-8.
// Code page 0 is the thread's ANSI code page: bytes that are valid UTF-8 are
// kept as they are, anything else is read as Windows-1252.
#pragma once

#include <string>
#include <string_view>

namespace tarnwick {

inline constexpr unsigned kAnsiCodePage = 0;
inline constexpr unsigned kUtf8CodePage = 65001;

// The code page of a MIME charset name (letter case ignored; the first row of
// the table that matches wins), 0 when the name is unknown.
unsigned CodePageOf(std::string_view charset);

// Wide text to UTF-8: the text up to its first zero byte.
std::string ToUtf8(std::string_view wide);

// Bytes of the given code page to wide (UTF-8) text. All bytes are converted
// (UTF-16 code pages hold zero bytes); the result ends at its first zero
// character. Code page 0, a code page that cannot be converted and bytes
// that are invalid in it all take the ANSI rule.
std::string ToWide(unsigned codePage, std::string_view bytes);

// Decodes a header text: unfolds it (CR LF followed by a space or tab goes,
// blank included), decodes every encoded word "=?charset?B|Q?text?=" through
// its charset, and converts the bytes around the words from defaultCodePage.
// Blanks between encoded words are kept. A malformed encoded word ends the
// decoding: it and the rest of the text are converted as plain text. The
// text ends at its first zero byte. The result is UTF-8.
std::string DecodeHeaderText(std::string_view text, unsigned defaultCodePage = kAnsiCodePage);

// True when bytes are valid UTF-8 (no overlong forms, no surrogates, nothing
// above U+10FFFF).
bool IsValidUtf8(std::string_view bytes);

}  // namespace tarnwick
