#include "tests/support/FakeIdentityProvider.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>

namespace tarnwick::test {

namespace {

using KeyPtr = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
using CertPtr = std::unique_ptr<X509, decltype(&X509_free)>;

KeyPtr NewKey(bool rsa) {
  return KeyPtr(rsa ? EVP_RSA_gen(2048) : EVP_EC_gen("P-256"), &EVP_PKEY_free);
}

void AddExt(X509* cert, X509* issuer, int nid, const char* value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
  if (X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value)) {
    X509_add_ext(cert, ext, -1);
    X509_EXTENSION_free(ext);
  }
}

// A certificate for key with common name cn, signed by issuerKey (itself
// when issuer is null).
CertPtr MakeCert(EVP_PKEY* key, const char* cn, X509* issuer, EVP_PKEY* issuerKey, bool ca, long serial) {
  CertPtr cert(X509_new(), &X509_free);
  X509_set_version(cert.get(), 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), serial);
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), 2 * 86400);
  X509_set_pubkey(cert.get(), key);
  X509_NAME* name = X509_get_subject_name(cert.get());
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(cn), -1, -1, 0);
  X509_set_issuer_name(cert.get(), issuer ? X509_get_subject_name(issuer) : name);
  X509* iss = issuer ? issuer : cert.get();
  if (ca) {
    AddExt(cert.get(), iss, NID_basic_constraints, "critical,CA:TRUE");
    AddExt(cert.get(), iss, NID_key_usage, "critical,keyCertSign,cRLSign");
  } else if (issuer) {
    AddExt(cert.get(), iss, NID_basic_constraints, "CA:FALSE");
    AddExt(cert.get(), iss, NID_subject_alt_name, "IP:127.0.0.1,DNS:localhost");
  }
  X509_sign(cert.get(), issuerKey, EVP_sha256());
  return cert;
}

std::string KeyPem(EVP_PKEY* key) {
  BIO* b = BIO_new(BIO_s_mem());
  PEM_write_bio_PrivateKey(b, key, nullptr, nullptr, 0, nullptr, nullptr);
  char* p = nullptr;
  long n = BIO_get_mem_data(b, &p);
  std::string s(p, static_cast<std::size_t>(n));
  BIO_free(b);
  return s;
}

std::string CertPem(X509* cert) {
  BIO* b = BIO_new(BIO_s_mem());
  PEM_write_bio_X509(b, cert);
  char* p = nullptr;
  long n = BIO_get_mem_data(b, &p);
  std::string s(p, static_cast<std::size_t>(n));
  BIO_free(b);
  return s;
}

bool WriteText(const std::string& path, const std::string& text) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f << text;
  return static_cast<bool>(f);
}

std::string UrlDecode(std::string_view s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '+') out += ' ';
    else if (s[i] == '%' && i + 2 < s.size()) {
      out += static_cast<char>(std::stoi(std::string(s.substr(i + 1, 2)), nullptr, 16));
      i += 2;
    } else out += s[i];
  }
  return out;
}

std::map<std::string, std::string> ParseForm(std::string_view body) {
  std::map<std::string, std::string> out;
  while (!body.empty()) {
    std::size_t amp = body.find('&');
    std::string_view pair = body.substr(0, amp);
    std::size_t eq = pair.find('=');
    if (eq != std::string_view::npos) out[UrlDecode(pair.substr(0, eq))] = UrlDecode(pair.substr(eq + 1));
    if (amp == std::string_view::npos) break;
    body.remove_prefix(amp + 1);
  }
  return out;
}

std::string B64UrlDecode(std::string_view s) {
  std::string t(s);
  for (char& c : t) c = c == '-' ? '+' : c == '_' ? '/' : c;
  while (t.size() % 4) t += '=';
  std::string out(t.size(), '\0');
  int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                          reinterpret_cast<const unsigned char*>(t.data()), static_cast<int>(t.size()));
  if (n < 0) return {};
  std::size_t pad = t.size() - t.find_last_not_of('=') - 1;
  out.resize(static_cast<std::size_t>(n) - pad);
  return out;
}

std::string B64Url(const unsigned char* p, std::size_t n) {
  std::string out(4 * ((n + 2) / 3) + 1, '\0');
  int len = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), p, static_cast<int>(n));
  out.resize(static_cast<std::size_t>(len));
  while (!out.empty() && out.back() == '=') out.pop_back();
  for (char& c : out) c = c == '+' ? '-' : c == '/' ? '_' : c;
  return out;
}

