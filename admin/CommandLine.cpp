#include "admin/CommandLine.h"

#include "admin/ConfigCollection.h"
#include "admin/ConfigItem.h"
#include "admin/Manager.h"
#include "control/ControlClient.h"
#include "oauth/TokenClient.h"
#include "platform/AsciiText.h"
#include "platform/Clock.h"
#include "platform/Console.h"
#include "platform/Errors.h"
#include "platform/Files.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <charconv>
#include <iostream>
#include <sstream>

namespace tarnwick {

namespace {

using Json = nlohmann::ordered_json;

constexpr std::string_view kGoodVerdict = "Test is ok, please click Save to update your configuration.";
constexpr std::string_view kControlGroup = "tarnwick";
constexpr std::string_view kMask = "******";
constexpr int kDefaultTestSeconds = 300;

// What the commands share: the console, the Manager and the parsed words.
struct Run {
  explicit Run(CtlConsole& c) : con(c) {}
  CtlConsole& con;
  RefPtr<Manager> manager = Manager::Create();
  bool json = false;
  std::string name;
  std::string key;
  std::string date;
  std::vector<std::string> settings;
  int timeoutSeconds = kDefaultTestSeconds;

  std::ostream& out() { return *con.out; }
  std::ostream& err() { return *con.err; }
  int Fail(int code, const std::string& message) {
    err() << "tarnwickctl: " << message << "\n";
    return code;
  }
};

// One command of the table.
struct Command {
  std::string_view name;
  std::string_view help;
  void (*options)(CLI::App& sub, Run& run);
  int (*action)(Run& run);
};

// ---- talking to the engine ----------------------------------------------

std::string DeniedMessage(const std::string& socket) {
  std::string text = "permission denied on the control socket " + socket + ": ";
  std::optional<FileAccess> access = FileAccessOf(socket);
  if (GroupExists(std::string(kControlGroup))) {
    text += "join the group \"" + std::string(kControlGroup) + "\" (as root: usermod -aG " +
            std::string(kControlGroup) + " " + CurrentUserName() + "), then log in again";
  } else {
    text += "only root may use it while the group \"" + std::string(kControlGroup) +
            "\" does not exist; create it (as root: groupadd --system " + std::string(kControlGroup) +
            "), restart the engine and join the group";
  }
  if (access) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", access->mode);
    text += " (socket " + access->owner + ":" + access->group + " mode " + mode + ")";
  }
  return text;
}

// Connects; 0 or the exit code after a message.
int ConnectEngine(Run& run) {
  int32_t result = 1;
  run.manager->Connect(&result);
  if (result == 0) return 0;
  const std::string socket = ControlSocketPath();
  const int e = run.manager->LastConnectError();
  if (e == err::kAccessDenied) return run.Fail(kCtlDenied, DeniedMessage(socket));
  if (result == 2) return run.Fail(kCtlNoEngine, "the engine did not greet on " + socket + "; is it running?");
  if (e == err::kFileNotFound || e == err::kPathNotFound)
    return run.Fail(kCtlNoEngine, "the engine is not running (no control socket " + socket + ")");
  if (e == err::kConnRefused)
    return run.Fail(kCtlNoEngine, "the engine is not running (nobody listens on " + socket + ")");
  return run.Fail(kCtlNoEngine, "cannot reach the engine at " + socket + ": " + SystemMessage(e));
}

int ExchangeFailed(Run& run, const std::string& what) {
  return run.Fail(kCtlFailed, what + " failed: the engine did not answer (" +
                                  SystemMessage(run.manager->LastExchangeError()) + ")");
}

// The account of that name: exact, else the one that matches without regard
// to letter case.
RefPtr<ConfigItem> FindAccount(ConfigCollection& configs, const std::string& name) {
  RefPtr<ConfigItem> loose;
  int looseCount = 0;
  for (const RefPtr<IConfigItem>& item : configs.Items()) {
    std::string n;
    item->get_Name(&n);
    auto* own = dynamic_cast<ConfigItem*>(item.get());
    if (!own) continue;
    if (n == name) return RefPtr<ConfigItem>(own);
    if (EqualsNoCase(n, name)) {
      loose = RefPtr<ConfigItem>(own);
      ++looseCount;
    }
  }
  return looseCount == 1 ? loose : nullptr;
}

// Connects and fetches the accounts; 0 or the exit code.
int LoadConfigs(Run& run, RefPtr<ConfigCollection>& configs) {
  if (int rc = ConnectEngine(run)) return rc;
  configs = run.manager->Configs();
  if (!configs) return ExchangeFailed(run, "reading the configuration");
  return 0;
}

int LoadAccount(Run& run, RefPtr<ConfigCollection>& configs, RefPtr<ConfigItem>& item) {
  if (int rc = LoadConfigs(run, configs)) return rc;
  item = FindAccount(*configs, run.name);
  if (!item) return run.Fail(kCtlFailed, "no account named \"" + run.name + "\" (see: tarnwickctl accounts)");
  return 0;
}

// Sends the collection back and checks that the engine holds the result.
int Save(Run& run, const std::function<bool(ConfigCollection&)>& check) {
  run.manager->UpdateConfig();
  if (run.manager->LastExchangeError()) return ExchangeFailed(run, "saving the configuration");
  run.manager->RefreshConfig();
  RefPtr<ConfigCollection> now = run.manager->Configs();
  if (!now) return ExchangeFailed(run, "reading the configuration back");
  if (!check(*now)) return run.Fail(kCtlFailed, "the engine did not take the change");
  return 0;
}

// ---- settings -------------------------------------------------------------

std::string Text(IConfigItem& item, HRESULT (IConfigItem::*get)(std::string*)) {
  std::string s;
  (item.*get)(&s);
  return s;
}
int32_t Long(IConfigItem& item, HRESULT (IConfigItem::*get)(int32_t*)) {
  int32_t v = 0;
  (item.*get)(&v);
  return v;
}
bool Flag(IConfigItem& item, HRESULT (IConfigItem::*get)(VARIANT_BOOL*)) {
  VARIANT_BOOL v = 0;
  (item.*get)(&v);
  return v != 0;
}

std::optional<int32_t> WholeNumber(std::string_view text) {
  std::string_view t = text;
  if (!t.empty() && t.front() == '+') t.remove_prefix(1);
  int32_t v = 0;
  auto [end, ec] = std::from_chars(t.data(), t.data() + t.size(), v);
  if (t.empty() || ec != std::errc() || end != t.data() + t.size()) return std::nullopt;
  return v;
}

struct TextKey {
  std::string_view key;
  HRESULT (IConfigItem::*put)(std::string_view);
};
struct NumberKey {
  std::string_view key;
  HRESULT (IConfigItem::*put)(int32_t);
  HRESULT (IConfigItem::*get)(int32_t*);
};
struct FlagKey {
  std::string_view key;
  HRESULT (IConfigItem::*put)(VARIANT_BOOL);
};

const TextKey kTextKeys[] = {
    {"Server", &IConfigItem::put_Server},         {"User", &IConfigItem::put_User},
    {"Password", &IConfigItem::put_Password},     {"LocalUser", &IConfigItem::put_LocalUser},
    {"LocalDomain", &IConfigItem::put_LocalDomain}, {"LocalFolder", &IConfigItem::put_LocalFolder},
    {"StartProcess", &IConfigItem::put_RunCommand},
};
const NumberKey kNumberKeys[] = {
    {"Port", &IConfigItem::put_Port, &IConfigItem::get_Port},
    {"Protocol", &IConfigItem::put_Protocol, &IConfigItem::get_Protocol},
    {"SSLType", &IConfigItem::put_SSLType, &IConfigItem::get_SSLType},
    {"AuthType", &IConfigItem::put_AuthType, &IConfigItem::get_AuthType},
    {"LeaveCopy", &IConfigItem::put_LeaveCopy, &IConfigItem::get_LeaveCopy},
    {"DownloadInterval", &IConfigItem::put_DownloadInterval, &IConfigItem::get_DownloadInterval},
    {"DistributeType", &IConfigItem::put_DistributeType, &IConfigItem::get_DistributeType},
    {"StartTime", &IConfigItem::put_StartTime, &IConfigItem::get_StartTime},
    {"Update", &IConfigItem::put_IsUpdated, &IConfigItem::get_IsUpdated},
};
const FlagKey kFlagKeys[] = {
    {"SSLConnection", &IConfigItem::put_SSLConnection},
    {"Active", &IConfigItem::put_Active},
};

// Keys the engine reads that no property holds; others are kept all the
// same, with a note, since a later engine may read them.
constexpr std::string_view kKnownKeptKeys[] = {
    "ProxyProtocol", "SocksProxyServer", "SocksProxyPort", "SocksProxyUser", "SocksProxyPassword", "LogFileName",
    "OAuth2TokenUrl", "OAuth2Grant", "OAuth2ClientId", "OAuth2ClientSecret", "OAuth2Scope", "OAuth2KeyFile",
    "OAuth2CertificateFile", "OAuth2DeviceUrl", "OAuth2Mechanism", "OAuth2CaFile", "OAuth2RefreshToken",
};

// Puts one KEY=VALUE into the item through the property's put. An error
// text when refused; notes (a value the put changed) go to notes.
std::string ApplySetting(ConfigItem& item, const std::string& key, const std::string& value,
                         std::vector<std::string>& notes) {
  if (!IsStorableText(value)) return key + ": a value cannot hold a line break";
  for (const TextKey& k : kTextKeys)
    if (EqualsNoCase(k.key, key)) {
      if ((item.*k.put)(value) != S_OK) return key + ": value refused";
      return {};
    }
  for (const NumberKey& k : kNumberKeys)
    if (EqualsNoCase(k.key, key)) {
      std::optional<int32_t> n = WholeNumber(value);
      if (!n) return std::string(k.key) + ": \"" + value + "\" is not a whole number";
      (item.*k.put)(*n);
      int32_t stored = Long(item, k.get);
      if (stored != *n)
        notes.push_back(std::string(k.key) + ": " + value + " is out of range; stored as " + std::to_string(stored));
      return {};
    }
  for (const FlagKey& k : kFlagKeys)
    if (EqualsNoCase(k.key, key)) {
      std::optional<int32_t> n = WholeNumber(value);
      if (!n) return std::string(k.key) + ": \"" + value + "\" is not 1 or 0";
      (item.*k.put)(*n > 0 ? VARIANT_TRUE : VARIANT_FALSE);
      return {};
    }
  if (EqualsNoCase(key, "IMAP4Folder")) {
    item.SetImap4Folder(value);
    return {};
  }
  if (EqualsNoCase(key, "Name") || EqualsNoCase(key, "BEGIN") || EqualsNoCase(key, "END"))
    return key + ": not a key of an account";
  if (value.empty()) {
    item.RemoveKept(key);
    return {};
  }
  if (!item.SetKept(key, value)) return "\"" + key + "\" is not a valid key";
  bool known = std::any_of(std::begin(kKnownKeptKeys), std::end(kKnownKeptKeys),
                           [&](std::string_view k) { return EqualsNoCase(k, key); });
  if (!known) notes.push_back(key + ": not a key this engine reads; kept as given");
  return {};
}

// Checks and applies every KEY=VALUE; 0 or the exit code (nothing applied
// is saved then).
int ApplySettings(Run& run, ConfigItem& item) {
  std::vector<std::string> notes;
  for (const std::string& s : run.settings) {
    std::size_t eq = s.find('=');
    if (eq == std::string::npos || eq == 0)
      return run.Fail(kCtlUsage, "\"" + s + "\" is not KEY=VALUE (keys as in conf/config.txt, e.g. Server=pop.example.net)");
    std::string key = s.substr(0, eq);
    if (IsSecretKey(key))
      return run.Fail(kCtlFailed, key + " is a secret and is not taken on the command line, where other users can read it; use: tarnwickctl password " + run.name + " " + key);
  }
  for (const std::string& s : run.settings) {
    std::size_t eq = s.find('=');
    std::string error = ApplySetting(item, s.substr(0, eq), s.substr(eq + 1), notes);
    if (!error.empty()) return run.Fail(kCtlFailed, error + "; nothing was changed");
  }
  for (const std::string& n : notes) run.err() << "tarnwickctl: note: " << n << "\n";
  return 0;
}

bool ValidAccountName(std::string_view name) {
  if (name.empty() || name == "." || name == "..") return false;
  if (name.front() == ' ' || name.back() == ' ' || name.front() == '\t' || name.back() == '\t') return false;
  for (char c : name) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7f || c == '/' || c == '\\') return false;
  }
  return true;
}

