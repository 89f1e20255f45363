#include "oauth/Assertion.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/sha.h>
#include <openssl/x509.h>

#include <nlohmann/json.hpp>

#include <cstdio>
#include <memory>
#include <vector>

namespace tarnwick::oauth {

namespace {

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;
using KeyPtr = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
using CertPtr = std::unique_ptr<X509, decltype(&X509_free)>;
using MdCtxPtr = std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)>;

std::string Hex(const unsigned char* p, std::size_t n) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  out.reserve(n * 2);
  for (std::size_t i = 0; i < n; ++i) {
    out += digits[p[i] >> 4];
    out += digits[p[i] & 15];
  }
  return out;
}

}  // namespace

std::string Base64Url(std::string_view bytes) {
  static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  std::size_t i = 0;
  auto at = [&](std::size_t k) { return static_cast<unsigned char>(bytes[k]); };
  for (; i + 2 < bytes.size(); i += 3) {
    unsigned v = (at(i) << 16) | (at(i + 1) << 8) | at(i + 2);
    out += alphabet[(v >> 18) & 63];
    out += alphabet[(v >> 12) & 63];
    out += alphabet[(v >> 6) & 63];
    out += alphabet[v & 63];
  }
  if (bytes.size() - i == 1) {
    unsigned v = at(i) << 16;
    out += alphabet[(v >> 18) & 63];
    out += alphabet[(v >> 12) & 63];
  } else if (bytes.size() - i == 2) {
    unsigned v = (at(i) << 16) | (at(i + 1) << 8);
    out += alphabet[(v >> 18) & 63];
    out += alphabet[(v >> 12) & 63];
    out += alphabet[(v >> 6) & 63];
  }
  return out;
}

bool SignedAssertion(const std::string& keyFile, const std::string& certFile,
                     std::string_view clientId, std::string_view audience, int64_t nowSeconds,
                     std::string& assertion, std::string& error) {
  FilePtr kf(std::fopen(keyFile.c_str(), "rb"));
  if (!kf) {
    error = "the key file " + keyFile + " cannot be read";
    return false;
  }
  KeyPtr key(PEM_read_PrivateKey(kf.get(), nullptr, nullptr, nullptr), &EVP_PKEY_free);
  if (!key || EVP_PKEY_get_base_id(key.get()) != EVP_PKEY_RSA) {
    error = "the key file " + keyFile + " holds no RSA private key";
    return false;
  }
  FilePtr cf(std::fopen(certFile.c_str(), "rb"));
  if (!cf) {
    error = "the certificate file " + certFile + " cannot be read";
    return false;
  }
  CertPtr cert(PEM_read_X509(cf.get(), nullptr, nullptr, nullptr), &X509_free);
  if (!cert) {
    error = "the certificate file " + certFile + " holds no certificate";
    return false;
  }
  if (X509_check_private_key(cert.get(), key.get()) != 1) {
    error = "the key in " + keyFile + " does not belong to the certificate in " + certFile;
    return false;
  }
  unsigned char sha1[EVP_MAX_MD_SIZE];
  unsigned int sha1Len = 0;
  if (X509_digest(cert.get(), EVP_sha1(), sha1, &sha1Len) != 1) {
    error = "the certificate thumbprint cannot be computed";
    return false;
  }

  nlohmann::json header = {{"alg", "RS256"}, {"typ", "JWT"},
                           {"x5t", Base64Url(std::string_view(reinterpret_cast<char*>(sha1), sha1Len))}};
  nlohmann::json claims = {{"aud", std::string(audience)}, {"iss", std::string(clientId)},
                           {"sub", std::string(clientId)}, {"jti", RandomHex(16)},
                           {"nbf", nowSeconds}, {"iat", nowSeconds}, {"exp", nowSeconds + 600}};
  std::string input = Base64Url(header.dump()) + "." + Base64Url(claims.dump());

  MdCtxPtr ctx(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
  std::size_t sigLen = 0;
  if (!ctx || EVP_DigestSignInit(ctx.get(), nullptr, EVP_sha256(), nullptr, key.get()) != 1 ||
      EVP_DigestSign(ctx.get(), nullptr, &sigLen, reinterpret_cast<const unsigned char*>(input.data()),
                     input.size()) != 1) {
    error = "the assertion cannot be signed";
    return false;
  }
  std::vector<unsigned char> sig(sigLen);
  if (EVP_DigestSign(ctx.get(), sig.data(), &sigLen, reinterpret_cast<const unsigned char*>(input.data()),
                     input.size()) != 1) {
    error = "the assertion cannot be signed";
    return false;
  }
  assertion = input + "." + Base64Url(std::string_view(reinterpret_cast<char*>(sig.data()), sigLen));
  return true;
}

std::string Sha256Hex(std::string_view text) {
  unsigned char d[SHA256_DIGEST_LENGTH];
  SHA256(reinterpret_cast<const unsigned char*>(text.data()), text.size(), d);
  return Hex(d, sizeof d);
}

std::string RandomHex(std::size_t n) {
  std::vector<unsigned char> b(n);
  if (n && RAND_bytes(b.data(), static_cast<int>(n)) != 1) return std::string(n * 2, '0');
  return Hex(b.data(), n);
}

}  // namespace tarnwick::oauth
