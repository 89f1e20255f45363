// The pull job over EWS and WebDAV against the fake Exchange servers: the
// queue files, the UIDL file, a second run, and deleting only after a good run.
#include "engine/PullJob.h"

#include "exchange/ExchangeProtocols.h"
#include "platform/AsciiText.h"
#include "platform/Files.h"
#include "tests/support/FakeExchange.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

namespace tarnwick {
namespace {

using test::FakeEws;
using test::FakeWebDav;
using test::HttpAuth;
using test::HttpFault;
using test::TempDir;

struct Variant {
  const char* name;
  int32_t protocol;
  bool tls;
  HttpAuth auth;
};

// One fake server of either kind behind a common face.
struct Exchange {
  explicit Exchange(const Variant& v) : variant(v) {
    test::HttpOptions o{.tls = v.tls, .auth = v.auth};
    if (v.auth == HttpAuth::Basic) o.user = "CORP\\alice";  // Basic sends the login as it stands
    if (v.protocol == ExchangeEws) ews = std::make_unique<FakeEws>(o);
    else dav = std::make_unique<FakeWebDav>(o);
  }
  void Add(const std::string& content) {
    if (ews) ews->AddMessage(content);
    else dav->AddMessage(content);
  }
  std::size_t Count() const { return ews ? ews->Messages().size() : dav->Messages().size(); }
  std::string Server() const { return ews ? ews->Url() : dav->ServerSetting(); }
  test::FakeHttpServer& http() { return ews ? ews->http() : dav->http(); }
  std::string FetchMatch() const { return ews ? "GetItem" : "GET "; }
  std::size_t Deletes() {
    std::size_t n = 0;
    for (const test::HttpIn& r : http().Requests())
      n += (r.method == "DELETE" || r.body.find("<DeleteItem") != std::string::npos) ? 1 : 0;
    return n;
  }

  Variant variant;
  std::unique_ptr<FakeEws> ews;
  std::unique_ptr<FakeWebDav> dav;
};

class ExchangePull : public ::testing::TestWithParam<Variant> {
 protected:
  void SetUp() override {
    RegisterExchangeProtocols();
    MakeFolders(dir / "queue");
    MakeFolders(dir / "work");
    MakeFolders(dir / "data");
    server = std::make_unique<Exchange>(GetParam());
    account.server.Protocol = GetParam().protocol;
    account.server.Server = server->Server();
    account.server.User = "CORP\\alice";
    account.server.Password = "s3cret pw";
    account.server.LocalUser = "ann";
    account.server.LocalDomain = "local.dom";
    account.label = std::string(GetParam().protocol == ExchangeEws ? "EWS: " : "WebDAV: ") +
                    account.server.Server + "#" + account.server.User;
    account.workFolder = dir / "work";
    options.queueFolder = dir / "queue";
    options.dataFolder = dir / "data";
    options.timeoutSeconds = 10;
  }

  AccountRunResult Run() {
    progress.clear();
    PullJob job(options);
    return job.Run(account, [this](const std::string& label, const std::string& text) {
      EXPECT_EQ(label, account.label);
      progress.push_back(text);
    });
  }
  std::vector<std::string> QueueFiles() const {
    std::vector<std::string> f = ListFiles(dir / "queue");
    std::sort(f.begin(), f.end());
    return f;
  }
  std::string Read(const std::string& path) const {
    std::string t;
    ReadWholeFile(path, t);
    return t;
  }
  std::size_t Saw(const std::string& prefix) const {
    return static_cast<std::size_t>(std::count_if(progress.begin(), progress.end(),
                                                  [&](const std::string& p) { return p.rfind(prefix, 0) == 0; }));
  }
  static std::string Message(int n) {
    return "Date: Wed, 3" + std::to_string(n) + " Jan 2024 10:20:30 +0000\r\nFrom: s" + std::to_string(n) +
           "@remote.example\r\nTo: ann@local.dom\r\nSubject: m" + std::to_string(n) + "\r\n\r\nbody \xc3\xa9 " +
           std::string(n * 3000, static_cast<char>('a' + n)) + "\r\n.\r\n";
  }