std::string ProtocolName(int32_t p) {
  switch (p) {
    case 1: return "IMAP4";
    case 2: return "EWS";
    case 3: return "WebDAV";
    default: return "POP3";
  }
}

std::string LocalMailbox(IConfigItem& item) {
  std::string u = Text(item, &IConfigItem::get_LocalUser), d = Text(item, &IConfigItem::get_LocalDomain);
  if (u.empty() && d.empty()) return "";
  return u + "@" + d;
}

void PrintTable(std::ostream& out, const std::vector<std::string>& head, const std::vector<std::vector<std::string>>& rows) {
  std::vector<std::size_t> width(head.size());
  for (std::size_t i = 0; i < head.size(); ++i) width[i] = head[i].size();
  for (const auto& r : rows)
    for (std::size_t i = 0; i < r.size() && i < width.size(); ++i) width[i] = std::max(width[i], r[i].size());
  auto line = [&](const std::vector<std::string>& cells) {
    std::string text;
    for (std::size_t i = 0; i < cells.size(); ++i) {
      text += cells[i];
      if (i + 1 < cells.size()) text += std::string(width[i] - cells[i].size() + 2, ' ');
    }
    out << text << "\n";
  };
  line(head);
  for (const auto& r : rows) line(r);
}

void PrintJson(Run& run, const Json& doc) {
  run.out() << doc.dump(2, ' ', false, Json::error_handler_t::replace) << "\n";
}

