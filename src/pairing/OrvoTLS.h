#pragma once

#include <cstdint>
#include <string_view>

#include "core/Bytes.h"
#include "platform/Network.h"

namespace orvo {

// TLS_PSK_WITH_AES_128_GCM_SHA256, the only cipher suite the host configures.
inline constexpr std::uint16_t kOrvoPskCipherSuite = 0x00A8;

// Adds one pre-shared key pair in the order clients rely on: the UTF-8 of the identity
// text becomes the TLS secret, and the key bytes become the PSK identity on the wire.
void addPreSharedKey(platform::TlsParameters& options, std::string_view identityText, const Bytes& keyBytes);

// TLS parameters admitting one key pair (none when the key is empty, so no handshake can
// succeed) and only the PSK cipher suite.
platform::TlsParameters makePSKParameters(std::string_view identityText, const Bytes& key);

}  // namespace orvo
