// Small text helpers shared by the EWS and WebDAV clients.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tarnwick {

// A size as the server lists it, read as a decimal integer (0 when it is
// not one) and multiplied by 1.4, truncated toward zero: servers list less
// than the fetched message turns out to hold. Held within int32.
int32_t ScaledSize(std::string_view text);

// Text with "&", "<", ">" and '"' written as entities, for values placed
// inside a request's markup.
std::string XmlEscape(std::string_view text);

}  // namespace tarnwick
