#include "platform/linux/updates/CurlHttpClient.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <mutex>

namespace orvo::platform {
namespace {

struct EasyDeleter {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
using EasyHandle = std::unique_ptr<CURL, EasyDeleter>;

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using FileHandle = std::unique_ptr<std::FILE, FileCloser>;

void initializeCurlOnce() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// What one transfer writes into and reports through, owned by the worker task.
struct Transfer {
  std::atomic<bool>* cancelled = nullptr;
  std::uint64_t maxBytes = 0;
  std::uint64_t received = 0;
  bool exceeded = false;
  std::string* memory = nullptr;  // in-memory body, or
  std::FILE* file = nullptr;      // the destination file
  std::function<void(std::uint64_t, std::optional<std::uint64_t>)> progress;
  std::chrono::steady_clock::time_point lastProgress{};
};

std::size_t writeBody(char* data, std::size_t size, std::size_t count, void* context) {
  auto& transfer = *static_cast<Transfer*>(context);
  const std::size_t bytes = size * count;
  if (transfer.received + bytes > transfer.maxBytes) {
    transfer.exceeded = true;
    return 0;  // aborts the transfer with CURLE_WRITE_ERROR
  }
  if (transfer.memory) {
    transfer.memory->append(data, bytes);
  } else if (std::fwrite(data, 1, bytes, transfer.file) != bytes) {
    return 0;
  }
  transfer.received += bytes;
  return bytes;
}

int reportProgress(void* context, curl_off_t total, curl_off_t, curl_off_t, curl_off_t) {
  auto& transfer = *static_cast<Transfer*>(context);
  if (transfer.cancelled->load()) return 1;  // aborts with CURLE_ABORTED_BY_CALLBACK
  if (transfer.progress) {
    const auto now = std::chrono::steady_clock::now();
    if (now - transfer.lastProgress >= std::chrono::milliseconds(250)) {
      transfer.lastProgress = now;
      transfer.progress(transfer.received,
                        total > 0 ? std::optional<std::uint64_t>(static_cast<std::uint64_t>(total)) : std::nullopt);
    }
  }
  return 0;
}

struct Outcome {
  std::optional<std::string> error;
  long status = 0;
};

// Runs one transfer to its end on the calling (worker) thread.
Outcome perform(const std::string& url, const std::string& userAgent, Transfer& transfer, bool wholeTimeout) {
  initializeCurlOnce();
  EasyHandle handle(curl_easy_init());
  if (!handle) return {"cannot start a transfer", 0};
  char errorText[CURL_ERROR_SIZE] = {};
  CURL* easy = handle.get();
  curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
  curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(easy, CURLOPT_MAXREDIRS, 5L);
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT, 20L);
  curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, 60L);
  if (wholeTimeout) curl_easy_setopt(easy, CURLOPT_TIMEOUT, 60L);
  curl_easy_setopt(easy, CURLOPT_USERAGENT, userAgent.c_str());
  curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, errorText);
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, writeBody);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, &transfer);
  curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, reportProgress);
  curl_easy_setopt(easy, CURLOPT_XFERINFODATA, &transfer);

  const CURLcode code = curl_easy_perform(easy);
  Outcome outcome;
  curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &outcome.status);
  if (transfer.exceeded) {
    outcome.error = "the response is larger than " + std::to_string(transfer.maxBytes) + " bytes";
  } else if (code != CURLE_OK) {
    outcome.error = errorText[0] ? std::string(errorText) : std::string(curl_easy_strerror(code));
  }
  return outcome;
}

}  // namespace

CurlHttpClient::CurlHttpClient(MainQueue& main, SerialQueue& worker, std::string userAgent)
    : main_(main), worker_(worker), userAgent_(std::move(userAgent)) {}

CurlHttpClient::~CurlHttpClient() { cancelAll(); }

void CurlHttpClient::cancelAll() { shared_->cancelled = true; }

void CurlHttpClient::get(const std::string& url, std::size_t maxBytes, std::function<void(Response)> done) {
  worker_.async([shared = shared_, &main = main_, userAgent = userAgent_, url, maxBytes, done = std::move(done)] {
    if (shared->cancelled) return;
    Response response;
    Transfer transfer{.cancelled = &shared->cancelled, .maxBytes = maxBytes, .memory = &response.body};
    auto outcome = perform(url, userAgent, transfer, true);
    if (shared->cancelled) return;
    response.error = std::move(outcome.error);
    response.status = outcome.status;
    main.async([shared, done, response = std::move(response)] {
      if (!shared->cancelled) done(response);
    });
  });
}

void CurlHttpClient::download(const std::string& url, const std::filesystem::path& destination, std::uint64_t maxBytes,
                              std::function<void(Progress)> progress, std::function<void(Download)> done) {
  worker_.async([shared = shared_, &main = main_, userAgent = userAgent_, url, destination, maxBytes,
                 progress = std::move(progress), done = std::move(done)] {
    if (shared->cancelled) return;
    auto finish = [&](Download result) {
      main.async([shared, done, result = std::move(result)] {
        if (!shared->cancelled) done(result);
      });
    };
    const int fd = ::open(destination.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return finish(Download{.error = "cannot create " + destination.string()});
    FileHandle file(::fdopen(fd, "wb"));
    if (!file) {
      ::close(fd);
      return finish(Download{.error = "cannot create " + destination.string()});
    }
    Transfer transfer{.cancelled = &shared->cancelled, .maxBytes = maxBytes, .file = file.get()};
    if (progress) {
      transfer.progress = [&main, shared, progress](std::uint64_t received, std::optional<std::uint64_t> total) {
        main.async([shared, progress, step = Progress{received, total}] {
          if (!shared->cancelled) progress(step);
        });
      };
    }
    auto outcome = perform(url, userAgent, transfer, false);
    if (shared->cancelled) return;
    Download result{
        .error = std::move(outcome.error), .status = outcome.status, .bytes = transfer.received, .tooLarge = transfer.exceeded};
    if (std::fflush(file.get()) != 0 || ::fsync(::fileno(file.get())) != 0) {
      if (!result.error) result.error = "cannot write " + destination.string();
    }
    file.reset();
    if (progress && !result.error) {
      main.async([shared, progress, step = Progress{transfer.received, transfer.received}] {
        if (!shared->cancelled) progress(step);
      });
    }
    finish(std::move(result));
  });
}

}  // namespace orvo::platform
