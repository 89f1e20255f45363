#include "engine/AccountSettings.h"
#include "engine/PullJob.h"
#include "mailclient/MailClient.h"
#include "mailclient/OAuthLogin.h"
#include "oauth/AccountTokens.h"
#include "oauth/TokenClient.h"
#include "message/Encoding.h"
#include "platform/Files.h"
#include "tests/support/Dovecot.h"
#include "tests/support/FakeClock.h"
#include "tests/support/FakeIdentityProvider.h"
#include "tests/support/FakeServer.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

namespace tarnwick {
namespace {

using test::Dovecot;
using test::FakeClock;
using test::FakeIdentityProvider;
using test::FakeServer;
using test::TempDir;

TEST(OAuthSasl, MessagesCarryUserAndTokenBetweenSeparators) {
  EXPECT_EQ(Xoauth2Message("a@b.example", "tok"), std::string("user=a@b.example\x01" "auth=Bearer tok\x01\x01"));
  // A user name with "," and "=" is written as a saslname.
  EXPECT_EQ(OAuthBearerMessage("x,y=z", "tok"), std::string("n,a=x=2Cy=3Dz,\x01" "auth=Bearer tok\x01\x01"));
  EXPECT_TRUE(UsableBearerToken("eyJ0eXAi.OiJKV1Q-_~+/=="));
  for (const char* bad : {"", "a b", "tok\x01", "tok\r\n", "=abc", "ab=c"}) EXPECT_FALSE(UsableBearerToken(bad)) << bad;
}

// The exchanges Dovecot does not show: IMAP4 without SASL-IR, and the
// error challenge ("+ <base64 JSON>") that a refused token gets, answered
// with an empty line; then one renewal, and the next refusal is final.
TEST(OAuthSasl, RefusalChallengeIsAnsweredAndShownAndTheTokenRenewedOnce) {
  const std::string error = "eyJzdGF0dXMiOiI0MDEiLCJzY2hlbWVzIjoiQmVhcmVyIn0=";  // {"status":"401","schemes":"Bearer"}
  struct Row {
    int protocol;
    std::string script;
  } rows[] = {
      {1, "S: * OK ready\nC: A0001 CAPABILITY\nS: * CAPABILITY IMAP4rev1 AUTH=XOAUTH2\nS: A0001 OK done\n"
          "C: A0002 AUTHENTICATE XOAUTH2\nS: +\nC: *\nS: + " + error + "\nC: \nS: A0002 NO [AUTHENTICATIONFAILED] no\n"
          "C: A0003 AUTHENTICATE XOAUTH2\nS: +\nC: *\nS: + " + error + "\nC: \nS: A0003 NO [AUTHENTICATIONFAILED] no\nX\n"},
      {0, "S: +OK ready\nC: AUTH XOAUTH2\nS: +\nC: *\nS: + " + error + "\nC: \nS: -ERR [AUTH] no\n"
          "C: AUTH XOAUTH2\nS: + \nC: *\nS: -ERR [AUTH] still no\nX\n"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.protocol);
    FakeServer fake(r.script);
    CMailServer settings;
    settings.Server = "127.0.0.1";
    settings.Port = fake.port();
    settings.Protocol = r.protocol;
    settings.User = "box@example";
    settings.OAuth2 = true;
    CMailClient session;
    session.Timeout = 10;
    std::vector<bool> asked;
    session.TokenSource = [&](bool renew, std::string& token, std::string& note) {
      asked.push_back(renew);
      token = renew ? "second-token" : "first-token";
      note = "OAuth2: test token\r\n";
      return true;
    };
    EXPECT_NE(session.Connect(&settings), 0);
    EXPECT_TRUE(fake.WaitDone()) << fake.Failures();
    EXPECT_EQ(asked, (std::vector<bool>{false, true}));
    EXPECT_EQ(session.LastError.rfind("Mail Server: ", 0), 0u) << session.LastError;
    if (r.protocol == 1) {
      EXPECT_NE(session.LastError.find("\"status\":\"401\""), std::string::npos) << session.LastError;
    }
    EXPECT_EQ(session.Transcript.find("-token"), std::string::npos);
    EXPECT_EQ(session.Transcript.find(Base64Encode(Xoauth2Message("box@example", "first-token"))), std::string::npos);
  }
}

TEST(OAuthReply, TokenRepliesAndRefusalsAreReadWithoutTrustingTheirShape) {
  struct Row {
    int status;
    const char* body;
    bool ok;
    const char* error;
    int64_t expires;
  } rows[] = {
      {200, R"({"token_type":"Bearer","access_token":"A","expires_in":3599})", true, "", 3599},
      // Some providers send the lifetime as a string.
      {200, R"({"access_token":"A","expires_in":"3600","refresh_token":"R"})", true, "", 3600},
      {200, R"({"token_type":"mac","access_token":"A"})", false, "", 0},
      {200, R"({"access_token":7})", false, "", 0},
      {400, R"({"error":"invalid_client","error_description":"bad secret"})", false, "invalid_client", 0},
      {200, R"({"error":"slow_down"})", false, "slow_down", 0},
      {500, "<html>oops</html>", false, "", 0},
      {200, "[1,2]", false, "", 0},
      {200, R"({"access_token":"A","expires_in":-5})", true, "", 0},
  };
  for (const Row& r : rows) {
    oauth::TokenReply reply;
    std::string why;
    EXPECT_EQ(oauth::ParseTokenReply(r.status, r.body, reply, why), r.ok) << r.body;
    EXPECT_EQ(reply.error, r.error) << r.body;
    EXPECT_EQ(reply.expiresIn, r.expires) << r.body;
    if (!r.ok) {
      EXPECT_FALSE(why.empty()) << r.body;
    }
  }
}

TEST(OAuthSettingsKeys, ABlockWithoutTokenUrlLogsInAsBefore) {
  TempDir dir;
  auto block = ParseConfig(
      "BEGIN:acct\r\nServer:mail.example\r\nUser:bob\r\nPassword:pw\r\nAuthType:1\r\n"
      "OAuth2ClientId:c\r\nOAuth2ClientSecret:s\r\nOAuth2Mechanism:OAUTHBEARER\r\nEND:acct\r\n");
  ASSERT_TRUE(block);
  AccountSession s = BuildSession(*block, dir.path());
  EXPECT_FALSE(s.server.OAuth2);
  EXPECT_FALSE(s.oauth.enabled());
  EXPECT_NE(DescribeSettings(s.server).find("AuthType: AuthCRAM5\r\n"), std::string::npos);

  block->Set("OAuth2TokenUrl", "https://idp.example/token");
  block->Set("OAuth2Grant", "Refresh_Token");
  block->Set("AuthType", "9");
  s = BuildSession(*block, dir.path());
  EXPECT_TRUE(s.server.OAuth2);
  EXPECT_EQ(s.server.OAuth2Mechanism, OAuthBearer);
  EXPECT_EQ(s.server.AuthType, AuthLogin);  // AuthType keeps its range rule
  EXPECT_EQ(s.oauth.grant, oauth::Grant::RefreshToken);
  EXPECT_EQ(s.oauth.clientSecret, "s");
  std::string described = DescribeSettings(s.server);
  EXPECT_NE(described.find("AuthType: OAUTHBEARER\r\n"), std::string::npos);
  EXPECT_EQ(described.find("s\r\n"), std::string::npos);
}

// One identity provider and one Dovecot that checks tokens with it.
class OAuthDovecot : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    idp_ = new FakeIdentityProvider;
    if (!idp_->Start(&error_)) return;
    idp_->AddClient("app", "s3cr3t-Value");
    idp_->AddCertificateClient("certapp");
    dovecot_ = new Dovecot;
    dovecot_->EnableOAuth2(idp_->Url("/introspect"), idp_->ca_file());
    if (!dovecot_->Start(&error_)) {
      delete dovecot_;
      dovecot_ = nullptr;
    }
  }
  static void TearDownTestSuite() {
    delete dovecot_;
    dovecot_ = nullptr;
    delete idp_;
    idp_ = nullptr;
  }
  void SetUp() override {
    if (!dovecot_) GTEST_SKIP() << "Dovecot or the identity provider did not start: " << error_;
    idp_->RefuseAll(false);
    idp_->SetExpiresIn(3600);
    user_ = "box" + std::to_string(++users_);
    ASSERT_TRUE(dovecot_->AddUser(user_, "pw"));
    idp_->SetMailbox(user_);
    MakeFolders(dir_ / "queue");
    MakeFolders(dir_ / "data");
    MakeFolders(dir_ / "pull");
  }

