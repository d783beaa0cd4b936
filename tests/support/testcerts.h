// Certificates made by the tests themselves: a CA of their own and server
// certificates it signs, written as PEM files for our TLS client, Kamailio's
// TLS module or a test server.
#pragma once

#include <string>
#include <vector>

namespace qv::test {

struct TTestCa {
  std::string CertFile;  // the CA certificate (PEM): what a client trusts
  std::string KeyFile;
};

// A CA in `dir` ("<name>-ca.pem", "<name>-ca.key").
TTestCa MakeTestCa(const std::string& dir, const std::string& name = "test");

struct TServerCert {
  std::string CertFile;  // the server certificate (PEM)
  std::string KeyFile;   // its private key (PEM, unencrypted)
};

// A server certificate signed by `ca` whose subject alternative names are
// `dnsNames` and `ipAddresses` (the common name is the first of them).
TServerCert MakeServerCert(const TTestCa& ca, const std::string& dir, const std::string& name,
                           const std::vector<std::string>& dnsNames,
                           const std::vector<std::string>& ipAddresses = {});

}  // namespace qv::test
