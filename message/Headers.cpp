#include "message/Headers.h"

#include "message/Charset.h"
#include "platform/AsciiText.h"

namespace tarnwick {

namespace {

// The message as a zero-terminated text: up to its first zero byte.
std::string_view AsText(std::string_view message) {
  return message.substr(0, message.find('\0'));
}

// True when the line starting at pos begins with name (letter case ignored)
// directly followed by ":".
bool IsHeaderLine(std::string_view text, std::size_t pos, std::string_view name) {
  if (text.size() - pos <= name.size()) return false;
  for (std::size_t i = 0; i < name.size(); ++i) {
    if (AsciiLower(text[pos + i]) != AsciiLower(name[i])) return false;
  }
  return text[pos + name.size()] == ':';
}

// The offset just after a header whose value starts at from: after the LF
// that is not followed by a continuation line, or the end of the text.
std::size_t HeaderEnd(std::string_view text, std::size_t from) {
  for (;;) {
    std::size_t lf = text.find('\n', from);
    if (lf == std::string_view::npos) return text.size();
    from = lf + 1;
    if (from >= text.size() || (text[from] != ' ' && text[from] != '\t')) return from;
  }
}

// Offset of the start of the first header line called name, or npos. The
// header section ends at a line start (after the first line) for which
// endsSection answers true.
template <typename EndsSection>
std::size_t FindHeaderLine(std::string_view text, std::string_view name, EndsSection endsSection) {
  std::size_t pos = 0;
  bool first = true;
  while (pos < text.size()) {
    bool examine = true;
    if (!first) {
      char c = text[pos];
      if (c == ' ' || c == '\t') {
        examine = false;  // continuation line, never a header start
      } else if (endsSection(text, pos)) {
        return std::string_view::npos;
      }
    }
    if (examine && IsHeaderLine(text, pos, name)) return pos;
    first = false;
    std::size_t lf = text.find('\n', pos);
    if (lf == std::string_view::npos) break;
    pos = lf + 1;
  }
  return std::string_view::npos;
}

}  // namespace

std::string_view TrimView(std::string_view text, std::string_view set) {
  if (set.empty()) return text;
  std::size_t first = text.find_first_not_of(set);
  if (first == std::string_view::npos) return text.substr(0, 0);
  std::size_t last = text.find_last_not_of(set);
  return text.substr(first, last - first + 1);
}

std::string& Trim(std::string& text, std::string_view set) {
  if (set.empty()) return text;
  std::size_t last = text.find_last_not_of(set);
  if (last == std::string::npos) {
    text.clear();
    return text;
  }
  text.erase(last + 1);
  text.erase(0, text.find_first_not_of(set));
  return text;
}

bool HeaderValue(std::string_view message, std::string_view name, std::string& value,
                 std::size_t* end) {
  value.clear();
  std::string_view text = AsText(message);
  if (text.empty() || name.empty()) return false;
  // A CR or LF at a line start is the empty line that ends the header section.
  std::size_t pos = FindHeaderLine(text, name, [](std::string_view t, std::size_t p) {
    return t[p] == '\r' || t[p] == '\n';
  });
  if (pos == std::string_view::npos) return false;
  std::size_t start = pos + name.size() + 1;
  std::size_t stop = HeaderEnd(text, start);
  value.assign(text.substr(start, stop - start));
  if (end) *end = stop;
  Trim(value, kBlanks);
  return true;
}

void RemoveHeader(std::string& message, std::string_view name) {
  std::string_view text = AsText(message);
  if (text.empty() || name.empty()) return;
  // The section ends at an empty line, whether it ends in CR LF or in a bare
  // LF, so that a message with bare LF line ends never loses a body line.
  std::size_t pos = FindHeaderLine(text, name, [](std::string_view t, std::size_t p) {
    return t[p] == '\n' || (t[p] == '\r' && p + 1 < t.size() && t[p + 1] == '\n');
  });
  if (pos == std::string_view::npos) return;
  std::size_t stop = HeaderEnd(text, pos + name.size() + 1);
  message.erase(pos, stop - pos);
}

std::optional<std::size_t> FindHeaderEnd(std::string_view message) {
  std::string_view text = AsText(message);
  for (std::size_t lf = text.find('\n'); lf != std::string_view::npos;
       lf = text.find('\n', lf + 1)) {
    std::size_t next = lf + 1;
    if (next >= text.size()) break;
    if (text[next] == '\n') return next;
    if (text[next] == '\r' && next + 1 < text.size() && text[next + 1] == '\n') return next;
  }
  return std::nullopt;
}

void SplitAddress(std::string_view text, std::string& displayName, std::string& address) {
  constexpr std::string_view kAddressTrim = " \"<>";
  std::string_view name = text;
  std::string_view addr = text;
  if (std::size_t lt = text.find('<'); lt != std::string_view::npos) {
    name = text.substr(0, lt);
    addr = text.substr(lt);
  }
  name = TrimView(name, kAddressTrim);
  address.assign(TrimView(addr, kAddressTrim));
  if (name.empty()) {
    displayName = address;
  } else {
    displayName = DecodeHeaderText(name, kAnsiCodePage);
  }
}

}  // namespace tarnwick
