#include "message/Charset.h"

#include "message/CodePageConverter.h"
#include "message/Encoding.h"
#include "platform/AsciiText.h"

#include <iterator>

namespace tarnwick {

namespace {

// MIME charset names and their code pages, searched in this order; the first
// row that matches wins (so "iso-2022-jp" gives 50222, never 50220).
constexpr std::string_view kCharsetTable[] = {
    "DIN_66003 20106",   "NS_4551-1 20108",    "SEN_850200_B 20107", "_autodetect 50932",
    "_autodetect_kr 50949", "big5 950",        "csISO2022JP 50221",  "euc-kr 51949",
    "gb2312 936",        "gbk 936",            "euc_cn 936",         "hz-gb-2312 52936",
    "ibm852 852",        "ibm866 866",         "irv 20105",          "iso-2022-jp 50222",
    "iso-2022-jp 50220", "iso-2022-kr 50225",  "euc-kr 51949",       "iso-8859-1 28591",
    "iso-8859-2 28592",  "iso-8859-3 28593",   "iso-8859-4 28594",   "iso-8859-5 28595",
    "iso-8859-6 28596",  "iso-8859-7 28597",   "iso-8859-8 28598",   "iso-8859-9 28599",
    "iso-8859-15 28605", "koi8-r 20866",       "ks_c_5601 949",      "ks_c_5601-1987 949",
    "shift-jis 932",     "unicode 1200",       "unicodeFEFF 1201",   "utf-7 65000",
    "utf-8 65001",       "windows-1250 1250",  "windows-1251 1251",  "windows-1252 1252",
    "windows-1253 1253", "windows-1254 1254",  "windows-1255 1255",  "windows-1256 1256",
    "windows-1257 1257", "windows-1258 1258",  "windows-874 874",    "GB18030 54936",
    "hz-gb-2312 52936",  "x-euc 51932",
};
static_assert(std::size(kCharsetTable) == 50);

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// Windows-1252 differs from Latin-1 only in 0x80..0x9F; the five bytes it
// leaves undefined map to the C1 controls of the same value.
constexpr char16_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

std::string FromWindows1252(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size() + bytes.size() / 2);
  for (char ch : bytes) {
    auto b = static_cast<unsigned char>(ch);
    if (b >= 0x80 && b < 0xA0) {
      AppendUtf8(out, kCp1252High[b - 0x80]);
    } else {
      AppendUtf8(out, b);
    }
  }
  return out;
}

// The thread's ANSI code page: valid UTF-8 stays, anything else is 1252.
std::string FromAnsi(std::string_view bytes) {
  if (IsValidUtf8(bytes)) return std::string(bytes);
  return FromWindows1252(bytes);
}

std::string UpToZero(std::string text) {
  if (auto zero = text.find('\0'); zero != std::string::npos) text.resize(zero);
  return text;
}

// Removes every CR LF SP and CR LF TAB: folded lines are joined and the first
// blank of each continuation line goes too.
std::string Unfold(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    if (text[i] == '\r' && i + 2 < text.size() && text[i + 1] == '\n' &&
        (text[i + 2] == ' ' || text[i + 2] == '\t')) {
      i += 3;
    } else {
      out += text[i++];
    }
  }
  return out;
}

}  // namespace

unsigned CodePageOf(std::string_view charset) {
  for (std::string_view row : kCharsetTable) {
    std::size_t space = row.find(' ');
    if (!EqualsNoCase(row.substr(0, space), charset)) continue;
    unsigned cp = 0;
    for (char c : row.substr(space + 1)) cp = cp * 10 + static_cast<unsigned>(c - '0');
    return cp;
  }
  return 0;
}

bool IsValidUtf8(std::string_view bytes) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  std::size_t n = bytes.size();
  std::size_t i = 0;
  while (i < n) {
    unsigned char b = p[i];
    if (b < 0x80) {
      ++i;
      continue;
    }
    std::size_t len;
    unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
    if (b >= 0xC2 && b <= 0xDF) {
      len = 2;
    } else if (b >= 0xE0 && b <= 0xEF) {
      len = 3;
      if (b == 0xE0) lo = 0xA0;  // overlong
      if (b == 0xED) hi = 0x9F;  // surrogates
    } else if (b >= 0xF0 && b <= 0xF4) {
      len = 4;
      if (b == 0xF0) lo = 0x90;  // overlong
      if (b == 0xF4) hi = 0x8F;  // above U+10FFFF
    } else {
      return false;
    }
    if (n - i < len) return false;
    if (p[i + 1] < lo || p[i + 1] > hi) return false;
    for (std::size_t k = 2; k < len; ++k) {
      if (p[i + k] < 0x80 || p[i + k] > 0xBF) return false;
    }
    i += len;
  }
  return true;
}

std::string ToUtf8(std::string_view wide) { return std::string(wide.substr(0, wide.find('\0'))); }

std::string ToWide(unsigned codePage, std::string_view bytes) {
  if (bytes.empty()) return {};
  switch (codePage) {
    case kAnsiCodePage:
      return UpToZero(FromAnsi(bytes));
    case kUtf8CodePage:
      return UpToZero(IsValidUtf8(bytes) ? std::string(bytes) : FromWindows1252(bytes));
    case 1252:
      return UpToZero(FromWindows1252(bytes));
    default:
      break;
  }
  // Whatever the converter hands back must be UTF-8 before it goes on.
  std::string out;
  if (detail::ConvertCodePage(codePage, bytes, out) && IsValidUtf8(out)) {
    return UpToZero(std::move(out));
  }
  return UpToZero(FromAnsi(bytes));
}

std::string DecodeHeaderText(std::string_view input, unsigned defaultCodePage) {
  const std::string text = Unfold(input.substr(0, input.find('\0')));
  const std::string_view t = text;
  constexpr auto npos = std::string_view::npos;

  std::string out;
  std::size_t cur = 0;
  for (;;) {
    std::size_t start = t.find("=?", cur);
    if (start == npos) break;
    // "=?" charset "?" B|Q "?" encoded-text "?="
    std::size_t q1 = t.find('?', start + 2);
    if (q1 == npos || q1 + 2 >= t.size()) break;
    char enc = t[q1 + 1];
    bool base64 = enc == 'B' || enc == 'b';
    if (!base64 && enc != 'Q' && enc != 'q') break;
    if (t[q1 + 2] != '?') break;
    std::size_t close = t.find("?=", q1 + 3);
    if (close == npos) break;

    // The plain text before the word comes from the default code page as the
    // rest does, so that the result is UTF-8 throughout.
    out += ToWide(defaultCodePage, t.substr(cur, start - cur));

    std::string_view charset = t.substr(start + 2, q1 - start - 2);
    std::string_view encoded = t.substr(q1 + 3, close - q1 - 3);
    std::vector<std::uint8_t> bytes;
    if (base64) {
      bytes = Base64Decode(encoded);
    } else {
      std::string qp(encoded);
      for (char& c : qp) {
        if (c == '_') c = ' ';
      }
      bytes = QuotedPrintableDecode(qp);
    }
    if (!bytes.empty()) {
      unsigned cp = charset.empty() ? defaultCodePage : CodePageOf(charset);
      std::string_view raw(reinterpret_cast<const char*>(bytes.data()), bytes.size());
      out += ToUtf8(ToWide(cp, raw));
    }
    cur = close + 2;
  }
  // No further encoded word, or a malformed one: the rest is plain text.
  out += ToUtf8(ToWide(defaultCodePage, t.substr(cur)));
  return out;
}

}  // namespace tarnwick
