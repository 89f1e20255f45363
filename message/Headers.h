// Small routines over 8-bit message text in the Internet message format:
// header lines of a name, a colon and a value, continuation lines starting
// with a space or a tab, and an empty line before the body.
//
// The header scanners (HeaderValue, RemoveHeader, FindHeaderEnd) treat the
// message as a zero-terminated text: a zero byte ends it, and nothing after
// it is looked at. Trim and SplitAddress work on every byte they are given
// (the display name is decoded as a header text, which ends at a zero byte).
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace tarnwick {

// The blanks trimmed from header values and most texts of the system.
inline constexpr std::string_view kBlanks = " \r\n\t";

// Removes every leading, then every trailing character of text that is in
// set; an empty set changes nothing. Returns text.
std::string& Trim(std::string& text, std::string_view set);
// The same over a view: the part of text left after trimming.
std::string_view TrimView(std::string_view text, std::string_view set);

// Finds the first header called name (compared without regard to letter
// case, directly followed by ":") in the header section of message and
// stores its value, continuation lines included (not unfolded), trimmed of
// kBlanks. When end is given it receives the offset in message just after
// the untrimmed value (after the LF that ends its last line, or the end of
// the text). Returns false, with value cleared, when the header is not there
// before the empty line that ends the header section.
bool HeaderValue(std::string_view message, std::string_view name, std::string& value,
                 std::size_t* end = nullptr);

// Cuts the first header called name, with its continuation lines, out of
// message. Nothing changes when there is no such header.
void RemoveHeader(std::string& message, std::string_view name);

// The offset of the first byte of the empty line that ends the header
// section (an LF followed by LF, or by CR LF), or nothing.
std::optional<std::size_t> FindHeaderEnd(std::string_view message);

// Splits one address such as "\"Ann Lee\" <ann@example.org>" into its display
// name (encoded words decoded, UTF-8; the address itself when there is no
// name) and its bare address. Only the two ends of each part are trimmed of
// blanks, double quotes and angle brackets.
void SplitAddress(std::string_view text, std::string& displayName, std::string& address);

}  // namespace tarnwick
