#pragma once

#include <string>

namespace orvo::testing {

// Certificates made with the openssl program for one test, in `directory`: a certificate
// authority of the test's own, a server certificate for 127.0.0.1 signed by it, and a
// self-signed certificate for 127.0.0.1 that no authority vouches for. All P-256, valid
// for two days. The constructor throws std::runtime_error with openssl's output when
// they cannot be made.
class TestCertificates {
 public:
  explicit TestCertificates(const std::string& directory);

  std::string authorityFile;      // the authority's certificate: what a client trusts
  std::string serverCertificate;  // signed by the authority, for IP 127.0.0.1
  std::string serverKey;
  std::string strangerCertificate;  // self-signed, for IP 127.0.0.1
  std::string strangerKey;
};

}  // namespace orvo::testing
