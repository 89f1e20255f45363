// The system's code page converter (the one place that talks to iconv).
#pragma once

#include <string>
#include <string_view>

namespace tarnwick::detail {

// Converts bytes of the given code page into UTF-8 in out. False when the
// code page has no converter here or the bytes are not valid in it.
bool ConvertCodePage(unsigned codePage, std::string_view bytes, std::string& out);

}  // namespace tarnwick::detail
