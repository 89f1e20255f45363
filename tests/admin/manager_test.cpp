// Manager against the real engine program, its HTML fragments, its desktop
// functions and the shared library's entry points.
#include "admin/Manager.h"

#include "admin/Interfaces.h"
#include "platform/Clock.h"
#include "platform/Files.h"
#include "platform/Registry.h"
#include "tests/admin/AdminEngine.h"
#include "tests/support/FakeServer.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <cstdio>

namespace tarnwick {
namespace {

std::string Opt(const std::optional<std::string>& t) { return t ? *t : "<unset>"; }

TEST(ManagerText, WorkerRowsNeedThreeFields) {
  const std::string reply =
      "101,\"POP3:pop.example.net#bob\",\"Completed\"\r\n"
      "102,\"N\\A\",\"Idle\"\r\n"
      "103,\"only two\"\r\n"
      "  \r\n"
      "104,\"IMAP4: a#b\",\"Error; with, separators\"\r\n"
      "105,\"after the last line break\",\"x\"";
  EXPECT_EQ(WorkerRowsHtml(reply),
            "<tr><td>101</td><td>POP3:pop.example.net#bob</td><td>Completed</td></tr>"
            "<tr><td>102</td><td>N\\A</td><td>Idle</td></tr>"
            "<tr><td>104</td><td>IMAP4: a#b</td><td>Error; with, separators</td></tr>");
}

TEST(ManagerText, LogListNewestFirst) {
  EXPECT_EQ(LogListHtml(""), "<ul><li>No log file found!</li></ul>");
  EXPECT_EQ(LogListHtml("/opt/t/log/20260301.log.txt\r\n/opt/t/log/20260302.log.txt\r\n"),
            "<ul><li><a href=\"file:///opt/t/log/20260302.log.txt\" target=\"_blank\">20260302.log.txt</a></li>"
            "<li><a href=\"file:///opt/t/log/20260301.log.txt\" target=\"_blank\">20260301.log.txt</a></li></ul>");
}

TEST(ManagerEngine, ConnectWithoutEngineFailsAtOnce) {
  test::TempDir root;
  test::ScopedSysroot sysroot(root.path());
  RefPtr<Manager> m = Manager::Create();
  int32_t r = -1;
  const int64_t start = SystemClock().NowMs();
  m->Connect(&r);
  EXPECT_EQ(r, 1);
  EXPECT_EQ(m->LastConnectError(), 2);
  EXPECT_LT(SystemClock().NowMs() - start, 2000);
  // Nothing cached, nothing sent, and failures only leave results unset.
  m->UpdateConfig();
  EXPECT_EQ(m->LastExchangeError(), 0);
  std::optional<std::string> text;
  m->QuerySessionDesc(1, &text);
  EXPECT_FALSE(text);
  IConfigCollection* c = nullptr;
  m->get_Configs(&c);
  EXPECT_EQ(c, nullptr);
  m->QueryTestResult("x", &text);
  EXPECT_EQ(Opt(text), "Failed to connect service instant! Please make sure Plinthor Service is running!");
  RefPtr<ConfigItem> item = ConfigItem::Create();
  r = 7;
  m->Test(item.get(), &r);
  EXPECT_EQ(r, 7);
  m->Test(nullptr, &r);
  EXPECT_EQ(r, 1);
}

class ManagerWithEngine : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(engine_.Start()) << "the engine did not come up";
    int32_t r = -1;
    manager_->Connect(&r);
    ASSERT_EQ(r, 0);
  }
  std::string EngineConfigText() {
    std::string reply;
    ControlClient c;
    ControlMessage greeting;
    if (c.Open() || c.Receive(greeting) || c.Exchange(kGetConfig, "config_name: config/mailpull", reply)) return {};
    return reply;
  }

  test::AdminEngine engine_;
  RefPtr<Manager> manager_ = Manager::Create();
};