// ---- the commands ---------------------------------------------------------

void JsonOption(CLI::App& sub, Run& run) { sub.add_flag("--json", run.json, "one JSON document on standard output"); }
void NameOption(CLI::App& sub, Run& run) {
  sub.add_option("NAME", run.name, "account name (the block name in conf/config.txt)")->required();
}

int Status(Run& run) {
  if (int rc = ConnectEngine(run)) return rc;
  std::optional<std::string> raw;
  run.manager->QuerySessionDesc(0, &raw);
  if (!raw) return ExchangeFailed(run, "reading the worker table");
  std::vector<WorkerRow> rows = WorkerRows(*raw);
  if (run.json) {
    Json workers = Json::array();
    for (const WorkerRow& r : rows) {
      Json w;
      std::optional<int32_t> id = WholeNumber(r.thread);
      w["thread"] = id ? Json(*id) : Json(r.thread);
      w["account"] = r.account;
      w["state"] = r.state;
      workers.push_back(std::move(w));
    }
    PrintJson(run, Json{{"workers", workers}});
    return kCtlDone;
  }
  std::vector<std::vector<std::string>> table;
  for (const WorkerRow& r : rows) table.push_back({r.thread, r.account, r.state});
  PrintTable(run.out(), {"THREAD", "ACCOUNT", "STATE"}, table);
  return kCtlDone;
}

