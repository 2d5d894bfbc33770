#include "platform/linux/net/AsioNetwork.h"

#include "platform/linux/net/AsioConnection.h"
#include "platform/linux/net/AsioListener.h"
#include "platform/linux/net/HandlerRelease.h"
#include "platform/linux/net/TlsContext.h"
#include "platform/linux/net/TlsSession.h"

namespace orvo::platform {

AsioNetwork::AsioNetwork(asio::io_context& context, std::string bindAddress, Logger& logger)
    : context_(context), bindAddressText_(std::move(bindAddress)), logger_(logger) {}

std::shared_ptr<Listener> AsioNetwork::makeListener(const TlsParameters& parameters, std::uint16_t preferredPort,
                                                    std::string& error) {
  if (!bindAddress_) {
    std::error_code addressError;
    const asio::ip::address address = asio::ip::make_address(bindAddressText_, addressError);
    if (addressError) {
      error = "invalid bind address \"" + bindAddressText_ + "\": " + addressError.message();
      return nullptr;
    }
    bindAddress_ = std::make_shared<BindAddress>(address);
  }
  std::shared_ptr<const TlsContext> tls = TlsContext::make(TlsRole::server, parameters, error);
  if (!tls) return nullptr;
  auto core = std::make_shared<ListenerCore>(context_, bindAddress_, preferredPort, std::move(tls), logger_);
  asio::use_service<HandlerReleaseService>(context_).track(core);
  return std::make_shared<AsioListener>(std::move(core));
}

std::shared_ptr<Connection> AsioNetwork::makeConnection(const std::string& host, std::uint16_t port,
                                                        const TlsParameters& parameters) {
  std::string error;
  std::shared_ptr<const TlsContext> tls = TlsContext::make(TlsRole::client, parameters, error);
  return std::make_shared<AsioConnection>(
      TlsSession::outgoing(context_, host, port, std::move(tls), std::move(error), logger_));
}

}  // namespace orvo::platform
