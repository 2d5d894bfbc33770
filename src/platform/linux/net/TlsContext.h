#pragma once

#include <openssl/ssl.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/Network.h"

namespace orvo::platform {

struct SslContextDeleter {
  void operator()(SSL_CTX* context) const { SSL_CTX_free(context); }
};
struct SslDeleter {
  void operator()(SSL* ssl) const { SSL_free(ssl); }
};
using UniqueSslContext = std::unique_ptr<SSL_CTX, SslContextDeleter>;
using UniqueSsl = std::unique_ptr<SSL, SslDeleter>;

enum class TlsRole { server, client };

// The OpenSSL side of one set of TLS parameters: TLS 1.2 only, the given PSK cipher
// suites, no certificates, no session resumption. A server context answers a client's PSK
// identity with the secret of the key whose identity matches byte for byte (unknown
// identity: the handshake fails), comparing against every key in constant time, and
// remembers on the SSL object which key that was; a client context presents the first key.
//
// The key set is fixed at creation. The context finds it through the SSL_CTX's ex_data,
// so there is no global lookup; every connection keeps its context alive (shared_ptr)
// for as long as its SSL object may call back. Immutable after creation, so one context
// may serve connections on any thread.
class TlsContext {
 public:
  // Nothing and a description in `error` when the parameters cannot be used (an unknown
  // cipher suite, one that needs another TLS version, no cipher suite at all).
  static std::shared_ptr<TlsContext> make(TlsRole role, const TlsParameters& parameters, std::string& error);

  // Only make() can name the key; the constructor is public for make_shared.
  class ConstructionKey {
    friend class TlsContext;
    ConstructionKey() = default;
  };
  TlsContext(ConstructionKey, TlsRole role, std::vector<PreSharedKey> keys);
  TlsContext(const TlsContext&) = delete;
  TlsContext& operator=(const TlsContext&) = delete;

  TlsRole role() const { return role_; }
  // A new SSL object in the context's role; nothing when OpenSSL is out of memory.
  UniqueSsl newSsl() const;
  // The OpenSSL names of the configured cipher suites, joined by ':'.
  const std::string& cipherList() const { return cipherList_; }
  // Server side: the key whose identity the client presented, once the PSK callback has
  // run for this SSL object; nothing before or when no key matched. The key lives as long
  // as the context.
  static const PreSharedKey* admittedKey(SSL* ssl);

 private:
  static unsigned int serverCallback(SSL* ssl, const char* identity, unsigned char* psk, unsigned int maxPskLength);
  static unsigned int clientCallback(SSL* ssl, const char* hint, char* identity, unsigned int maxIdentityLength,
                                     unsigned char* psk, unsigned int maxPskLength);
  static const TlsContext* fromSsl(SSL* ssl);

  TlsRole role_;
  std::vector<PreSharedKey> keys_;
  UniqueSslContext context_;
  std::string cipherList_;
};

// The reason of the oldest error on this thread's OpenSSL error queue ("" when empty);
// empties the queue.
std::string takeOpenSslError();

}  // namespace orvo::platform
