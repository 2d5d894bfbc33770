#pragma once

#include <span>
#include <string_view>

#include "core/Bytes.h"

namespace orvo {

// The 32-byte pairing key both sides derive from the code: HKDF-SHA256 over the UTF-8 of
// the trimmed code, "|" and the host id, with the advertised salt and the info
// "orvo-pair-pin-v1".
Bytes derivePinKey(std::string_view pin, std::span<const std::uint8_t> salt, std::string_view hostId);

}  // namespace orvo
