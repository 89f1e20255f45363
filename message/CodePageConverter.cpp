#include "message/CodePageConverter.h"

#include <iconv.h>

#include <cerrno>
#include <vector>

namespace tarnwick::detail {

namespace {

struct CodePageName {
  unsigned codePage;
  const char* iconvName;
};

// The converters behind the code pages of the charset table (and a few more
// that callers name). Code pages missing here (the autodetect pages,
// HZ-GB-2312) have no converter and take the ANSI rule. The Japanese mail
// code pages carry half-width katakana (ESC ( I), which plain ISO-2022-JP
// converters refuse; ISO-2022-JP-3 reads them along with the JIS X 0208 and
// JIS X 0201 sets.
constexpr CodePageName kCodePages[] = {
    {437, "CP437"},           {850, "CP850"},
    {852, "CP852"},           {866, "CP866"},
    {874, "WINDOWS-874"},     {932, "CP932"},
    {936, "CP936"},           {949, "CP949"},
    {950, "CP950"},           {1200, "UTF-16LE"},
    {1201, "UTF-16BE"},       {1250, "CP1250"},
    {1251, "CP1251"},         {1252, "CP1252"},
    {1253, "CP1253"},         {1254, "CP1254"},
    {1255, "CP1255"},         {1256, "CP1256"},
    {1257, "CP1257"},         {1258, "CP1258"},
    {20105, "ISO_646.IRV:1991"}, {20106, "DIN_66003"},
    {20107, "SEN_850200_B"},  {20108, "NS_4551-1"},
    {20866, "KOI8-R"},        {21866, "KOI8-U"},
    {28591, "ISO-8859-1"},    {28592, "ISO-8859-2"},
    {28593, "ISO-8859-3"},    {28594, "ISO-8859-4"},
    {28595, "ISO-8859-5"},    {28596, "ISO-8859-6"},
    {28597, "ISO-8859-7"},    {28598, "ISO-8859-8"},
    {28599, "ISO-8859-9"},    {28605, "ISO-8859-15"},
    {50220, "ISO-2022-JP-3"}, {50221, "ISO-2022-JP-3"},
    {50222, "ISO-2022-JP-3"}, {50225, "ISO-2022-KR"},
    {51932, "EUC-JP"},        {51949, "EUC-KR"},
    {54936, "GB18030"},       {65000, "UTF-7"},
};

const char* IconvName(unsigned codePage) {
  for (const auto& row : kCodePages) {
    if (row.codePage == codePage) return row.iconvName;
  }
  return nullptr;
}

// One open converter, closed with its owner.
class Converter {
 public:
  explicit Converter(const char* from) : cd_(iconv_open("UTF-8", from)) {}
  Converter(Converter&& o) noexcept : cd_(o.cd_) { o.cd_ = reinterpret_cast<iconv_t>(-1); }
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;
  Converter& operator=(Converter&&) = delete;
  ~Converter() {
    if (valid()) iconv_close(cd_);
  }
  bool valid() const { return cd_ != reinterpret_cast<iconv_t>(-1); }
  iconv_t get() const { return cd_; }

 private:
  iconv_t cd_;
};

struct CachedConverter {
  unsigned codePage;
  Converter converter;
};

// Opening a converter costs far more than a short conversion, and header
// texts hold many short encoded words, so each thread keeps the converters
// it has opened.
iconv_t ConverterFor(unsigned codePage) {
  thread_local std::vector<CachedConverter> cache;
  for (const auto& c : cache) {
    if (c.codePage == codePage) return c.converter.valid() ? c.converter.get() : nullptr;
  }
  const char* name = IconvName(codePage);
  if (!name) return nullptr;
  cache.push_back({codePage, Converter(name)});
  const Converter& conv = cache.back().converter;
  return conv.valid() ? conv.get() : nullptr;
}

}  // namespace

bool ConvertCodePage(unsigned codePage, std::string_view bytes, std::string& out) {
  out.clear();
  iconv_t cd = ConverterFor(codePage);
  if (!cd) return false;
  iconv(cd, nullptr, nullptr, nullptr, nullptr);  // back to the initial shift state

  std::string buf(bytes.size() * 4 + 16, '\0');
  char* in = const_cast<char*>(bytes.data());
  std::size_t inLeft = bytes.size();
  std::size_t used = 0;
  bool flushing = false;
  for (;;) {
    char* dst = buf.data() + used;
    std::size_t outLeft = buf.size() - used;
    std::size_t r = flushing ? iconv(cd, nullptr, nullptr, &dst, &outLeft)
                             : iconv(cd, &in, &inLeft, &dst, &outLeft);
    used = static_cast<std::size_t>(dst - buf.data());
    if (r != static_cast<std::size_t>(-1)) {
      if (flushing) break;
      flushing = true;  // write out whatever a stateful encoding still holds
      continue;
    }
    if (errno != E2BIG) return false;  // invalid or incomplete input
    buf.resize(buf.size() * 2);
  }
  buf.resize(used);
  out = std::move(buf);
  return true;
}

}  // namespace tarnwick::detail