TEST_F(ManagerWithEngine, StatusRowsAndLogList) {
  std::optional<std::string> html;
  ASSERT_TRUE(test::WaitFor([&] {
    manager_->QuerySessionDesc(1, &html);
    return html && html->find("</tr><tr>") != std::string::npos;  // both workers
  })) << Opt(html);
  EXPECT_NE(html->find("<td>N\\A</td><td>Idle</td></tr>"), std::string::npos) << *html;

  manager_->QueryLog(1, &html);
  EXPECT_EQ(Opt(html), "<ul><li>No log file found!</li></ul>");
  // Two days of logs (inside the week the engine keeps).
  const int64_t now = SystemClock().NowSeconds();
  std::string names[2];
  for (int i = 0; i < 2; ++i) {
    std::tm t = LocalTime(now - (1 - i) * 86400);
    char name[64];
    std::snprintf(name, sizeof name, "%04d%02d%02d.log.txt", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday);
    names[i] = name;
    ASSERT_EQ(WriteWholeFile(engine_ / ("log/" + names[i]), "entry\r\n"), 0);
  }
  manager_->QueryLog(1, &html);
  ASSERT_TRUE(html);
  std::size_t newer = html->find(">" + names[1] + "<"), older = html->find(">" + names[0] + "<");
  ASSERT_NE(newer, std::string::npos) << *html;
  ASSERT_NE(older, std::string::npos) << *html;
  EXPECT_LT(newer, older);
  manager_->QueryLog(0, &html);
  EXPECT_NE(Opt(html).find(engine_ / ("log/" + names[0]) + "\r\n"), std::string::npos) << Opt(html);
}

// Configs, a change, UpdateConfig: the engine rewrites conf/config.txt with
// every key, kept ones included, and takes the changed account up (clearing
// its "Update").
TEST_F(ManagerWithEngine, UpdateConfigReachesTheFileAndTheEngine) {
  RefPtr<ConfigCollection> configs = manager_->Configs();
  ASSERT_TRUE(configs);
  int32_t n = -1;
  configs->get_Count(&n);
  EXPECT_EQ(n, 0);
  RefPtr<ConfigItem> item = ConfigItem::Create();
  item->put_Name("acct");
  item->put_Server("127.0.0.1");
  item->put_Active(VARIANT_FALSE);
  item->SetKept("SocksProxyServer", "127.0.0.1");
  item->SetImap4Folder("Archive");
  configs->Add(item.get(), &n);
  manager_->UpdateConfig();
  EXPECT_EQ(manager_->LastExchangeError(), 0);

  const std::string file = engine_.ConfigFile();
  for (const char* line : {"BEGIN:acct\r\n", "Server:127.0.0.1\r\n", "Update:1\r\n", "IMAP4Folder:Archive\r\n",
                           "SocksProxyServer:127.0.0.1\r\n", "MaxThread:2\r\n", "LogLevel:2\r\n"})
    EXPECT_NE(file.find(line), std::string::npos) << line << " in\n" << file;
  // The account circulates now; the worker that takes it clears the mark.
  ASSERT_TRUE(test::WaitFor([&] {
    std::string text = EngineConfigText();
    return text.find("BEGIN:acct") != std::string::npos && text.find("Update:0") != std::string::npos;
  })) << EngineConfigText();

  // The cached collection is the same object until RefreshConfig.
  EXPECT_EQ(manager_->Configs().get(), configs.get());
  manager_->RefreshConfig();
  RefPtr<ConfigCollection> fresh = manager_->Configs();
  ASSERT_TRUE(fresh);
  EXPECT_NE(fresh.get(), configs.get());
  IConfigItem* found = nullptr;
  fresh->Item(Variant::Bstr("acct"), &found);
  RefPtr<IConfigItem> hold = RefPtr<IConfigItem>::Adopt(found);
  ASSERT_TRUE(hold);
  EXPECT_EQ(dynamic_cast<ConfigItem*>(hold.get())->KeptValue("SocksProxyServer").value_or(""), "127.0.0.1");
}

// A test that the server holds open is still running (null); once it ends
// its verdict comes once, then "Error: Server timeout!".
TEST_F(ManagerWithEngine, TestAndItsVerdict) {
  std::atomic<bool> release{false};
  test::FakeServer server([&](test::FakeConnection& c) {
    test::WaitFor([&] { return release.load(); });
    c.SendLine("-ERR go away");
    c.Close();
  });
  RefPtr<ConfigItem> item = ConfigItem::Create();
  item->put_Name("probe");
  item->put_Server("127.0.0.1");
  item->put_Port(server.port());
  int32_t r = -1;
  manager_->Test(item.get(), &r);
  ASSERT_EQ(r, 0);
  std::optional<std::string> verdict;
  manager_->QueryTestResult("probe", &verdict);
  EXPECT_FALSE(verdict) << *verdict;
  release = true;
  ASSERT_TRUE(test::WaitFor([&] {
    manager_->QueryTestResult("probe", &verdict);
    return verdict.has_value();
  }));
  EXPECT_TRUE(verdict->starts_with("Error: ")) << *verdict;
  EXPECT_NE(*verdict, "Error: Server timeout!");
  manager_->QueryTestResult("probe", &verdict);
  EXPECT_EQ(Opt(verdict), "Error: Server timeout!");
}