int Accounts(Run& run) {
  RefPtr<ConfigCollection> configs;
  if (int rc = LoadConfigs(run, configs)) return rc;
  Json list = Json::array();
  std::vector<std::vector<std::string>> table;
  for (const RefPtr<IConfigItem>& item : configs->Items()) {
    IConfigItem& i = *item;
    const std::string name = Text(i, &IConfigItem::get_Name);
    const std::string protocol = ProtocolName(Long(i, &IConfigItem::get_Protocol));
    const bool active = Flag(i, &IConfigItem::get_Active);
    const int32_t interval = Long(i, &IConfigItem::get_DownloadInterval);
    if (run.json) {
      list.push_back(Json{{"name", name}, {"protocol", protocol}, {"server", Text(i, &IConfigItem::get_Server)},
                          {"user", Text(i, &IConfigItem::get_User)}, {"localMailbox", LocalMailbox(i)},
                          {"active", active}, {"interval", interval}});
    } else {
      table.push_back({name, protocol, Text(i, &IConfigItem::get_Server), Text(i, &IConfigItem::get_User),
                       LocalMailbox(i), active ? "yes" : "no", std::to_string(interval) + " min"});
    }
  }
  if (run.json)
    PrintJson(run, Json{{"accounts", list}});
  else
    PrintTable(run.out(), {"NAME", "PROTOCOL", "SERVER", "USER", "LOCAL MAILBOX", "ACTIVE", "INTERVAL"}, table);
  return kCtlDone;
}

int Show(Run& run) {
  RefPtr<ConfigCollection> configs;
  RefPtr<ConfigItem> item;
  if (int rc = LoadAccount(run, configs, item)) return rc;
  ConfigBlock block = ItemBlockForSave(*item);
  Json keys = Json::object();
  for (ConfigEntry& e : block.entries) {
    if (IsSecretKey(e.key) && !e.value.empty()) e.value = std::string(kMask);
    if (run.json)
      keys[e.key] = e.value;
    else
      run.out() << e.key << ": " << e.value << "\n";
  }
  if (run.json) PrintJson(run, Json{{"name", block.name}, {"keys", keys}});
  return kCtlDone;
}

