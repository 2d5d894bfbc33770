#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "core/Queues.h"
#include "platform/HttpClient.h"

namespace orvo::platform {

// HTTP(S) through libcurl. Transfers block, so they run on `worker`, a serial queue of the
// client's own (never one of the host's); results are posted to `main`. Connections time
// out after 20 s, a stalled transfer after 60 s, an in-memory request after 60 s in all;
// at most five redirects, http and https only. The user's proxy variables apply.
//
// Threading: get() and download() on the main queue. cancelAll() (also run by the
// destructor) aborts the transfer under way and makes queued ones fail at once; their
// callbacks are dropped. `main` and `worker` must outlive the transfers: join the worker
// after cancelAll() and before they go.
class CurlHttpClient final : public HttpClient {
 public:
  CurlHttpClient(MainQueue& main, SerialQueue& worker, std::string userAgent);
  ~CurlHttpClient() override;
  CurlHttpClient(const CurlHttpClient&) = delete;
  CurlHttpClient& operator=(const CurlHttpClient&) = delete;

  void get(const std::string& url, std::size_t maxBytes, std::function<void(Response)> done) override;
  void download(const std::string& url, const std::filesystem::path& destination, std::uint64_t maxBytes,
                std::function<void(Progress)> progress, std::function<void(Download)> done) override;
  void cancelAll();

 private:
  struct Shared {
    std::atomic<bool> cancelled{false};
  };

  MainQueue& main_;
  SerialQueue& worker_;
  std::string userAgent_;
  std::shared_ptr<Shared> shared_ = std::make_shared<Shared>();
};

}  // namespace orvo::platform