// A proxied account is tested through its proxy: the kept proxy keys travel
// with the test.
TEST(ManagerTestText, CarriesKeptKeysAndTheFolder) {
  RefPtr<ConfigItem> item = ConfigItem::Create();
  item->put_Name("p");
  item->SetKept("SocksProxyServer", "127.0.0.9");
  item->SetKept("ProxyProtocol", "2");
  const std::string text = TestRequestText(*item);
  EXPECT_TRUE(text.starts_with("config_name:config/mailpull\r\n\r\nBEGIN:p\r\nServer:\r\nPort:110\r\n")) << text;
  EXPECT_NE(text.find("LeaveCopy:0\r\nIMAP4Folder:INBOX\r\nLocalFolder:\r\n"), std::string::npos) << text;
  EXPECT_NE(text.find("StartProcess:\r\nSocksProxyServer:127.0.0.9\r\nProxyProtocol:2\r\nEND:p\r\n"), std::string::npos)
      << text;
}

// Desktop functions through stand-ins for xdg-open and zenity on PATH.
TEST(ManagerDesktop, OpenAndPickers) {
  test::TempDir dir;
  const std::string record = dir / "record";
  auto script = [&](const std::string& name, const std::string& body) {
    ASSERT_EQ(WriteWholeFile(dir / name, "#!/bin/sh\n" + body), 0);
    ::chmod((dir / name).c_str(), 0755);
  };
  script("xdg-open", "echo \"$@\" > " + record + "\n");
  script("zenity", "echo \"$@\" >> " + record + ".z\ncat " + dir / "answer" + "\n");
  const std::string oldPath = std::getenv("PATH") ? std::getenv("PATH") : "";
  setenv("PATH", (dir.path() + ":" + oldPath).c_str(), 1);
  RefPtr<Manager> m = Manager::Create();

  m->OpenDoc("ignored");
  EXPECT_TRUE(test::WaitFor([&] { return FileExists(record); }));
  std::string opened;
  ReadWholeFile(record, opened);
  EXPECT_TRUE(opened.ends_with("/tarnwick.chm\n")) << opened;

  std::optional<std::string> picked;
  WriteWholeFile(dir / "answer", dir.path() + "\n");
  m->OpenFolder(&picked);
  EXPECT_EQ(Opt(picked), dir.path());
  picked.reset();
  WriteWholeFile(dir / "answer", "/\n");
  m->OpenFolder(&picked);
  EXPECT_FALSE(picked);
  WriteWholeFile(dir / "answer", record + "\n");
  m->OpenFile(std::string("Text|*.txt;*.log|All|*.*|"), &picked);
  EXPECT_EQ(Opt(picked), record);
  std::string args;
  ReadWholeFile(record + ".z", args);
  EXPECT_NE(args.find("--file-filter=Text | *.txt *.log --file-filter=All | *.*"), std::string::npos) << args;

  VARIANT_BOOL exists = VARIANT_FALSE;
  m->ExistFile(dir / "rec*", &exists);
  EXPECT_EQ(exists, VARIANT_TRUE);
  m->ExistFile(dir / "none*", &exists);
  EXPECT_EQ(exists, VARIANT_FALSE);
  m->ExistFile(std::nullopt, &exists);
  EXPECT_EQ(exists, VARIANT_FALSE);

  // Without zenity the pickers leave their results unset.
  setenv("PATH", dir.path().c_str(), 1);
  RemoveFile(dir / "zenity");
  picked.reset();
  m->OpenFolder(&picked);
  EXPECT_FALSE(picked);
  setenv("PATH", oldPath.c_str(), 1);
}

