#pragma once

#include <memory>
#include <string>
#include <vector>

#include "core/Json.h"
#include "fakes/FakeNetwork.h"

namespace orvo::testing {

// A network whose client connections are fakes the test drives; it keeps each one with
// the address and TLS parameters it was made with.
class RecordingClientNetwork final : public platform::Network {
 public:
  explicit RecordingClientNetwork(MainQueue& main) : main_(main) {}

  using platform::Network::makeListener;
  std::shared_ptr<platform::Listener> makeListener(const platform::TlsParameters&, std::uint16_t,
                                                   std::string& error) override {
    error = "clients do not listen";
    return nullptr;
  }
  std::shared_ptr<platform::Connection> makeConnection(const std::string& host, std::uint16_t port,
                                                       const platform::TlsParameters& parameters) override {
    auto connection = std::make_shared<FakeConnection>(main_, host + ":" + std::to_string(port));
    made.push_back({connection, parameters});
    return connection;
  }

  struct Made {
    std::shared_ptr<FakeConnection> connection;
    platform::TlsParameters parameters;
  };
  std::vector<Made> made;

 private:
  MainQueue& main_;
};

// The lines a fake connection was sent, each without its line feed.
inline std::vector<std::string> sentLines(const FakeConnection& connection) {
  std::vector<std::string> lines;
  const std::string text = connection.sentText();
  std::size_t start = 0;
  for (auto end = text.find('\n'); end != std::string::npos; end = text.find('\n', start)) {
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

inline std::string typeOf(const std::string& line) {
  auto parsed = json::parse(line);
  if (!parsed || !parsed->contains("type")) return {};
  return parsed->at("type").get<std::string>();
}

}  // namespace orvo::testing
