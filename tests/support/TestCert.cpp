#include "tests/support/TestCert.h"

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <memory>

namespace tarnwick::test {
namespace {

struct Free {
  void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
  void operator()(X509* p) const { X509_free(p); }
  void operator()(BIO* p) const { BIO_free(p); }
};

std::string BioText(BIO* bio) {
  char* data = nullptr;
  long n = BIO_get_mem_data(bio, &data);
  return n > 0 ? std::string(data, static_cast<std::size_t>(n)) : std::string();
}

TestCert Make() {
  TestCert out;
  std::unique_ptr<EVP_PKEY, Free> key(EVP_EC_gen("P-256"));
  std::unique_ptr<X509, Free> cert(X509_new());
  if (!key || !cert) return out;
  X509_set_version(cert.get(), 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 1);
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), 2 * 24 * 3600);
  X509_set_pubkey(cert.get(), key.get());
  X509_NAME* name = X509_get_subject_name(cert.get());
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("localhost"), -1, -1, 0);
  X509_set_issuer_name(cert.get(), name);
  if (X509_sign(cert.get(), key.get(), EVP_sha256()) <= 0) return out;

  std::unique_ptr<BIO, Free> cbio(BIO_new(BIO_s_mem()));
  std::unique_ptr<BIO, Free> kbio(BIO_new(BIO_s_mem()));
  if (!cbio || !kbio) return out;
  if (PEM_write_bio_X509(cbio.get(), cert.get()) != 1) return out;
  if (PEM_write_bio_PrivateKey(kbio.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1)
    return out;
  out.cert_pem = BioText(cbio.get());
  out.key_pem = BioText(kbio.get());
  return out;
}

}  // namespace

const TestCert& SelfSignedCert() {
  static const TestCert cert = Make();
  return cert;
}

}  // namespace tarnwick::test
