// A self-signed certificate and key for the test servers (CN=localhost,
// P-256 key, valid for two days), made once per process with OpenSSL.
#pragma once

#include <string>

namespace tarnwick::test {

struct TestCert {
  std::string cert_pem;
  std::string key_pem;
};

// The process's test certificate; empty texts when OpenSSL failed.
const TestCert& SelfSignedCert();

}  // namespace tarnwick::test
