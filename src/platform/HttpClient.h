#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

namespace orvo::platform {

// HTTP(S) GET requests for the updater. Transfers run off the main queue, one at a time in
// request order; every callback is delivered on the main queue. Only http and https URLs
// are followed (redirects included).
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
  };

  virtual ~HttpClient() = default;

  // Fetches `url` into memory. A body longer than `maxBytes` fails the request.
  virtual void get(const std::string& url, std::size_t maxBytes, std::function<void(Response)> done) = 0;

  // Fetches `url` into `destination` (created 0600 or truncated). A body longer than
  // `maxBytes` fails the download. `progress` is called as bytes arrive (at most a few
  // times a second). After a failure the file may hold part of the body; the caller
  // removes it.
  virtual void download(const std::string& url, const std::filesystem::path& destination, std::uint64_t maxBytes,
                        std::function<void(Progress)> progress, std::function<void(Download)> done) = 0;
};

}  // namespace orvo::platform