// The value of "name":"value" or "name":number in a small JSON text.
std::string JsonValue(const std::string& json, const std::string& name) {
  std::size_t p = json.find("\"" + name + "\"");
  if (p == std::string::npos) return {};
  p = json.find(':', p);
  if (p == std::string::npos) return {};
  ++p;
  while (p < json.size() && json[p] == ' ') ++p;
  if (p < json.size() && json[p] == '"') {
    std::size_t e = json.find('"', p + 1);
    return json.substr(p + 1, e - p - 1);
  }
  std::size_t e = json.find_first_of(",}", p);
  return json.substr(p, e - p);
}

}  // namespace

struct FakeIdentityProvider::Impl {
  std::string dir;
  int listenFd = -1;
  int port = 0;
  SSL_CTX* ctx = nullptr;
  std::thread acceptor;
  std::atomic<bool> stopping{false};
  std::mutex connMutex;
  std::vector<std::thread> connections;

  mutable std::mutex mutex;
  std::map<std::string, std::string> secrets;  // client -> secret
  std::map<std::string, bool> certClients;
  std::string clientX5t;
  EVP_PKEY* clientPublic = nullptr;
  std::string mailbox = "alice";
  long expiresIn = 3600;
  std::map<std::string, bool> accessTokens;     // token -> active
  std::map<std::string, std::string> refreshTokens;  // token -> client, for live ones
  std::vector<std::string> secretsSeen;
  std::string lastRefresh;
  bool refuseAll = false;
  int pendingPolls = 0;
  bool slowDown = false;
  bool expire = false;
  Counts counts;
  long serial = 0;

  std::string NewToken(const char* prefix) { return prefix + std::to_string(++serial) + "x" + std::to_string(::getpid()); }

  bool VerifyAssertion(const std::string& jwt, const std::string& client, const std::string& audience) {
    std::size_t a = jwt.find('.'), b = jwt.rfind('.');
    if (a == std::string::npos || a == b || !clientPublic) return false;
    std::string header = B64UrlDecode(std::string_view(jwt).substr(0, a));
    std::string claims = B64UrlDecode(std::string_view(jwt).substr(a + 1, b - a - 1));
    std::string sig = B64UrlDecode(std::string_view(jwt).substr(b + 1));
    if (JsonValue(header, "alg") != "RS256" || JsonValue(header, "x5t") != clientX5t) return false;
    if (JsonValue(claims, "iss") != client || JsonValue(claims, "sub") != client ||
        JsonValue(claims, "aud") != audience || JsonValue(claims, "jti").empty())
      return false;
    EVP_MD_CTX* md = EVP_MD_CTX_new();
    bool ok = EVP_DigestVerifyInit(md, nullptr, EVP_sha256(), nullptr, clientPublic) == 1 &&
              EVP_DigestVerify(md, reinterpret_cast<const unsigned char*>(sig.data()), sig.size(),
                               reinterpret_cast<const unsigned char*>(jwt.data()), b) == 1;
    EVP_MD_CTX_free(md);
    return ok;
  }

  std::string Issue(bool withRefresh, const std::string& client) {
    std::string access = NewToken("at");
    accessTokens[access] = true;
    secretsSeen.push_back(access);
    std::string json = "{\"token_type\":\"Bearer\",\"access_token\":\"" + access +
                       "\",\"expires_in\":" + std::to_string(expiresIn);
    if (withRefresh) {
      std::string refresh = NewToken("rt");
      refreshTokens[refresh] = client;
      secretsSeen.push_back(refresh);
      lastRefresh = refresh;
      json += ",\"refresh_token\":\"" + refresh + "\"";
    }
    return json + "}";
  }

