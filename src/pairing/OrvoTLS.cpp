#include "pairing/OrvoTLS.h"

namespace orvo {

void addPreSharedKey(platform::TlsParameters& options, std::string_view identityText, const Bytes& keyBytes) {
  options.preSharedKeys.push_back(platform::PreSharedKey{.identity = keyBytes, .secret = toBytes(identityText)});
}

platform::TlsParameters makePSKParameters(std::string_view identityText, const Bytes& key) {
  platform::TlsParameters parameters;
  if (!key.empty()) addPreSharedKey(parameters, identityText, key);
  parameters.cipherSuites = {kOrvoPskCipherSuite};
  return parameters;
}

}  // namespace orvo
