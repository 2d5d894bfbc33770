#pragma once

#include <memory>

#include "platform/Network.h"
#include "platform/linux/net/TlsSession.h"

namespace orvo::platform {

// The Connection the host holds: a thin handle on a TlsSession. Every call is carried to
// the session's io_context thread (run at once when already on it, otherwise posted in
// call order), so send() may come from any thread; the other calls belong on the main
// queue, where a removed state handler is guaranteed not to be called again.
//
// When the last handle goes (on any thread), the session is abandoned: its state handler
// is removed and it is cancelled, closing the socket after at most a short flush. Pending
// completions are still called, with an error.
class AsioConnection final : public Connection {
 public:
  explicit AsioConnection(std::shared_ptr<TlsSession> session);
  ~AsioConnection() override;
  AsioConnection(const AsioConnection&) = delete;
  AsioConnection& operator=(const AsioConnection&) = delete;

  void setStateHandler(StateHandler handler) override;
  void start() override;
  void receive(std::size_t minimum, std::size_t maximum, ReceiveCompletion completion) override;
  void send(Bytes data, SendCompletion completion) override;
  void cancel() override;
  std::string endpointDescription() const override;
  // Read on the main queue, which runs on the session's io_context thread.
  Bytes authenticatedKeySecret() const override;
  bool hasReceivedFirstRecord() const override;
  bool hasReceivedBeyondFirstRecord() const override;

 private:
  const std::shared_ptr<TlsSession> session_;
};

}  // namespace orvo::platform
