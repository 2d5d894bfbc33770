#include "support/TestCertificates.h"

#include <fstream>
#include <stdexcept>

#include "support/ChildProcess.h"

namespace orvo::testing {

TestCertificates::TestCertificates(const std::string& directory)
    : authorityFile(directory + "/ca.pem"),
      serverCertificate(directory + "/server.pem"),
      serverKey(directory + "/server.key"),
      strangerCertificate(directory + "/stranger.pem"),
      strangerKey(directory + "/stranger.key") {
  const std::string extensions = directory + "/server.ext";
  std::ofstream(extensions) << "subjectAltName=IP:127.0.0.1\nbasicConstraints=CA:FALSE\n"
                               "keyUsage=digitalSignature\nextendedKeyUsage=serverAuth\n";
  const std::string key = "-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes ";
  const std::string script =
      "set -e; cd '" + directory + "'\n" +
      "openssl req -x509 " + key + "-keyout ca.key -out ca.pem -days 2 -subj '/CN=Orvo Test Authority'\n" +
      "openssl req " + key + "-keyout server.key -out server.csr -subj '/CN=127.0.0.1'\n" +
      "openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out server.pem -days 2 "
      "-extfile server.ext\n" +
      "openssl req -x509 " + key + "-keyout stranger.key -out stranger.pem -days 2 -subj '/CN=127.0.0.1' "
      "-addext subjectAltName=IP:127.0.0.1\n";
  const auto made = runToEnd({"sh", "-c", script});
  if (made.exitCode != 0) throw std::runtime_error("TestCertificates: openssl failed: " + made.output);
}

}  // namespace orvo::testing
