// A small OAuth 2.0 identity provider for the login tests, served over
// HTTPS on a free loopback port with a certificate of a private test CA made
// at start (ca_file() is the bundle to trust). It knows one mailbox, whose
// name its introspection answer gives for every active token.
//
//   POST /token       client_credentials (secret or RS256 client assertion),
//                     refresh_token (rotating: each use issues a new one and
//                     retires the old), device_code
//   POST /device      device authorization
//   POST /introspect  token=...  ->  {"active":true,"email":mailbox} or
//                     {"active":false}
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace tarnwick::test {

class FakeIdentityProvider {
 public:
  FakeIdentityProvider();
  ~FakeIdentityProvider();
  FakeIdentityProvider(const FakeIdentityProvider&) = delete;
  FakeIdentityProvider& operator=(const FakeIdentityProvider&) = delete;

  bool Start(std::string* error = nullptr);
  void Stop();

  // "https://127.0.0.1:<port>" + path.
  std::string Url(const std::string& path) const;
  const std::string& ca_file() const { return ca_file_; }
  // An RSA key and certificate a client signs its assertions with.
  const std::string& client_key_file() const { return client_key_file_; }
  const std::string& client_cert_file() const { return client_cert_file_; }

  void AddClient(const std::string& id, const std::string& secret);
  // A client that authenticates by assertions signed with client_key_file().
  void AddCertificateClient(const std::string& id);
  void SetMailbox(const std::string& mailbox);
  void SetExpiresIn(long seconds);
  // Issues a refresh token for the client, as a sign-in elsewhere would.
  std::string IssueRefreshToken(const std::string& client);
  // Whether an access token is active, as the introspection endpoint says.
  bool TokenActive(const std::string& token) const;
  // Tokens stop being active.
  void RevokeAccessTokens();
  // No token is active from now on, old or new.
  void RefuseAll(bool refuse);
  // The device grant's answers: pending polls, then one slow_down, then
  // success; or expired_token at once.
  void SetDeviceScript(int pendingPolls, bool slowDown, bool expire = false);
  // The user code the device endpoint hands out.
  static constexpr const char* kUserCode = "WDJB-MJHT";

  struct Counts {
    int clientCredentials = 0;
    int refresh = 0;
    int devicePolls = 0;
    int introspections = 0;
    int refused = 0;
  };
  Counts counts() const;
  // Every access and refresh token issued, and the assertions received.
  std::vector<std::string> Secrets() const;
  std::string current_refresh_token() const;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
  std::string ca_file_;
  std::string client_key_file_;
  std::string client_cert_file_;
};

}  // namespace tarnwick::test