  // Returns the status and body for one request.
  std::pair<int, std::string> Handle(const std::string& path, const std::string& body, const std::string& url) {
    std::lock_guard<std::mutex> lock(mutex);
    auto form = ParseForm(body);
    auto error = [](const char* code) {
      return std::pair<int, std::string>(400, std::string("{\"error\":\"") + code + "\",\"error_description\":\"" + code + " from the test provider\"}");
    };
    if (path == "/introspect") {
      ++counts.introspections;
      auto it = accessTokens.find(form["token"]);
      if (refuseAll || it == accessTokens.end() || !it->second) return {200, "{\"active\":false}"};
      return {200, "{\"active\":\"true\",\"email\":\"" + mailbox + "\"}"};
    }
    const std::string client = form["client_id"];
    if (path == "/device") {
      return {200, "{\"device_code\":\"dc-" + client + "\",\"user_code\":\"" + kUserCode +
                       "\",\"verification_uri\":\"" + url + "/verify\",\"expires_in\":900,\"interval\":5}"};
    }
    if (path != "/token") return {404, "{\"error\":\"not_found\"}"};
    // Client authentication: a secret, an assertion, or none for a public
    // client (refresh and device grants only).
    bool authenticated = false;
    if (form.count("client_assertion")) {
      secretsSeen.push_back(form["client_assertion"]);
      if (form["client_assertion_type"] != "urn:ietf:params:oauth:client-assertion-type:jwt-bearer" ||
          !certClients.count(client) || !VerifyAssertion(form["client_assertion"], client, url + "/token")) {
        ++counts.refused;
        return error("invalid_client");
      }
      authenticated = true;
    } else if (form.count("client_secret")) {
      if (!secrets.count(client) || secrets[client] != form["client_secret"]) {
        ++counts.refused;
        return error("invalid_client");
      }
      authenticated = true;
    }
    const std::string grant = form["grant_type"];
    if (grant == "client_credentials") {
      ++counts.clientCredentials;
      if (!authenticated) return error("invalid_client");
      return {200, Issue(false, client)};
    }
    if (grant == "refresh_token") {
      ++counts.refresh;
      auto it = refreshTokens.find(form["refresh_token"]);
      if (it == refreshTokens.end() || it->second != client) {
        ++counts.refused;
        return error("invalid_grant");
      }
      refreshTokens.erase(it);  // rotation: the old one is spent
      return {200, Issue(true, client)};
    }
    if (grant == "urn:ietf:params:oauth:grant-type:device_code") {
      ++counts.devicePolls;
      if (form["device_code"] != "dc-" + client) return error("invalid_grant");
      if (expire) return error("expired_token");
      if (pendingPolls > 0) {
        --pendingPolls;
        return error("authorization_pending");
      }
      if (slowDown) {
        slowDown = false;
        return error("slow_down");
      }
      return {200, Issue(true, client)};
    }
    return error("unsupported_grant_type");
  }

