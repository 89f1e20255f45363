#include "admin/Manager.h"

#include "admin/DispatchHelpers.h"
#include "platform/Desktop.h"
#include "platform/Files.h"

#include <array>

namespace tarnwick {

namespace {

constexpr std::array<DispatchMember, 14> kMembers{{
    {"Connect", 1}, {"Close", 2}, {"QuerySessionDesc", 3}, {"OpenDoc", 4}, {"Configs", 5},
    {"UpdateConfig", 6}, {"RefreshConfig", 7}, {"QueryLog", 8}, {"OpenFolder", 9}, {"OpenFile", 10},
    {"ExistFile", 11}, {"Test", 12}, {"QueryTestResult", 13}, {"Uninstall", 14},
}};

constexpr std::string_view kConfigHead = "config_name:config/mailpull\r\n\r\n";
constexpr std::string_view kServiceDown =
    "Failed to connect service instant! Please make sure Plinthor Service is running!";

std::string_view Trim(std::string_view s, std::string_view chars) {
  std::size_t b = s.find_first_not_of(chars);
  if (b == std::string_view::npos) return {};
  std::size_t e = s.find_last_not_of(chars);
  return s.substr(b, e - b + 1);
}

// Fields of a status line: split at "," and ";" outside double quotes.
std::vector<std::string> Fields(std::string_view line) {
  std::vector<std::string> fields;
  bool quoted = false;
  std::size_t start = 0;
  auto take = [&](std::size_t end) {
    std::string_view f = Trim(line.substr(start, end - start), " ;,\r\n\t");
    if (!Trim(f, "\"<>' ").empty()) fields.emplace_back(Trim(f, "\", \t"));
  };
  for (std::size_t i = 0; i < line.size(); ++i) {
    if (line[i] == '"') quoted = !quoted;
    if (!quoted && (line[i] == ',' || line[i] == ';')) {
      take(i);
      start = i + 1;
    }
  }
  take(line.size());
  return fields;
}

// The module folder, for the help file and the uninstaller.
std::string ModuleFolder() { return ModuleFolderOf(reinterpret_cast<const void*>(&ModuleFolder)); }

}  // namespace

std::vector<std::string> ReplyLines(std::string_view reply) {
  std::vector<std::string> lines;
  std::size_t pos = 0;
  for (;;) {
    std::size_t lf = reply.find('\n', pos);
    if (lf == std::string_view::npos) break;
    std::string_view line = Trim(reply.substr(pos, lf - pos), " \r\n\t");
    if (!line.empty()) lines.emplace_back(line);
    pos = lf + 1;
  }
  return lines;
}

std::vector<WorkerRow> WorkerRows(std::string_view reply) {
  std::vector<WorkerRow> rows;
  for (const std::string& line : ReplyLines(reply)) {
    std::vector<std::string> f = Fields(line);
    if (f.size() >= 3) rows.push_back(WorkerRow{f[0], f[1], f[2]});
  }
  return rows;
}

std::string WorkerRowsHtml(std::string_view reply) {
  std::string html;
  for (const WorkerRow& r : WorkerRows(reply))
    html += "<tr><td>" + r.thread + "</td><td>" + r.account + "</td><td>" + r.state + "</td></tr>";
  return html;
}

std::string LogFileName(std::string_view path) {
  std::size_t cut = path.find_last_of("/\\");
  return std::string(cut == std::string_view::npos ? path : path.substr(cut + 1));
}

std::string LogListHtml(std::string_view reply) {
  std::vector<std::string> paths = ReplyLines(reply);
  std::string html = "<ul>";
  for (auto it = paths.rbegin(); it != paths.rend(); ++it) {
    // An absolute path already brings the third slash of "file:///".
    std::string url = (it->starts_with("/") ? "file://" : "file:///") + *it;
    html += "<li><a href=\"" + url + "\" target=\"_blank\">" + LogFileName(*it) + "</a></li>";
  }
  if (paths.empty()) html += "<li>No log file found!</li>";
  html += "</ul>";
  return html;
}

std::string TestRequestText(IConfigItem& item) {
  return std::string(kConfigHead) + SerializeConfig(ItemBlockForTest(item));
}

RefPtr<Manager> Manager::Create() { return RefPtr<Manager>(new Manager()); }

Manager::~Manager() { Close(); }

HRESULT Manager::QueryInterface(const Guid& iid, void** out) {
  return QueryOwnInterface(iid, IID_IManager, out);
}

HRESULT Manager::GetIDsOfNames(std::string_view name, int32_t& dispid) { return FindDispid(kMembers, name, dispid); }

HRESULT Manager::Invoke(int32_t dispid, uint16_t kind, std::span<const Variant> args, Variant* result) {
  using namespace dispatch;
  auto text = [](const std::optional<std::string>& t) { return t ? Variant::Bstr(*t) : Variant::Null(); };
  if (dispid == 5) {
    if (!IsGet(kind)) return DISP_E_MEMBERNOTFOUND;
    if (HRESULT hr = Count(args, 0); !Succeeded(hr)) return hr;
    IConfigCollection* c = nullptr;
    get_Configs(&c);
    RefPtr<IConfigCollection> hold = RefPtr<IConfigCollection>::Adopt(c);
    Set(result, Variant::Dispatch(c));
    return S_OK;
  }
  if (dispid < 1 || dispid > 14) return DISP_E_MEMBERNOTFOUND;
  if (!IsCall(kind)) return DISP_E_MEMBERNOTFOUND;
  switch (dispid) {
    case 1: {
      if (HRESULT hr = Count(args, 0); !Succeeded(hr)) return hr;
      int32_t r = 1;
      Connect(&r);
      Set(result, Variant::I4(r));
      return S_OK;
    }
    case 2:
    case 6:
    case 7:
    case 14:
      if (HRESULT hr = Count(args, 0); !Succeeded(hr)) return hr;
      return dispid == 2 ? Close() : dispid == 6 ? UpdateConfig() : dispid == 7 ? RefreshConfig() : Uninstall();
    case 3:
    case 8: {
      if (HRESULT hr = Count(args, 1); !Succeeded(hr)) return hr;
      int32_t format = 0;
      if (HRESULT hr = args[0].ToLong(format); !Succeeded(hr)) return hr;
      std::optional<std::string> r;
      if (dispid == 3)
        QuerySessionDesc(format, &r);
      else
        QueryLog(format, &r);
      Set(result, text(r));
      return S_OK;
    }
    case 4: {
      if (HRESULT hr = Count(args, 1); !Succeeded(hr)) return hr;
      std::string doc;
      if (HRESULT hr = Text(args[0], doc); !Succeeded(hr)) return hr;
      return OpenDoc(doc);
    }
    case 9: {
      if (HRESULT hr = Count(args, 0); !Succeeded(hr)) return hr;
      std::optional<std::string> r;
      OpenFolder(&r);
      Set(result, text(r));
      return S_OK;
    }
    case 10:
    case 11: {
      if (HRESULT hr = Count(args, 1); !Succeeded(hr)) return hr;
      std::optional<std::string> in;
      if (HRESULT hr = Text(args[0], in); !Succeeded(hr)) return hr;
      if (dispid == 10) {
        std::optional<std::string> r;
        OpenFile(in, &r);
        Set(result, text(r));
      } else {
        VARIANT_BOOL r = VARIANT_FALSE;
        ExistFile(in, &r);
        Set(result, Variant::Bool(r != 0));
      }
      return S_OK;
    }
    case 12: {
      if (HRESULT hr = Count(args, 1); !Succeeded(hr)) return hr;
      RefPtr<IConfigItem> item;
      if (HRESULT hr = ConfigItemArgument(args[0], item); !Succeeded(hr)) return hr;
      // A late-bound caller cannot pass a starting value; -1 tells it that
      // the test was not handed over.
      int32_t r = -1;
      Test(item.get(), &r);
      Set(result, Variant::I4(r));
      return S_OK;
    }
    case 13: {
      if (HRESULT hr = Count(args, 1); !Succeeded(hr)) return hr;
      std::string name;
      if (HRESULT hr = Text(args[0], name); !Succeeded(hr)) return hr;
      std::optional<std::string> r;
      QueryTestResult(name, &r);
      Set(result, text(r));
      return S_OK;
    }
    default:
      return DISP_E_MEMBERNOTFOUND;
  }
}

int Manager::Exchange(int32_t type, std::string_view data, std::string& reply) {
  lastExchangeError_ = client_.Exchange(type, data, reply);
  return lastExchangeError_;
}

HRESULT Manager::Connect(int32_t* out) {
  int32_t r = 1;
  lastConnectError_ = client_.Open();
  if (lastConnectError_ == 0) {
    r = 2;
    ControlMessage greeting;
    lastConnectError_ = client_.Receive(greeting);
    if (lastConnectError_ == 0)
      r = 0;
    else
      client_.Close();
  }
  if (out) *out = r;
  return S_OK;
}

HRESULT Manager::Close() {
  client_.Close();
  configs_.reset();
  return S_OK;
}

HRESULT Manager::QuerySessionDesc(int32_t formatDesc, std::optional<std::string>* out) {
  std::string reply;
  if (Exchange(kStatusList, {}, reply) != 0) return S_OK;
  if (out) *out = formatDesc == 0 ? reply : WorkerRowsHtml(reply);
  return S_OK;
}

HRESULT Manager::OpenDoc(std::string_view) {
  ShellOpen(JoinPath(ModuleFolder(), "tarnwick.chm"));
  return S_OK;
}

RefPtr<ConfigCollection> Manager::Configs() {
  if (configs_) return configs_;
  std::string reply;
  if (Exchange(kGetConfig, "config_name: config/mailpull", reply) != 0) return nullptr;
  RefPtr<ConfigCollection> c = ConfigCollection::Create();
  c->put_RawContent(reply);
  configs_ = c;
  return configs_;
}

HRESULT Manager::get_Configs(IConfigCollection** out) {
  if (!out) return S_OK;
  *out = nullptr;
  RefPtr<ConfigCollection> c = Configs();
  if (c) *out = RefPtr<IConfigCollection>(c.get()).detach();
  return S_OK;
}

HRESULT Manager::UpdateConfig() {
  if (!configs_) return S_OK;
  std::string text;
  configs_->get_RawContent(&text);
  std::string reply;
  Exchange(kPutConfig, std::string(kConfigHead) + text, reply);
  return S_OK;
}

HRESULT Manager::RefreshConfig() {
  configs_.reset();
  return S_OK;
}

HRESULT Manager::QueryLog(int32_t formatDesc, std::optional<std::string>* out) {
  std::string reply;
  if (Exchange(kLogList, {}, reply) != 0) return S_OK;
  if (out) *out = formatDesc == 0 ? reply : LogListHtml(reply);
  return S_OK;
}

HRESULT Manager::OpenFolder(std::optional<std::string>* out) {
  std::optional<std::string> picked =
      RunForOutput("zenity", {"--file-selection", "--directory", "--title=Select a folder"});
  if (!picked) return S_OK;
  while (!picked->empty() && (picked->back() == '\n' || picked->back() == '\r')) picked->pop_back();
  // A root (3 characters or fewer) is not taken.
  if (picked->size() > 3 && out) *out = *picked;
  return S_OK;
}

HRESULT Manager::OpenFile(const std::optional<std::string>& filter, std::optional<std::string>* out) {
  std::vector<std::string> args{"--file-selection"};
  if (filter && !filter->empty() && filter->size() <= 127) {
    // "Text files|*.txt;*.log|All files|*.*|": pairs of a description and
    // its patterns, each followed by a bar.
    std::vector<std::string> parts;
    std::string cur;
    for (char c : *filter) {
      if (c == '|') {
        parts.push_back(cur);
        cur.clear();
      } else {
        cur.push_back(c);
      }
    }
    if (!cur.empty()) parts.push_back(cur);
    for (std::size_t i = 0; i + 1 < parts.size(); i += 2) {
      std::string patterns = parts[i + 1];
      for (char& c : patterns)
        if (c == ';') c = ' ';
      args.push_back("--file-filter=" + parts[i] + " | " + patterns);
    }
  }
  std::optional<std::string> picked = RunForOutput("zenity", args);
  if (!picked) return S_OK;
  while (!picked->empty() && (picked->back() == '\n' || picked->back() == '\r')) picked->pop_back();
  if (!picked->empty() && FileExists(*picked) && out) *out = *picked;
  return S_OK;
}

HRESULT Manager::ExistFile(const std::optional<std::string>& fileOrFolder, VARIANT_BOOL* out) {
  bool found = fileOrFolder && PathPatternMatches(*fileOrFolder);
  if (out) *out = found ? VARIANT_TRUE : VARIANT_FALSE;
  return S_OK;
}

HRESULT Manager::Test(IConfigItem* item, int32_t* out) {
  if (!item) {
    if (out) *out = 1;
    return S_OK;
  }
  std::string reply;
  if (Exchange(kTestAccount, TestRequestText(*item), reply) == 0 && out) *out = 0;
  return S_OK;
}

HRESULT Manager::QueryTestResult(std::string_view name, std::optional<std::string>* out) {
  std::string reply;
  if (Exchange(kTestAccount, "testresult: " + std::string(name) + "\r\n\r\n", reply) != 0) {
    if (out) *out = std::string(kServiceDown);
    return S_OK;
  }
  std::string_view verdict = Trim(reply, " \r\n\t");
  if (out) {
    if (verdict.empty())
      out->reset();
    else
      *out = std::string(verdict);
  }
  return S_OK;
}

HRESULT Manager::Uninstall() {
  StartDetached(JoinPath(ModuleFolder(), "uninst"), {});
  return S_OK;
}

int Manager::RunNow(IConfigItem& item) {
  ConfigBlock block = ItemBlockForSave(item);
  std::erase_if(block.entries, [](const ConfigEntry& e) { return ConfigNameEquals(e.key, "DownloadInterval"); });
  std::string reply;
  return Exchange(kRunNow, SerializeConfig(block), reply);
}

}  // namespace tarnwick
