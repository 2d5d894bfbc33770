#include "pairing/PinKey.h"

#include <openssl/core_names.h>
#include <openssl/kdf.h>
#include <openssl/params.h>

#include <memory>
#include <stdexcept>
#include <string>

#include "core/Coding.h"

namespace orvo {

Bytes derivePinKey(std::string_view pin, std::span<const std::uint8_t> salt, std::string_view hostId) {
  std::string material = trimWhitespace(pin);
  material += '|';
  material += hostId;
  static constexpr char kInfo[] = "orvo-pair-pin-v1";

  std::unique_ptr<EVP_KDF, decltype(&EVP_KDF_free)> kdf(EVP_KDF_fetch(nullptr, "HKDF", nullptr), &EVP_KDF_free);
  if (!kdf) throw std::runtime_error("HKDF is not available");
  std::unique_ptr<EVP_KDF_CTX, decltype(&EVP_KDF_CTX_free)> context(EVP_KDF_CTX_new(kdf.get()), &EVP_KDF_CTX_free);
  if (!context) throw std::runtime_error("cannot create an HKDF context");

  char digest[] = "SHA256";
  // OpenSSL takes non-const pointers but does not write through them.
  OSSL_PARAM parameters[] = {
      OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digest, 0),
      OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_KEY, material.data(), material.size()),
      OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SALT, const_cast<std::uint8_t*>(salt.data()), salt.size()),
      OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_INFO, const_cast<char*>(kInfo), sizeof kInfo - 1),
      OSSL_PARAM_construct_end(),
  };
  Bytes key(32);
  if (EVP_KDF_derive(context.get(), key.data(), key.size(), parameters) != 1) {
    throw std::runtime_error("HKDF derivation failed");
  }
  return key;
}

}  // namespace orvo