  // An account block for the mailbox, with the given extra keys.
  ConfigBlock Block(int protocol, int port, bool ssl, const std::vector<std::pair<std::string, std::string>>& keys) {
    ConfigBlock b;
    b.name = "acct" + user_;
    b.Set("Server", "127.0.0.1");
    b.Set("Port", std::to_string(port));
    b.Set("Protocol", std::to_string(protocol));
    b.Set("SSLConnection", ssl ? "1" : "0");
    b.Set("User", user_);
    b.Set("LocalUser", "ann");
    b.Set("LocalDomain", "local.dom");
    b.Set("OAuth2TokenUrl", idp_->Url("/token"));
    b.Set("OAuth2CaFile", idp_->ca_file());
    for (const auto& [k, v] : keys) b.Set(k, v);
    return b;
  }
  ConfigBlock SecretBlock(int protocol = 0, int port = 0, bool ssl = false) {
    return Block(protocol, port ? port : dovecot_->pop3_port(), ssl,
                 {{"OAuth2ClientId", "app"}, {"OAuth2ClientSecret", "s3cr3t-Value"}});
  }

  AccountRunResult Run(const ConfigBlock& block, Clock& clock) {
    AccountSession account = BuildSession(block, dir_.path());
    PullOptions options;
    options.queueFolder = dir_ / "queue";
    options.dataFolder = dir_ / "data";
    options.timeoutSeconds = 20;
    options.stallWaitMs = 300;
    options.clock = &clock;
    PullJob job(options);
    return job.Run(account, nullptr);
  }
  std::string CachePath(const ConfigBlock& b) { return dir_ / ("pull/" + b.name + "/" + oauth::kTokenCacheName); }

