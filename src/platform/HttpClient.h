#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

namespace orvo::platform {

// HTTPS GET requests for the updater. Transfers run off the main queue, one at a time in
// request order; every callback is delivered on the main queue.
//
// Only https addresses are fetched, redirects included, and a redirect never leads from
// https to http. An implementation may accept http addresses of this machine's loopback
// interface, only when it is built or made for tests to do so.
class HttpClient {
 public:
  struct Response {
    std::optional<std::string> error;  // the transfer failed (no connection, too large, ...)
    long status = 0;                   // HTTP status of the final response
    std::string body;
  };
  struct Progress {
    std::uint64_t received = 0;
    std::optional<std::uint64_t> total;  // when the server announced it
  };
  struct Download {
    std::optional<std::string> error;
    long status = 0;
    std::uint64_t bytes = 0;  // bytes written to the file
    bool tooLarge = false;    // the body passed the limit (`error` says so too)
    bool cancelled = false;   // cancel() stopped it (`error` says so too)
  };
  struct DownloadLimits {
    std::uint64_t maxBytes = 0;  // a longer body fails the download
    // The whole download, redirects included, must end within this time.
    std::chrono::milliseconds deadline{0};
  };
  using TransferId = std::uint64_t;

  virtual ~HttpClient() = default;

  // Fetches `url` into memory. A body longer than `maxBytes` fails the request.
  virtual void get(const std::string& url, std::size_t maxBytes, std::function<void(Response)> done) = 0;

  // Fetches `url` into `destination` (created 0600 or truncated), within `limits`.
  // `progress` is called as bytes arrive (at most a few times a second). After a failure
  // the file may hold part of the body; the caller removes it. Returns the id cancel()
  // takes.
  virtual TransferId download(const std::string& url, const std::filesystem::path& destination, DownloadLimits limits,
                              std::function<void(Progress)> progress, std::function<void(Download)> done) = 0;
  // Stops a download queued or under way within about a second; its `done` then reports
  // `cancelled`. An id that is unknown or finished is ignored.
  virtual void cancel(TransferId id) = 0;
};

}  // namespace orvo::platform
