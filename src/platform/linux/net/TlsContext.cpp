#include "platform/linux/net/TlsContext.h"

#include <openssl/crypto.h>
#include <openssl/err.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string_view>

namespace orvo::platform {
namespace {

// The ex_data slot where every SSL_CTX of ours keeps its TlsContext. Allocated once and
// never changed afterwards.
int contextIndex() {
  static const int index = SSL_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
  return index;
}

// The ex_data slot of an SSL object where the server callback leaves the admitted key.
int admittedKeyIndex() {
  static const int index = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
  return index;
}

std::string hexSuite(std::uint16_t suite) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%04X", static_cast<unsigned>(suite));
  return text;
}

}  // namespace

std::string takeOpenSslError() {
  const unsigned long code = ERR_get_error();
  if (code == 0) return {};
  const char* reason = ERR_reason_error_string(code);
  std::string text;
  if (reason != nullptr) {
    text = reason;
  } else {
    char buffer[256];
    ERR_error_string_n(code, buffer, sizeof buffer);
    text = buffer;
  }
  ERR_clear_error();
  return text;
}

TlsContext::TlsContext(ConstructionKey, TlsRole role, std::vector<PreSharedKey> keys) : role_(role), keys_(std::move(keys)) {}

std::shared_ptr<TlsContext> TlsContext::make(TlsRole role, const TlsParameters& parameters, std::string& error) {
  ERR_clear_error();
  if (contextIndex() < 0 || admittedKeyIndex() < 0) {
    error = "cannot reserve OpenSSL context data: " + takeOpenSslError();
    return nullptr;
  }
  auto self = std::make_shared<TlsContext>(ConstructionKey(), role, parameters.preSharedKeys);
  self->context_.reset(SSL_CTX_new(role == TlsRole::server ? TLS_server_method() : TLS_client_method()));
  SSL_CTX* context = self->context_.get();
  if (context == nullptr) {
    error = "cannot create a TLS context: " + takeOpenSslError();
    return nullptr;
  }
  SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
  SSL_CTX_set_max_proto_version(context, TLS1_2_VERSION);
  // No tickets, no session cache, no renegotiation: every connection is one full
  // handshake, and nothing but application data follows it.
  SSL_CTX_set_options(context, SSL_OP_NO_TICKET | SSL_OP_NO_RENEGOTIATION | SSL_OP_NO_COMPRESSION);
  SSL_CTX_set_session_cache_mode(context, SSL_SESS_CACHE_OFF);
  SSL_CTX_set_verify(context, SSL_VERIFY_NONE, nullptr);

  // OpenSSL takes cipher suites by name; look each IANA number up among the suites it knows.
  UniqueSsl probe(SSL_new(context));
  if (!probe) {
    error = "cannot create a TLS object: " + takeOpenSslError();
    return nullptr;
  }
  for (const std::uint16_t suite : parameters.cipherSuites) {
    const unsigned char wire[2] = {static_cast<unsigned char>(suite >> 8), static_cast<unsigned char>(suite & 0xFF)};
    const SSL_CIPHER* cipher = SSL_CIPHER_find(probe.get(), wire);
    if (cipher == nullptr) {
      error = "unsupported cipher suite " + hexSuite(suite);
      ERR_clear_error();
      return nullptr;
    }
    if (std::string_view(SSL_CIPHER_get_version(cipher)) == "TLSv1.3") {
      error = "cipher suite " + hexSuite(suite) + " needs TLS 1.3; connections use TLS 1.2";
      return nullptr;
    }
    if (!self->cipherList_.empty()) self->cipherList_ += ':';
    self->cipherList_ += SSL_CIPHER_get_name(cipher);
  }
  if (self->cipherList_.empty()) {
    error = "no cipher suite configured";
    return nullptr;
  }
  if (SSL_CTX_set_cipher_list(context, self->cipherList_.c_str()) != 1) {
    error = "cannot use cipher suites " + self->cipherList_ + ": " + takeOpenSslError();
    return nullptr;
  }
  if (SSL_CTX_set_ex_data(context, contextIndex(), self.get()) != 1) {
    error = "cannot attach keys to the TLS context: " + takeOpenSslError();
    return nullptr;
  }
  if (role == TlsRole::server) {
    SSL_CTX_set_psk_server_callback(context, &TlsContext::serverCallback);
  } else {
    SSL_CTX_set_psk_client_callback(context, &TlsContext::clientCallback);
  }
  return self;
}

UniqueSsl TlsContext::newSsl() const { return UniqueSsl(SSL_new(context_.get())); }

const TlsContext* TlsContext::fromSsl(SSL* ssl) {
  SSL_CTX* context = SSL_get_SSL_CTX(ssl);
  if (context == nullptr) return nullptr;
  return static_cast<const TlsContext*>(SSL_CTX_get_ex_data(context, contextIndex()));
}

const PreSharedKey* TlsContext::admittedKey(SSL* ssl) {
  return static_cast<const PreSharedKey*>(SSL_get_ex_data(ssl, admittedKeyIndex()));
}

// OpenSSL hands the client's identity over as a C string: an identity with a 0x00 byte
// arrives cut short and then matches no key (keys never contain 0x00 by design).
//
// The identity is the key material, so every stored key is compared, each in constant
// time: how long the answer takes says nothing about which key, or how much of one,
// matched.
unsigned int TlsContext::serverCallback(SSL* ssl, const char* identity, unsigned char* psk,
                                        unsigned int maxPskLength) {
  const TlsContext* self = fromSsl(ssl);
  if (self == nullptr || identity == nullptr) return 0;
  const std::string_view received(identity);
  const PreSharedKey* match = nullptr;
  for (const PreSharedKey& key : self->keys_) {
    const bool sameLength = key.identity.size() == received.size();
    const bool equal = sameLength && CRYPTO_memcmp(key.identity.data(), received.data(), received.size()) == 0;
    if (equal && match == nullptr) match = &key;
  }
  if (match == nullptr) return 0;  // unknown identity: OpenSSL ends the handshake with unknown_psk_identity
  if (match->secret.empty() || match->secret.size() > maxPskLength) return 0;
  SSL_set_ex_data(ssl, admittedKeyIndex(), const_cast<PreSharedKey*>(match));
  std::memcpy(psk, match->secret.data(), match->secret.size());
  return static_cast<unsigned int>(match->secret.size());
}

unsigned int TlsContext::clientCallback(SSL* ssl, const char* /*hint*/, char* identity,
                                        unsigned int maxIdentityLength, unsigned char* psk,
                                        unsigned int maxPskLength) {
  const TlsContext* self = fromSsl(ssl);
  if (self == nullptr || self->keys_.empty()) return 0;
  const PreSharedKey& key = self->keys_.front();
  // The identity buffer takes a terminating 0x00 too.
  if (key.identity.size() >= maxIdentityLength || key.secret.empty() || key.secret.size() > maxPskLength) {
    return 0;
  }
  std::memcpy(identity, key.identity.data(), key.identity.size());
  identity[key.identity.size()] = '\0';
  std::memcpy(psk, key.secret.data(), key.secret.size());
  return static_cast<unsigned int>(key.secret.size());
}

}  // namespace orvo::platform
