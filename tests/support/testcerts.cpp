#include "support/testcerts.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <stdexcept>

namespace qv::test {

namespace {

EVP_PKEY* NewKey() {
  EVP_PKEY* key = EVP_EC_gen("P-256");
  if (!key) throw std::runtime_error("test key not made");
  return key;
}

void WritePem(const std::string& path, EVP_PKEY* key, X509* cert) {
  FILE* f = std::fopen(path.c_str(), "w");
  if (!f) throw std::runtime_error("cannot write " + path);
  const bool ok = key ? PEM_write_PrivateKey(f, key, nullptr, nullptr, 0, nullptr, nullptr) == 1
                      : PEM_write_X509(f, cert) == 1;
  std::fclose(f);
  if (!ok) throw std::runtime_error("cannot write " + path);
}

void AddExtension(X509* cert, X509* issuer, int nid, const std::string& value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
  if (!ext) throw std::runtime_error("test certificate extension refused: " + value);
  X509_add_ext(cert, ext, -1);
  X509_EXTENSION_free(ext);
}

X509* NewCert(EVP_PKEY* key, const std::string& commonName, long serial) {
  X509* cert = X509_new();
  X509_set_version(cert, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert), serial);
  X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
  X509_gmtime_adj(X509_getm_notAfter(cert), 7L * 24 * 3600);
  X509_set_pubkey(cert, key);
  X509_NAME* name = X509_get_subject_name(cert);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(commonName.c_str()),
                             -1, -1, 0);
  return cert;
}

X509* ReadCert(const std::string& path) {
  FILE* f = std::fopen(path.c_str(), "r");
  if (!f) throw std::runtime_error("cannot read " + path);
  X509* cert = PEM_read_X509(f, nullptr, nullptr, nullptr);
  std::fclose(f);
  if (!cert) throw std::runtime_error("no certificate in " + path);
  return cert;
}

EVP_PKEY* ReadKey(const std::string& path) {
  FILE* f = std::fopen(path.c_str(), "r");
  if (!f) throw std::runtime_error("cannot read " + path);
  EVP_PKEY* key = PEM_read_PrivateKey(f, nullptr, nullptr, nullptr);
  std::fclose(f);
  if (!key) throw std::runtime_error("no key in " + path);
  return key;
}

}  // namespace

TTestCa MakeTestCa(const std::string& dir, const std::string& name) {
  EVP_PKEY* key = NewKey();
  X509* cert = NewCert(key, name + " test CA", 1);
  X509_set_issuer_name(cert, X509_get_subject_name(cert));
  AddExtension(cert, cert, NID_basic_constraints, "critical,CA:TRUE");
  AddExtension(cert, cert, NID_key_usage, "critical,keyCertSign,cRLSign");
  AddExtension(cert, cert, NID_subject_key_identifier, "hash");
  X509_sign(cert, key, EVP_sha256());
  TTestCa ca{dir + "/" + name + "-ca.pem", dir + "/" + name + "-ca.key"};
  WritePem(ca.CertFile, nullptr, cert);
  WritePem(ca.KeyFile, key, nullptr);
  X509_free(cert);
  EVP_PKEY_free(key);
  return ca;
}

TServerCert MakeServerCert(const TTestCa& ca, const std::string& dir, const std::string& name,
                           const std::vector<std::string>& dnsNames, const std::vector<std::string>& ipAddresses) {
  static long serial = 100;
  X509* caCert = ReadCert(ca.CertFile);
  EVP_PKEY* caKey = ReadKey(ca.KeyFile);
  EVP_PKEY* key = NewKey();
  const std::string common = !dnsNames.empty() ? dnsNames[0] : !ipAddresses.empty() ? ipAddresses[0] : name;
  X509* cert = NewCert(key, common, ++serial);
  X509_set_issuer_name(cert, X509_get_subject_name(caCert));
  std::string san;
  for (const std::string& d : dnsNames) san += (san.empty() ? "DNS:" : ",DNS:") + d;
  for (const std::string& ip : ipAddresses) san += (san.empty() ? "IP:" : ",IP:") + ip;
  if (!san.empty()) AddExtension(cert, caCert, NID_subject_alt_name, san);
  AddExtension(cert, caCert, NID_basic_constraints, "critical,CA:FALSE");
  AddExtension(cert, caCert, NID_ext_key_usage, "serverAuth");
  X509_sign(cert, caKey, EVP_sha256());
  TServerCert out{dir + "/" + name + ".pem", dir + "/" + name + ".key"};
  WritePem(out.CertFile, nullptr, cert);
  WritePem(out.KeyFile, key, nullptr);
  X509_free(cert);
  X509_free(caCert);
  EVP_PKEY_free(key);
  EVP_PKEY_free(caKey);
  return out;
}

}  // namespace qv::test