void SettingsOptions(CLI::App& sub, Run& run) {
  NameOption(sub, run);
  sub.add_option("KEY=VALUE", run.settings,
                 "settings, keys as in conf/config.txt (Server=pop.example.net Port=995 SSLConnection=1 ...); "
                 "an empty value removes a key no property holds");
}

int Add(Run& run) {
  if (!ValidAccountName(run.name))
    return run.Fail(kCtlFailed, "\"" + run.name + "\" is not a valid account name (no \"/\", \"\\\", line breaks, or blanks around it)");
  RefPtr<ConfigCollection> configs;
  if (int rc = LoadConfigs(run, configs)) return rc;
  for (const RefPtr<IConfigItem>& existing : configs->Items())
    if (EqualsNoCase(Text(*existing, &IConfigItem::get_Name), run.name))
      return run.Fail(kCtlFailed, "an account named \"" + Text(*existing, &IConfigItem::get_Name) + "\" already exists (change it with: tarnwickctl set)");
  RefPtr<ConfigItem> item = ConfigItem::Create();
  item->put_Name(run.name);
  if (int rc = ApplySettings(run, *item)) return rc;
  int32_t added = 0;
  configs->Add(item.get(), &added);
  const std::string name = run.name;
  if (int rc = Save(run, [&](ConfigCollection& c) { return static_cast<bool>(FindAccount(c, name)); })) return rc;
  run.out() << "added account " << run.name << "\n";
  return kCtlDone;
}

int Set(Run& run) {
  if (run.settings.empty()) return run.Fail(kCtlUsage, "set needs at least one KEY=VALUE");
  RefPtr<ConfigCollection> configs;
  RefPtr<ConfigItem> item;
  if (int rc = LoadAccount(run, configs, item)) return rc;
  if (int rc = ApplySettings(run, *item)) return rc;
  const std::string name = Text(*item, &IConfigItem::get_Name);
  if (int rc = Save(run, [&](ConfigCollection& c) { return static_cast<bool>(FindAccount(c, name)); })) return rc;
  run.out() << "changed account " << name << "\n";
  return kCtlDone;
}

void PasswordOptions(CLI::App& sub, Run& run) {
  NameOption(sub, run);
  sub.add_option("KEY", run.key, "the secret key: Password (default), SocksProxyPassword, ...");
}

int Password(Run& run) {
  if (run.key.empty()) run.key = "Password";
  if (!IsSecretKey(run.key))
    return run.Fail(kCtlUsage, run.key + " is not a secret key; set it with: tarnwickctl set " + run.name + " " + run.key + "=VALUE");
  RefPtr<ConfigCollection> configs;
  RefPtr<ConfigItem> item;
  if (int rc = LoadAccount(run, configs, item)) return rc;
  const std::string name = Text(*item, &IConfigItem::get_Name);
  std::optional<std::string> secret;
  if (run.con.stdinIsTerminal) {
    secret = run.con.readSecret("New " + run.key + " for " + name + ": ");
    if (!secret) return run.Fail(kCtlFailed, "no " + run.key + " read from the terminal");
    std::optional<std::string> again = run.con.readSecret("Again: ");
    if (!again || *again != *secret) return run.Fail(kCtlFailed, "the two entries differ; nothing was changed");
  } else {
    secret = run.con.readLine();
    if (!secret) return run.Fail(kCtlFailed, "no " + run.key + " on standard input; nothing was changed");
  }
  if (!IsStorableText(*secret)) return run.Fail(kCtlFailed, "a secret cannot hold a line break or NUL");
  if (EqualsNoCase(run.key, "Password"))
    item->put_Password(*secret);
  else if (secret->empty())
    item->RemoveKept(run.key);
  else if (!item->SetKept(run.key, *secret))
    return run.Fail(kCtlUsage, "\"" + run.key + "\" is not a valid key");
  if (int rc = Save(run, [&](ConfigCollection& c) { return static_cast<bool>(FindAccount(c, name)); })) return rc;
  run.out() << "changed " << run.key << " of account " << name << "\n";
  return kCtlDone;
}