  void ExpectNoSecret(const std::string& text) {
    EXPECT_EQ(text.find("s3cr3t-Value"), std::string::npos) << text;
    for (const std::string& s : idp_->Secrets()) EXPECT_EQ(text.find(s), std::string::npos) << s << " in\n" << text;
  }

  static FakeIdentityProvider* idp_;
  static Dovecot* dovecot_;
  static std::string error_;
  static int users_;
  std::string user_;
  TempDir dir_;
};
FakeIdentityProvider* OAuthDovecot::idp_ = nullptr;
Dovecot* OAuthDovecot::dovecot_ = nullptr;
std::string OAuthDovecot::error_;
int OAuthDovecot::users_ = 0;

TEST_F(OAuthDovecot, ClientCredentialsPullOverPop3AndImap4PlainAndTls) {
  struct Row {
    const char* name;
    int protocol;
    int port;
    bool ssl;
    bool assertion;
    const char* mechanism;
  } rows[] = {
      {"pop3 secret xoauth2", 0, dovecot_->pop3_port(), false, false, "XOAUTH2"},
      {"pop3s assertion oauthbearer", 0, dovecot_->pop3s_port(), true, true, "OAUTHBEARER"},
      {"pop3 assertion xoauth2", 0, dovecot_->pop3_port(), false, true, "XOAUTH2"},
      {"imap secret oauthbearer", 1, dovecot_->imap_port(), false, false, "OAUTHBEARER"},
      {"imaps secret xoauth2", 1, dovecot_->imaps_port(), true, false, "XOAUTH2"},
      {"imaps assertion oauthbearer", 1, dovecot_->imaps_port(), true, true, "OAUTHBEARER"},
  };
  int n = 0;
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    dovecot_->AddMessage(user_, "Subject: m\r\n\r\nbody\r\n");
    std::vector<std::pair<std::string, std::string>> keys = {{"OAuth2Mechanism", r.mechanism}, {"LeaveCopy", "0"}};
    if (r.assertion) {
      keys.insert(keys.end(), {{"OAuth2ClientId", "certapp"},
                               {"OAuth2KeyFile", idp_->client_key_file()},
                               {"OAuth2CertificateFile", idp_->client_cert_file()}});
    } else {
      keys.insert(keys.end(), {{"OAuth2ClientId", "app"}, {"OAuth2ClientSecret", "s3cr3t-Value"}});
    }
    ConfigBlock b = Block(r.protocol, r.port, r.ssl, keys);
    b.name += std::to_string(n++);
    AccountRunResult result = Run(b, SystemClock());
    ASSERT_TRUE(result.ok) << result.lastError << result.transcript << dovecot_->Log();
    EXPECT_NE(result.transcript.find("******"), std::string::npos);
    ExpectNoSecret(result.transcript);
    struct stat st {};
    ASSERT_EQ(::stat(CachePath(b).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
  }
  EXPECT_EQ(ListFiles(dir_ / "queue").size(), std::size(rows));
}

TEST_F(OAuthDovecot, ATokenThatExpiresBetweenRunsIsRenewedOnceBeforeUse) {
  FakeClock clock(1'800'000'000'000);
  ConfigBlock b = SecretBlock();
  const int before = idp_->counts().clientCredentials;
  ASSERT_TRUE(Run(b, clock).ok);
  AccountRunResult second = Run(b, clock);
  ASSERT_TRUE(second.ok) << second.lastError;
  EXPECT_EQ(idp_->counts().clientCredentials, before + 1);  // the cache served the second run
  EXPECT_NE(second.transcript.find("from the cache"), std::string::npos);
  clock.Advance(3600'000 - 200'000);  // within the renewal margin
  AccountRunResult third = Run(b, clock);
  ASSERT_TRUE(third.ok) << third.lastError;
  EXPECT_EQ(idp_->counts().clientCredentials, before + 2);
  EXPECT_EQ(third.transcript.find("refused"), std::string::npos);
}

TEST_F(OAuthDovecot, ARefusedTokenIsRenewedOnceAndASecondRefusalIsFinal) {
  for (int protocol : {0, 1}) {
    SCOPED_TRACE(protocol);
    ConfigBlock b = SecretBlock(protocol, protocol ? dovecot_->imap_port() : dovecot_->pop3_port());
    b.name += std::to_string(protocol);
    ASSERT_TRUE(Run(b, SystemClock()).ok);
    idp_->RevokeAccessTokens();
    int before = idp_->counts().clientCredentials;
    AccountRunResult renewed = Run(b, SystemClock());
    ASSERT_TRUE(renewed.ok) << renewed.lastError << renewed.transcript;
    EXPECT_EQ(idp_->counts().clientCredentials, before + 1);
    EXPECT_NE(renewed.transcript.find("renewing it once"), std::string::npos);

    idp_->RefuseAll(true);
    before = idp_->counts().clientCredentials;
    AccountRunResult refused = Run(b, SystemClock());
    EXPECT_FALSE(refused.ok);
    EXPECT_EQ(idp_->counts().clientCredentials, before + 1);  // one renewal, no loop
    EXPECT_EQ(refused.lastError.rfind("Mail Server: ", 0), 0u) << refused.lastError;
    ExpectNoSecret(refused.transcript + refused.lastError);
    idp_->RefuseAll(false);
  }
}

TEST_F(OAuthDovecot, ARotatedRefreshTokenIsKeptForTheNextRun) {
  FakeClock clock(1'800'000'000'000);
  const std::string first = idp_->IssueRefreshToken("app");
  ConfigBlock b = Block(1, dovecot_->imap_port(), false,
                        {{"OAuth2Grant", "refresh_token"}, {"OAuth2ClientId", "app"},
                         {"OAuth2RefreshToken", first}});
  ASSERT_TRUE(Run(b, clock).ok);
  oauth::CachedToken cached;
  ASSERT_TRUE(oauth::LoadCachedToken(CachePath(b), cached));
  EXPECT_NE(cached.refreshToken, first);
  EXPECT_EQ(cached.refreshToken, idp_->current_refresh_token());

  // The first token is spent; only the stored successor can renew.
  clock.Advance(3600'000);
  AccountRunResult again = Run(b, clock);
  ASSERT_TRUE(again.ok) << again.lastError;
  ASSERT_TRUE(oauth::LoadCachedToken(CachePath(b), cached));
  EXPECT_EQ(cached.refreshToken, idp_->current_refresh_token());
  ExpectNoSecret(again.transcript);
  // The cache is replaced atomically: no temporary files are left beside it.
  for (const std::string& f : ListFiles(dir_ / ("pull/" + b.name)))
    EXPECT_EQ(f.find(".tmp"), std::string::npos) << f;
}

TEST_F(OAuthDovecot, DeviceSignInWaitsThroughPendingAndSlowDownThenPulls) {
  FakeClock clock(1'800'000'000'000);
  oauth::Settings settings;
  settings.tokenUrl = idp_->Url("/token");
  settings.deviceUrl = idp_->Url("/device");
  settings.clientId = "phone";
  settings.scope = "offline_access mail";
  settings.caFile = idp_->ca_file();
  settings.grant = oauth::Grant::DeviceCode;

  idp_->SetDeviceScript(1, true);
  const int polls = idp_->counts().devicePolls;
  std::string shown;
  oauth::TokenReply reply;
  std::string why;
  const int64_t start = clock.NowMs();
  ASSERT_TRUE(oauth::SignIn(settings, clock, [&](const oauth::SignInPrompt& p) { shown = p.userCode + " " + p.verificationUri; },
                            reply, why))
      << why;
  EXPECT_EQ(shown, std::string(FakeIdentityProvider::kUserCode) + " " + idp_->Url("/verify"));
  EXPECT_EQ(idp_->counts().devicePolls, polls + 3);
  EXPECT_EQ(clock.NowMs() - start, 5'000 + 5'000 + 10'000);  // slow_down adds 5 s
  ASSERT_FALSE(reply.refreshToken.empty());

  // The front end hands the refresh token over as the account's key.
  ConfigBlock b = Block(0, dovecot_->pop3_port(), false,
                        {{"OAuth2Grant", "device_code"}, {"OAuth2ClientId", "phone"},
                         {"OAuth2DeviceUrl", settings.deviceUrl}, {"OAuth2RefreshToken", reply.refreshToken}});
  AccountRunResult result = Run(b, clock);
  ASSERT_TRUE(result.ok) << result.lastError;

  idp_->SetDeviceScript(0, false, true);
  EXPECT_FALSE(oauth::SignIn(settings, clock, nullptr, reply, why));
  EXPECT_NE(why.find("expired_token"), std::string::npos) << why;
}

TEST_F(OAuthDovecot, AnUntrustedProviderCertificateFailsBeforeTheMailServerIsAsked) {
  ConfigBlock b = SecretBlock();
  b.Set("OAuth2CaFile", "");  // the system's bundle does not know the test CA
  const int before = idp_->counts().clientCredentials;
  AccountRunResult result = Run(b, SystemClock());
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(result.lastError.rfind("OAuth2: ", 0), 0u) << result.lastError;
  EXPECT_EQ(idp_->counts().clientCredentials, before);
}

}  // namespace
}  // namespace tarnwick