TEST(ManagerDispatch, EveryMemberByDispid) {
  test::TempDir root;
  test::ScopedSysroot sysroot(root.path());
  RefPtr<Manager> m = Manager::Create();
  Variant number[] = {Variant::I4(1)};
  Variant text[] = {Variant::Bstr("x")};
  Variant result;
  int32_t id = 0;
  ASSERT_EQ(m->GetIDsOfNames("querytestresult", id), S_OK);
  EXPECT_EQ(id, 13);
  EXPECT_EQ(m->Invoke(1, kDispatchMethod, {}, &result), S_OK);
  EXPECT_EQ(result.AsInt64(), 1);  // no engine
  EXPECT_EQ(m->Invoke(1, kDispatchMethod, number, &result), DISP_E_BADPARAMCOUNT);
  EXPECT_EQ(m->Invoke(2, kDispatchMethod, {}, nullptr), S_OK);
  EXPECT_EQ(m->Invoke(3, kDispatchMethod, text, &result), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(m->Invoke(3, kDispatchMethod, number, &result), S_OK);
  EXPECT_EQ(result.type(), VT_NULL);
  EXPECT_EQ(m->Invoke(4, kDispatchMethod, number, nullptr), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(m->Invoke(5, kDispatchPropertyGet, {}, &result), S_OK);
  EXPECT_EQ(result.type(), VT_DISPATCH);
  EXPECT_EQ(result.AsDispatch(), nullptr);
  EXPECT_EQ(m->Invoke(5, kDispatchPropertyPut, number, nullptr), DISP_E_MEMBERNOTFOUND);
  EXPECT_EQ(m->Invoke(6, kDispatchMethod, {}, nullptr), S_OK);
  EXPECT_EQ(m->Invoke(7, kDispatchMethod, {}, nullptr), S_OK);
  EXPECT_EQ(m->Invoke(8, kDispatchMethod, text, &result), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(m->Invoke(9, kDispatchMethod, number, &result), DISP_E_BADPARAMCOUNT);
  EXPECT_EQ(m->Invoke(10, kDispatchMethod, number, &result), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(m->Invoke(11, kDispatchMethod, number, &result), DISP_E_TYPEMISMATCH);
  Variant missing[] = {Variant::Bstr(root / "nothing")};
  EXPECT_EQ(m->Invoke(11, kDispatchMethod, missing, &result), S_OK);
  EXPECT_EQ(result.type(), VT_BOOL);
  EXPECT_EQ(result.AsBool(), VARIANT_FALSE);
  EXPECT_EQ(m->Invoke(12, kDispatchMethod, text, &result), DISP_E_TYPEMISMATCH);
  Variant self[] = {Variant::Dispatch(m.get())};
  EXPECT_EQ(m->Invoke(12, kDispatchMethod, self, &result), DISP_E_TYPEMISMATCH);
  RefPtr<ConfigItem> item = ConfigItem::Create();
  Variant it[] = {Variant::Dispatch(item.get())};
  EXPECT_EQ(m->Invoke(12, kDispatchMethod, it, &result), S_OK);
  EXPECT_EQ(result.AsInt64(), -1);  // not handed over: no engine
  EXPECT_EQ(m->Invoke(13, kDispatchMethod, number, &result), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(m->Invoke(15, kDispatchMethod, {}, &result), DISP_E_MEMBERNOTFOUND);
}

// The shared library as a host loads it: class objects, the unload check
// and the registry entries.
TEST(SharedLibrary, ClassObjectsAndRegistration) {
  test::TempDir root;
  test::ScopedSysroot sysroot(root.path());
  const std::string path = test::BuiltProgram("libTarnwickSvcObj.so");
  void* lib = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_TRUE(lib) << ::dlerror();
  using GetClassObject = HRESULT (*)(const Guid*, const Guid*, void**);
  using NoArgs = HRESULT (*)();
  using Install = HRESULT (*)(int, const char*);
  auto getClass = reinterpret_cast<GetClassObject>(::dlsym(lib, "DllGetClassObject"));
  auto canUnload = reinterpret_cast<NoArgs>(::dlsym(lib, "DllCanUnloadNow"));
  auto reg = reinterpret_cast<NoArgs>(::dlsym(lib, "DllRegisterServer"));
  auto unreg = reinterpret_cast<NoArgs>(::dlsym(lib, "DllUnregisterServer"));
  auto install = reinterpret_cast<Install>(::dlsym(lib, "DllInstall"));
  ASSERT_TRUE(getClass && canUnload && reg && unreg && install);
  EXPECT_EQ(::dlsym(lib, "_ZN8tarnwick10ConfigItem6CreateEv"), nullptr);  // nothing else exported

  void* p = nullptr;
  EXPECT_EQ(getClass(&IID_IManager, &IID_IClassFactory, &p), CLASS_E_CLASSNOTAVAILABLE);
  ASSERT_EQ(getClass(&CLSID_ConfigItem, &IID_IClassFactory, &p), S_OK);
  auto* factory = static_cast<IClassFactory*>(p);
  void* obj = nullptr;
  ASSERT_EQ(factory->CreateInstance(nullptr, IID_IDispatch, &obj), S_OK);
  auto* disp = static_cast<IDispatch*>(obj);
  EXPECT_EQ(canUnload(), S_FALSE);
  int32_t id = 0;
  ASSERT_EQ(disp->GetIDsOfNames("Port", id), S_OK);
  Variant port;
  EXPECT_EQ(disp->Invoke(id, kDispatchPropertyGet, {}, &port), S_OK);
  EXPECT_EQ(port.AsInt64(), 110);
  disp->Release();
  factory->Release();
  EXPECT_EQ(canUnload(), S_OK);

  ASSERT_EQ(reg(), S_OK);
  RegValue v;
  ASSERT_EQ(RegReadValue(RegHive::ClassesRoot, "CLSID\\{4A256E38-78D1-46F3-8B77-1415D72ED45B}\\InprocServer32", "", v), 0);
  EXPECT_TRUE(v.text.ends_with("/libTarnwickSvcObj.so")) << v.text;
  ASSERT_EQ(RegReadValue(RegHive::ClassesRoot, "CLSID\\{4A256E38-78D1-46F3-8B77-1415D72ED45B}\\InprocServer32",
                         "ThreadingModel", v), 0);
  EXPECT_EQ(v.text, "Apartment");
  ASSERT_EQ(RegReadValue(RegHive::ClassesRoot, "TarnwickSvcObj.ConfigItem\\CurVer", "", v), 0);
  EXPECT_EQ(v.text, "TarnwickSvcObj.ConfigItem.1");
  ASSERT_EQ(RegReadValue(RegHive::ClassesRoot, "TarnwickSvcObj.ConfigCollection.1\\CLSID", "", v), 0);
  EXPECT_EQ(v.text, "{432E2B4F-FB6F-407F-8D91-6730656DD32F}");
  ASSERT_EQ(RegReadValue(RegHive::ClassesRoot, "TypeLib\\{2E853381-89FE-4364-A052-514B13796761}\\1.0", "", v), 0);
  EXPECT_EQ(v.text, "QX Mail Pull Service Object 1.0 Type Library");
  ASSERT_EQ(RegReadValue(RegHive::ClassesRoot, "AppID\\{552C907D-C2DD-426D-9917-14AC569B7E00}", "", v), 0);
  EXPECT_EQ(v.text, "TarnwickSvcObj");
  EXPECT_TRUE(RegKeyExists(RegHive::ClassesRoot, "CLSID\\{FEE0BF66-4340-4E73-9FFD-DFD57E4DA09B}\\Programmable"));
  EXPECT_FALSE(RegKeyExists(RegHive::CurrentUser, "Software\\Classes\\TarnwickSvcObj.Manager"));

  ASSERT_EQ(install(1, "USER"), S_OK);
  EXPECT_TRUE(RegKeyExists(RegHive::CurrentUser, "Software\\Classes\\CLSID\\{4A256E38-78D1-46F3-8B77-1415D72ED45B}"));
  ASSERT_EQ(install(0, "user"), S_OK);
  EXPECT_FALSE(RegKeyExists(RegHive::CurrentUser, "Software\\Classes\\TarnwickSvcObj.Manager"));
  EXPECT_TRUE(RegKeyExists(RegHive::ClassesRoot, "TarnwickSvcObj.Manager"));

  // A key of someone else's beside ours survives the removal.
  ASSERT_EQ(RegWriteValue(RegHive::ClassesRoot, "CLSID\\{00000000-0000-0000-0000-000000000001}", "", RegValue::Str("other")), 0);
  ASSERT_EQ(unreg(), S_OK);
  for (const char* key : {"TarnwickSvcObj.Manager", "TarnwickSvcObj.Manager.1", "CLSID\\{4A256E38-78D1-46F3-8B77-1415D72ED45B}",
                          "Interface\\{5687B0EC-3A90-4490-A362-AC71AF8C0DF4}", "TypeLib\\{2E853381-89FE-4364-A052-514B13796761}",
                          "AppID\\{552C907D-C2DD-426D-9917-14AC569B7E00}"})
    EXPECT_FALSE(RegKeyExists(RegHive::ClassesRoot, key)) << key;
  EXPECT_TRUE(RegKeyExists(RegHive::ClassesRoot, "CLSID\\{00000000-0000-0000-0000-000000000001}"));
  ::dlclose(lib);
}

}  // namespace
}  // namespace tarnwick