int Remove(Run& run) {
  RefPtr<ConfigCollection> configs;
  RefPtr<ConfigItem> item;
  if (int rc = LoadAccount(run, configs, item)) return rc;
  const std::string name = Text(*item, &IConfigItem::get_Name);
  configs->Remove(name);
  if (int rc = Save(run, [&](ConfigCollection& c) {
        for (const RefPtr<IConfigItem>& i : c.Items())
          if (Text(*i, &IConfigItem::get_Name) == name) return false;
        return true;
      }))
    return rc;
  run.out() << "removed account " << name << "\n";
  return kCtlDone;
}

void TestOptions(CLI::App& sub, Run& run) {
  NameOption(sub, run);
  sub.add_option("--timeout", run.timeoutSeconds, "seconds to wait for the verdict (default 300)")
      ->check(CLI::Range(1, 86400));
}

int TestAccount(Run& run) {
  RefPtr<ConfigCollection> configs;
  RefPtr<ConfigItem> item;
  if (int rc = LoadAccount(run, configs, item)) return rc;
  const std::string name = Text(*item, &IConfigItem::get_Name);
  int32_t handed = -1;
  run.manager->Test(item.get(), &handed);
  if (handed != 0) return ExchangeFailed(run, "starting the test");
  run.err() << "testing " << name << " (" << Text(*item, &IConfigItem::get_Server) << ") ..." << std::flush;
  Clock& clock = SystemClock();
  const int64_t deadline = clock.NowMs() + int64_t{run.timeoutSeconds} * 1000;
  for (;;) {
    std::optional<std::string> verdict;
    run.manager->QueryTestResult(name, &verdict);
    if (verdict) {
      run.err() << "\n";
      if (run.manager->LastExchangeError()) return run.Fail(kCtlNoEngine, *verdict);
      run.out() << *verdict << "\n";
      return *verdict == kGoodVerdict ? kCtlDone : kCtlFailed;
    }
    if (clock.NowMs() >= deadline) {
      run.err() << "\n";
      return run.Fail(kCtlFailed, "no verdict within " + std::to_string(run.timeoutSeconds) + " s");
    }
    run.err() << "." << std::flush;
    clock.SleepMs(run.con.testPollMs);
  }
}

int RunAccount(Run& run) {
  RefPtr<ConfigCollection> configs;
  RefPtr<ConfigItem> item;
  if (int rc = LoadAccount(run, configs, item)) return rc;
  if (run.manager->RunNow(*item) != 0) return ExchangeFailed(run, "queueing the run");
  run.out() << "queued a run of " << Text(*item, &IConfigItem::get_Name)
            << "; see its progress with: tarnwickctl status\n";
  return kCtlDone;
}

void LogsOptions(CLI::App& sub, Run& run) {
  JsonOption(sub, run);
  sub.add_option("DATE", run.date, "a day as YYYY-MM-DD: print that day's activity log");
}

// "20261207.log.txt" -> "2026-12-07"; empty for other names.
std::string LogDate(const std::string& fileName) {
  if (fileName.size() != 16 || !EqualsNoCase(fileName.substr(8), ".log.txt")) return {};
  for (int i = 0; i < 8; ++i)
    if (fileName[i] < '0' || fileName[i] > '9') return {};
  return fileName.substr(0, 4) + "-" + fileName.substr(4, 2) + "-" + fileName.substr(6, 2);
}

