// EWS accounts that log in with OAuth2: the pull job against the fake EWS
// server, which asks the fake identity provider whether each bearer token
// is active and checks the anchor mailbox.
#include "engine/AccountSettings.h"
#include "engine/PullJob.h"
#include "exchange/BearerAuthorization.h"
#include "exchange/ExchangeProtocols.h"
#include "platform/Files.h"
#include "tests/support/FakeExchange.h"
#include "tests/support/FakeIdentityProvider.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace tarnwick {
namespace {

using test::FakeEws;
using test::FakeIdentityProvider;
using test::TempDir;

constexpr const char* kMailbox = "box@corp.example";
constexpr const char* kSecret = "s3cr3t-Value";
constexpr const char* kPassword = "unused-pw";

class EwsOAuth : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    if (!idp_.Start(&error)) GTEST_SKIP() << "the identity provider did not start: " << error;
    idp_.AddClient("app", kSecret);
    idp_.SetMailbox(kMailbox);
    RegisterExchangeProtocols(PrepareBearerAuthorization);
    test::HttpOptions o{.auth = test::HttpAuth::Bearer, .user = kMailbox, .anchor = kMailbox};
    o.bearerCheck = [this](const std::string& token) { return idp_.TokenActive(token); };
    ews_ = std::make_unique<FakeEws>(o);
    MakeFolders(dir_ / "queue");
    MakeFolders(dir_ / "data");
    MakeFolders(dir_ / "pull");
    block_.name = "ewsbox";
    for (const auto& [k, v] : {std::pair<std::string, std::string>{"Server", ews_->Url()},
                               {"Protocol", "2"},
                               {"User", kMailbox},
                               {"Password", kPassword},
                               {"LocalUser", "ann"},
                               {"LocalDomain", "local.dom"},
                               {"LeaveCopy", "0"},
                               {"OAuth2TokenUrl", idp_.Url("/token")},
                               {"OAuth2CaFile", idp_.ca_file()},
                               {"OAuth2ClientId", "app"},
                               {"OAuth2ClientSecret", kSecret}})
      block_.Set(k, v);
  }
  void TearDown() override { RegisterExchangeProtocols(); }

  AccountRunResult Run() {
    AccountSession account = BuildSession(block_, dir_.path());
    PullOptions options;
    options.queueFolder = dir_ / "queue";
    options.dataFolder = dir_ / "data";
    options.timeoutSeconds = 10;
    PullJob job(options);
    return job.Run(account, nullptr);
  }
  void ExpectNoSecret(const std::string& text) {
    EXPECT_EQ(text.find(kSecret), std::string::npos) << text;
    EXPECT_EQ(text.find(kPassword), std::string::npos) << text;
    for (const std::string& s : idp_.Secrets()) EXPECT_EQ(text.find(s), std::string::npos) << s << " in\n" << text;
  }

  FakeIdentityProvider idp_;
  std::unique_ptr<FakeEws> ews_;
  ConfigBlock block_;
  TempDir dir_;
};

TEST_F(EwsOAuth, ClientCredentialsPullSendsTheBearerTokenAndAnchorAndNoPassword) {
  ews_->AddMessage("Subject: one\r\n\r\nbody\r\n");
  ews_->AddMessage("Subject: two\r\n\r\nbody\r\n");
  AccountRunResult r = Run();
  ASSERT_TRUE(r.ok) << r.lastError << r.transcript << ews_->http().Failures();
  EXPECT_EQ(ListFiles(dir_ / "queue").size(), 2u);
  EXPECT_TRUE(ews_->Messages().empty());  // deleted after the good run
  EXPECT_EQ(idp_.counts().clientCredentials, 1);
  // Every request that got through carried the token; none offered the password.
  for (const test::HttpIn& in : ews_->http().Requests()) {
    const std::string* authz = in.Header("Authorization");
    ASSERT_NE(authz, nullptr);
    EXPECT_EQ(authz->rfind("Bearer ", 0), 0u) << *authz;
  }
  ExpectNoSecret(r.transcript + r.lastError);
}

TEST_F(EwsOAuth, ARevokedTokenIsRenewedOnceAndASecondRefusalIsFinal) {
  ASSERT_TRUE(Run().ok);
  idp_.RevokeAccessTokens();  // the cached token is refused next time
  ews_->AddMessage("Subject: after\r\n\r\nbody\r\n");
  int before = idp_.counts().clientCredentials;
  AccountRunResult renewed = Run();
  ASSERT_TRUE(renewed.ok) << renewed.lastError << renewed.transcript;
  EXPECT_EQ(idp_.counts().clientCredentials, before + 1);
  EXPECT_NE(renewed.transcript.find("renewing it once"), std::string::npos) << renewed.transcript;
  EXPECT_EQ(ListFiles(dir_ / "queue").size(), 1u);

  idp_.RefuseAll(true);
  before = idp_.counts().clientCredentials;
  const std::size_t requests = ews_->http().Requests().size();
  AccountRunResult refused = Run();
  EXPECT_FALSE(refused.ok);
  EXPECT_EQ(idp_.counts().clientCredentials, before + 1);  // one renewal, no loop
  EXPECT_EQ(ews_->http().Requests().size(), requests);     // nothing got through
  EXPECT_NE(refused.lastError.find("401"), std::string::npos) << refused.lastError;
  ExpectNoSecret(refused.transcript + refused.lastError);
}

}  // namespace
}  // namespace tarnwick
