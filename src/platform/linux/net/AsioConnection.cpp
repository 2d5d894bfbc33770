#include "platform/linux/net/AsioConnection.h"

#include <asio/dispatch.hpp>

namespace orvo::platform {

AsioConnection::AsioConnection(std::shared_ptr<TlsSession> session) : session_(std::move(session)) {}

AsioConnection::~AsioConnection() {
  asio::dispatch(session_->executor(), [session = session_] { session->abandon(); });
}

void AsioConnection::setStateHandler(StateHandler handler) {
  asio::dispatch(session_->executor(), [session = session_, handler = std::move(handler)]() mutable {
    session->setStateHandler(std::move(handler));
  });
}

void AsioConnection::start() {
  asio::dispatch(session_->executor(), [session = session_] { session->start(); });
}

void AsioConnection::receive(std::size_t minimum, std::size_t maximum, ReceiveCompletion completion) {
  asio::dispatch(session_->executor(), [session = session_, minimum, maximum, completion = std::move(completion)]() mutable {
    session->receive(minimum, maximum, std::move(completion));
  });
}

void AsioConnection::send(Bytes data, SendCompletion completion) {
  asio::dispatch(session_->executor(),
                 [session = session_, data = std::move(data), completion = std::move(completion)]() mutable {
                   session->send(std::move(data), std::move(completion));
                 });
}

void AsioConnection::cancel() {
  asio::dispatch(session_->executor(), [session = session_] { session->cancel(); });
}

std::string AsioConnection::endpointDescription() const { return session_->endpoint(); }

Bytes AsioConnection::authenticatedKeySecret() const { return session_->authenticatedKeySecret(); }

bool AsioConnection::hasReceivedFirstRecord() const { return session_->firstRecordArrived(); }

bool AsioConnection::hasReceivedBeyondFirstRecord() const { return session_->receivedBeyondFirstRecord(); }

}  // namespace orvo::platform