int Logs(Run& run) {
  if (!run.date.empty()) {
    bool shape = run.date.size() == 10 && run.date[4] == '-' && run.date[7] == '-';
    for (std::size_t i = 0; shape && i < 10; ++i)
      if (i != 4 && i != 7 && (run.date[i] < '0' || run.date[i] > '9')) shape = false;
    if (!shape) return run.Fail(kCtlUsage, "\"" + run.date + "\" is not a date of the form YYYY-MM-DD");
  }
  if (int rc = ConnectEngine(run)) return rc;
  std::optional<std::string> raw;
  run.manager->QueryLog(0, &raw);
  if (!raw) return ExchangeFailed(run, "listing the log files");
  struct Log {
    std::string date, path;
  };
  std::vector<Log> logs;
  for (const std::string& path : ReplyLines(*raw)) logs.push_back({LogDate(LogFileName(path)), path});
  std::stable_sort(logs.begin(), logs.end(), [](const Log& a, const Log& b) { return a.date > b.date; });

  if (run.date.empty()) {
    if (run.json) {
      Json list = Json::array();
      for (const Log& l : logs) list.push_back(Json{{"date", l.date}, {"path", l.path}});
      PrintJson(run, Json{{"logs", list}});
    } else {
      for (const Log& l : logs) run.out() << (l.date.empty() ? std::string(10, ' ') : l.date) << "  " << l.path << "\n";
      if (logs.empty()) run.err() << "tarnwickctl: no activity log files (LogLevel 0 writes none)\n";
    }
    return kCtlDone;
  }
  auto found = std::find_if(logs.begin(), logs.end(), [&](const Log& l) { return l.date == run.date; });
  if (found == logs.end()) return run.Fail(kCtlFailed, "no activity log for " + run.date);
  std::string text;
  if (int e = ReadWholeFile(found->path, text))
    return run.Fail(kCtlFailed, "cannot read " + found->path + ": " + SystemMessage(e) +
                                    (e == err::kAccessDenied ? " (the log folder belongs to the engine's user)" : ""));
  if (run.json)
    PrintJson(run, Json{{"date", found->date}, {"path", found->path}, {"text", text}});
  else
    run.out() << text;
  return kCtlDone;
}

constexpr std::string_view kRefreshTokenKey = "OAuth2RefreshToken";

// The account's OAuth2 settings, when a device sign-in can run with them;
// otherwise an error text.
std::string SignInSettings(ConfigItem& item, const std::string& name, oauth::Settings& settings) {
  settings = oauth::SettingsFromBlock(ItemBlockForSave(item));
  const std::string set = "tarnwickctl set " + name + " ";
  if (!settings.enabled()) return "account " + name + " has no OAuth2TokenUrl; set it first: " + set + "OAuth2TokenUrl=...";
  if (settings.grant == oauth::Grant::ClientCredentials)
    return "account " + name + " signs in as an application (OAuth2Grant client_credentials) and needs no person to "
           "sign in; for a sign-in: " + set + "OAuth2Grant=device_code";
  if (settings.deviceUrl.empty()) return "account " + name + " has no OAuth2DeviceUrl; set it first: " + set + "OAuth2DeviceUrl=...";
  if (settings.clientId.empty()) return "account " + name + " has no OAuth2ClientId; set it first: " + set + "OAuth2ClientId=...";
  return {};
}

void ShowSignIn(Run& run, const std::string& name, const oauth::SignInPrompt& p) {
  run.out() << "To sign in account " << name << ", open " << p.verificationUri << " and enter the code " << p.userCode
            << "\n";
  if (!p.verificationUriComplete.empty()) run.out() << "(or open " << p.verificationUriComplete << ")\n";
  if (p.expiresIn > 0) run.out() << "The code is good for " << p.expiresIn / 60 << " min.\n";
  run.out() << std::flush;
  run.err() << "waiting for the sign-in ..." << std::endl;
}

// Device sign-in: shows the code and the address, waits for the person, and
// stores the refresh token as the account's "OAuth2RefreshToken". The
// control connection is not held during the wait; the account is read
// afresh before the token is stored, so changes made meanwhile are kept.
int SignIn(Run& run) {
  RefPtr<ConfigCollection> configs;
  RefPtr<ConfigItem> item;
  if (int rc = LoadAccount(run, configs, item)) return rc;
  const std::string name = Text(*item, &IConfigItem::get_Name);
  oauth::Settings settings;
  if (std::string why = SignInSettings(*item, name, settings); !why.empty()) return run.Fail(kCtlFailed, why);
  item.reset();
  configs.reset();
  run.manager->Close();

  oauth::TokenReply reply;
  std::string why;
  Clock& clock = run.con.clock ? *run.con.clock : SystemClock();
  const bool signedIn =
      oauth::SignIn(settings, clock, [&](const oauth::SignInPrompt& p) { ShowSignIn(run, name, p); }, reply, why);
  std::fill(reply.accessToken.begin(), reply.accessToken.end(), '\0');
  if (!signedIn) return run.Fail(kCtlFailed, "the sign-in of " + name + " failed: " + why);

  run.name = name;
  int rc = LoadAccount(run, configs, item);
  if (rc == 0 && !item->SetKept(kRefreshTokenKey, reply.refreshToken))
    rc = run.Fail(kCtlFailed, "the identity provider's refresh token cannot be stored");
  std::fill(reply.refreshToken.begin(), reply.refreshToken.end(), '\0');
  if (rc) return rc;
  item->put_IsUpdated(1);
  if (int saved = Save(run, [&](ConfigCollection& c) { return static_cast<bool>(FindAccount(c, name)); })) return saved;
  run.out() << "signed in account " << name << "; its refresh token is stored\n";
  return kCtlDone;
}