  TempDir dir;
  std::unique_ptr<Exchange> server;
  AccountSession account;
  PullOptions options;
  std::vector<std::string> progress;
};

TEST_P(ExchangePull, FetchesEachMessageOnceIntoTheQueue) {
  for (int i = 0; i < 2; ++i) server->Add(Message(i));
  AccountRunResult r = Run();
  ASSERT_TRUE(r.ok) << r.lastError << r.transcript << server->http().Failures();
  EXPECT_EQ(progress.front(), "Connected");
  std::vector<std::string> files = QueueFiles();
  ASSERT_EQ(files.size(), 2u);
  for (int i = 0; i < 2; ++i) {
    std::string file = Read(dir / "queue/" + files[static_cast<std::size_t>(i)]);
    EXPECT_EQ(file.rfind("x-sender: s" + std::to_string(i) + "@remote.example\r\nx-rcpt-to: ann@local.dom\r\n", 0), 0u);
    EXPECT_TRUE(file.ends_with(Message(i))) << file.substr(0, 400);
  }
  std::string uidl = Read(dir / "work/uidl.txt");
  EXPECT_EQ(std::count(uidl.begin(), uidl.end(), '\n'), 2) << uidl;
  EXPECT_EQ(AsciiLowered(uidl).rfind(AsciiLowered(account.server.Server + "#CORP\\alice#"), 0), 0u) << uidl;
  if (GetParam().auth == HttpAuth::Ntlm) {
    EXPECT_EQ(server->http().ntlm_logins(), 1);
  }
  EXPECT_EQ(r.transcript.find("s3cret"), std::string::npos);
  EXPECT_EQ(server->Count(), 2u);  // copies are left by default

  server->Add(Message(2));
  r = Run();
  ASSERT_TRUE(r.ok) << r.lastError;
  EXPECT_EQ(Saw("Forwarding email"), 1u);
  EXPECT_EQ(QueueFiles().size(), 3u);
  r = Run();
  ASSERT_TRUE(r.ok) << r.lastError;
  EXPECT_EQ(Saw("Forwarding email"), 0u);
  EXPECT_EQ(QueueFiles().size(), 3u);
}

TEST_P(ExchangePull, DeletesEveryListedMessageOnlyAfterAGoodRun) {
  for (int i = 0; i < 3; ++i) server->Add(Message(i));
  account.leaveCopy = false;
  // The second fetch fails: EWS answers with text that is not XML, WebDAV
  // drops the reply midway. The first message is delivered and recorded,
  // nothing is deleted.
  if (GetParam().protocol == ExchangeEws)
    server->http().AddFault({server->ews->Messages()[1].id, HttpFault::Reply, 200, "OK", "x"});
  else
    server->http().AddFault({"GET /exchange/alice/Inbox/Message%202.EML", HttpFault::Drop});
  AccountRunResult r = Run();
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.lastError.empty(), false);
  EXPECT_EQ(server->Deletes(), 0u);
  EXPECT_EQ(server->Count(), 3u);
  const std::size_t first = QueueFiles().size();
  EXPECT_EQ(first, 1u);
  std::string uidl = Read(dir / "work/uidl.txt");
  EXPECT_EQ(std::count(uidl.begin(), uidl.end(), '\n'), 1) << uidl;

  r = Run();
  ASSERT_TRUE(r.ok) << r.lastError << r.transcript;
  EXPECT_EQ(QueueFiles().size(), first + 2u);
  EXPECT_EQ(Saw("Delete email"), 3u);
  EXPECT_EQ(server->Count(), 0u);
  r = Run();
  ASSERT_TRUE(r.ok) << r.lastError;
  EXPECT_EQ(Read(dir / "work/uidl.txt"), "");
}

INSTANTIATE_TEST_SUITE_P(Exchange, ExchangePull,
                         ::testing::Values(Variant{"EwsNtlm", ExchangeEws, false, HttpAuth::Ntlm},
                                           Variant{"EwsTlsBasic", ExchangeEws, true, HttpAuth::Basic},
                                           Variant{"WebDavNtlm", ExchangeWebDav, false, HttpAuth::Ntlm},
                                           Variant{"WebDavTlsBasic", ExchangeWebDav, true, HttpAuth::Basic}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tarnwick
