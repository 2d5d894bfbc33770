#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <string>

#include "core/Queues.h"
#include "platform/HttpClient.h"

namespace orvo::platform {

// HTTPS through libcurl. Transfers block, so they run on `worker`, a serial queue of the
// client's own (never one of the host's); results are posted to `main`.
//
// Addresses: https only (TLS 1.2 or newer, the server's certificate checked against the
// system's authorities); with `allowLoopbackHttp` also http addresses of 127.0.0.0/8 and
// [::1]. Redirects (at most five) are followed by this class, not by libcurl, so that
// each address is checked the same way and a redirect from https to http is refused, even
// to loopback. Bodies of redirect answers are dropped.
//
// Time: connections time out after 20 s, a stalled transfer (under 1 byte/s) after 60 s,
// an in-memory request after 60 s in all, a download after its limits' deadline. The
// user's proxy variables apply.
//
// Threading: get(), download() and cancel() on the main queue. cancelAll() (also run by
// the destructor) aborts the transfer under way and makes queued ones fail at once; their
// callbacks are dropped. `main` and `worker` must outlive the transfers: join the worker
// after cancelAll() and before they go.
class CurlHttpClient final : public HttpClient {
 public:
  struct Options {
    std::string userAgent;
    // Tests only: http addresses of the loopback interface are fetched too (the host sets
    // it from the build switch ORVO_UPDATE_ALLOW_LOOPBACK_HTTP, off by default).
    bool allowLoopbackHttp = false;
    // Tests only: a PEM file of the authorities to trust instead of the system's.
    std::string caFile;
  };

  CurlHttpClient(MainQueue& main, SerialQueue& worker, Options options);
  ~CurlHttpClient() override;
  CurlHttpClient(const CurlHttpClient&) = delete;
  CurlHttpClient& operator=(const CurlHttpClient&) = delete;

  void get(const std::string& url, std::size_t maxBytes, std::function<void(Response)> done) override;
  TransferId download(const std::string& url, const std::filesystem::path& destination, DownloadLimits limits,
                      std::function<void(Progress)> progress, std::function<void(Download)> done) override;
  void cancel(TransferId id) override;
  void cancelAll();

 private:
  struct Shared {
    std::atomic<bool> cancelled{false};
  };

  MainQueue& main_;
  SerialQueue& worker_;
  Options options_;
  std::shared_ptr<Shared> shared_ = std::make_shared<Shared>();
  TransferId nextId_ = 1;
  // The downloads not yet reported, by id (main queue).
  std::map<TransferId, std::shared_ptr<std::atomic<bool>>> downloads_;
};

}  // namespace orvo::platform