  void Serve(int fd) {
    timeval tv{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    SSL* ssl = SSL_new(ctx);
    SSL_set_fd(ssl, fd);
    if (SSL_accept(ssl) == 1) {
      std::string data;
      char buf[4096];
      std::size_t headerEnd = std::string::npos;
      std::size_t length = 0;
      for (;;) {
        if (headerEnd != std::string::npos && data.size() >= headerEnd + 4 + length) break;
        int n = SSL_read(ssl, buf, sizeof buf);
        if (n <= 0) break;
        data.append(buf, static_cast<std::size_t>(n));
        if (headerEnd == std::string::npos && (headerEnd = data.find("\r\n\r\n")) != std::string::npos) {
          std::string lower = data.substr(0, headerEnd);
          for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
          std::size_t p = lower.find("content-length:");
          if (p != std::string::npos) length = std::stoul(lower.substr(p + 15));
        }
      }
      if (headerEnd != std::string::npos) {
        std::size_t sp1 = data.find(' '), sp2 = data.find(' ', sp1 + 1);
        std::string path = data.substr(sp1 + 1, sp2 - sp1 - 1);
        auto [status, body] = Handle(path, data.substr(headerEnd + 4, length), "https://127.0.0.1:" + std::to_string(port));
        std::string reply = "HTTP/1.1 " + std::to_string(status) + (status == 200 ? " OK" : " Bad Request") +
                            "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
                            "\r\nConnection: close\r\n\r\n" + body;
        SSL_write(ssl, reply.data(), static_cast<int>(reply.size()));
        SSL_shutdown(ssl);
      }
    }
    SSL_free(ssl);
    ::close(fd);
  }

  void Accept() {
    while (!stopping) {
      pollfd p{listenFd, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      std::lock_guard<std::mutex> lock(connMutex);
      connections.emplace_back([this, fd] { Serve(fd); });
    }
  }
};

FakeIdentityProvider::FakeIdentityProvider() : impl_(std::make_unique<Impl>()) {}

FakeIdentityProvider::~FakeIdentityProvider() { Stop(); }

bool FakeIdentityProvider::Start(std::string* error) {
  auto fail = [&](const char* why) {
    if (error) *error = why;
    Stop();
    return false;
  };
  char tmpl[] = "/tmp/tarnwick-idp-XXXXXX";
  if (!::mkdtemp(tmpl)) return fail("mkdtemp failed");
  impl_->dir = tmpl;
  ::chmod(tmpl, 0755);  // Dovecot's auth process reads the CA bundle

  KeyPtr caKey = NewKey(false), serverKey = NewKey(false), clientKey = NewKey(true);
  if (!caKey || !serverKey || !clientKey) return fail("key generation failed");
  CertPtr ca = MakeCert(caKey.get(), "Tarnwick Test CA", nullptr, caKey.get(), true, 1);
  CertPtr server = MakeCert(serverKey.get(), "localhost", ca.get(), caKey.get(), false, 2);
  CertPtr client = MakeCert(clientKey.get(), "tarnwick-test-client", nullptr, clientKey.get(), false, 3);
  ca_file_ = impl_->dir + "/ca.pem";
  client_key_file_ = impl_->dir + "/client-key.pem";
  client_cert_file_ = impl_->dir + "/client-cert.pem";
  if (!WriteText(ca_file_, CertPem(ca.get())) || !WriteText(client_key_file_, KeyPem(clientKey.get())) ||
      !WriteText(client_cert_file_, CertPem(client.get())))
    return fail("cannot write the certificates");
  ::chmod(ca_file_.c_str(), 0644);
  unsigned char sha1[EVP_MAX_MD_SIZE];
  unsigned int n = 0;
  X509_digest(client.get(), EVP_sha1(), sha1, &n);
  impl_->clientX5t = B64Url(sha1, n);
  impl_->clientPublic = X509_get_pubkey(client.get());

  impl_->ctx = SSL_CTX_new(TLS_server_method());
  if (!impl_->ctx || SSL_CTX_use_certificate(impl_->ctx, server.get()) != 1 ||
      SSL_CTX_use_PrivateKey(impl_->ctx, serverKey.get()) != 1)
    return fail("TLS context failed");

  impl_->listenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (impl_->listenFd < 0 || ::bind(impl_->listenFd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      ::listen(impl_->listenFd, 64) != 0 ||
      ::getsockname(impl_->listenFd, reinterpret_cast<sockaddr*>(&a), &len) != 0)
    return fail("cannot listen");
  impl_->port = ntohs(a.sin_port);
  impl_->acceptor = std::thread([this] { impl_->Accept(); });
  return true;
}

void FakeIdentityProvider::Stop() {
  impl_->stopping = true;
  if (impl_->acceptor.joinable()) impl_->acceptor.join();
  {
    std::lock_guard<std::mutex> lock(impl_->connMutex);
    for (auto& t : impl_->connections)
      if (t.joinable()) t.join();
    impl_->connections.clear();
  }
  if (impl_->listenFd >= 0) ::close(impl_->listenFd);
  impl_->listenFd = -1;
  if (impl_->ctx) SSL_CTX_free(impl_->ctx);
  impl_->ctx = nullptr;
  if (impl_->clientPublic) EVP_PKEY_free(impl_->clientPublic);
  impl_->clientPublic = nullptr;
  if (!impl_->dir.empty()) {
    std::error_code ec;
    std::filesystem::remove_all(impl_->dir, ec);
    impl_->dir.clear();
  }
}

std::string FakeIdentityProvider::Url(const std::string& path) const {
  return "https://127.0.0.1:" + std::to_string(impl_->port) + path;
}

void FakeIdentityProvider::AddClient(const std::string& id, const std::string& secret) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->secrets[id] = secret;
}
void FakeIdentityProvider::AddCertificateClient(const std::string& id) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->certClients[id] = true;
}
void FakeIdentityProvider::SetMailbox(const std::string& mailbox) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->mailbox = mailbox;
}
void FakeIdentityProvider::SetExpiresIn(long seconds) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->expiresIn = seconds;
}
std::string FakeIdentityProvider::IssueRefreshToken(const std::string& client) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  std::string t = impl_->NewToken("rt");
  impl_->refreshTokens[t] = client;
  impl_->secretsSeen.push_back(t);
  impl_->lastRefresh = t;
  return t;
}
bool FakeIdentityProvider::TokenActive(const std::string& token) const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  ++impl_->counts.introspections;
  auto it = impl_->accessTokens.find(token);
  return !impl_->refuseAll && it != impl_->accessTokens.end() && it->second;
}
void FakeIdentityProvider::RevokeAccessTokens() {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  for (auto& [t, active] : impl_->accessTokens) active = false;
}
void FakeIdentityProvider::RefuseAll(bool refuse) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->refuseAll = refuse;
}
void FakeIdentityProvider::SetDeviceScript(int pendingPolls, bool slowDown, bool expire) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->pendingPolls = pendingPolls;
  impl_->slowDown = slowDown;
  impl_->expire = expire;
}
FakeIdentityProvider::Counts FakeIdentityProvider::counts() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->counts;
}
std::vector<std::string> FakeIdentityProvider::Secrets() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->secretsSeen;
}
std::string FakeIdentityProvider::current_refresh_token() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->lastRefresh;
}

}  // namespace tarnwick::test