const Command kCommands[] = {
    {"status", "show the pull workers: thread, account, state", JsonOption, Status},
    {"accounts", "list the accounts (never a password)", JsonOption, Accounts},
    {"show", "show every key of an account, secrets as ******",
     [](CLI::App& sub, Run& run) {
       NameOption(sub, run);
       JsonOption(sub, run);
     },
     Show},
    {"add", "add an account: tarnwickctl add NAME Server=... User=... LocalUser=... LocalDomain=...", SettingsOptions, Add},
    {"set", "change keys of an account: tarnwickctl set NAME KEY=VALUE...", SettingsOptions, Set},
    {"password", "set a secret of an account from a prompt (or one line of standard input)", PasswordOptions, Password},
    {"remove", "remove an account", NameOption, Remove},
    {"test", "let the engine try an account's login and local mailbox; exit 0 only when it is good", TestOptions, TestAccount},
    {"run", "pull an account once now", NameOption, RunAccount},
    {"logs", "list the activity log files, or print one day's log", LogsOptions, Logs},
    {"signin", "sign an OAuth2 account in on a device: shows a code and an address, waits, stores the refresh token",
     NameOption, SignIn},
};

constexpr std::string_view kFooter =
    "Secrets (Password, SocksProxyPassword, keys ending in Secret, Password or Token) are never taken\n"
    "on the command line; set them with: tarnwickctl password NAME [KEY]\n"
    "\n"
    "Exit codes: 0 done; 1 the operation failed (bad verdict, refused value); 2 usage error;\n"
    "3 the engine is not running; 4 permission denied on the control socket (join the group tarnwick).\n"
    "The control socket is run/tarnwick/" "{9C420762-FF33-41ad-8474-F1958652C2EF} below $TARNWICK_SYSROOT (default /).";

}  // namespace

bool IsSecretKey(std::string_view key) {
  return EndsWithNoCase(key, "Password") || EndsWithNoCase(key, "Secret") || EndsWithNoCase(key, "Token");
}

CtlConsole CtlConsole::Standard() {
  CtlConsole c;
  c.out = &std::cout;
  c.err = &std::cerr;
  c.stdinIsTerminal = StdinIsTerminal();
  c.readSecret = [](const std::string& prompt) { return ReadSecretFromTerminal(prompt); };
  c.readLine = [] { return ReadLineFromStdin(); };
  return c;
}

int RunTarnwickCtl(const std::vector<std::string>& args, CtlConsole& console) {
  Run run(console);
  CLI::App app{"Administers the running Tarnwick engine over its control socket.", "tarnwickctl"};
  app.footer(std::string(kFooter));
  app.require_subcommand(1);
  std::vector<std::pair<CLI::App*, const Command*>> subs;
  for (const Command& c : kCommands) {
    CLI::App* sub = app.add_subcommand(std::string(c.name), std::string(c.help));
    c.options(*sub, run);
    subs.emplace_back(sub, &c);
  }

  if (!args.empty() && !args[0].starts_with("-") &&
      std::none_of(std::begin(kCommands), std::end(kCommands), [&](const Command& c) { return c.name == args[0]; }))
    return run.Fail(kCtlUsage, "unknown command \"" + args[0] + "\" (see: tarnwickctl --help)");

  std::vector<const char*> argv{"tarnwickctl"};
  for (const std::string& a : args) argv.push_back(a.c_str());
  try {
    app.parse(static_cast<int>(argv.size()), argv.data());
  } catch (const CLI::CallForHelp& e) {
    app.exit(e, console.out ? *console.out : std::cout, *console.err);
    return kCtlDone;
  } catch (const CLI::CallForAllHelp& e) {
    app.exit(e, *console.out, *console.err);
    return kCtlDone;
  } catch (const CLI::ParseError& e) {
    app.exit(e, *console.out, *console.err);
    return kCtlUsage;
  }
  for (auto& [sub, command] : subs)
    if (sub->parsed()) return command->action(run);
  return kCtlUsage;
}

}  // namespace tarnwick
