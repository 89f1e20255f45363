// A test fixture with one private Dovecot for the whole test suite, started
// before its first test; a test is skipped, with the reason, when the server
// could not start. Each suite names itself as the template argument so that
// suites keep servers of their own:
//
//   class PullDovecot : public test::DovecotSuite<PullDovecot> {};
#pragma once

#include "tests/support/Dovecot.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace tarnwick::test {

template <class Suite>
class DovecotSuite : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    server_ = std::make_unique<Dovecot>();
    if (!server_->Start(&start_error_)) server_.reset();
  }
  static void TearDownTestSuite() { server_.reset(); }
  void SetUp() override {
    if (!server_) GTEST_SKIP() << "Dovecot did not start: " << start_error_;
  }
  // A fresh user per test, so that tests do not see each other's mail.
  std::string NewUser(const std::string& password = "pw") {
    std::string user = "u" + std::to_string(++users_);
    EXPECT_TRUE(server_->AddUser(user, password));
    return user;
  }

  static inline std::unique_ptr<Dovecot> server_;
  static inline std::string start_error_;
  static inline int users_ = 0;
};

}  // namespace tarnwick::test
