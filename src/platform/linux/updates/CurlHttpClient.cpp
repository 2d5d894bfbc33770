#include "platform/linux/updates/CurlHttpClient.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <mutex>

namespace orvo::platform {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kMaxRedirects = 5;
constexpr auto kRequestDeadline = std::chrono::seconds(60);

struct EasyDeleter {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
using EasyHandle = std::unique_ptr<CURL, EasyDeleter>;

struct UrlDeleter {
  void operator()(CURLU* handle) const { curl_url_cleanup(handle); }
};
struct CurlText {
  char* text = nullptr;
  ~CurlText() { curl_free(text); }
};

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using FileHandle = std::unique_ptr<std::FILE, FileCloser>;

void initializeCurlOnce() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

bool isLoopbackHost(const std::string& host) {
  if (host == "[::1]") return true;
  in_addr address{};
  return ::inet_pton(AF_INET, host.c_str(), &address) == 1 && (ntohl(address.s_addr) >> 24) == 127;
}

// Where a request may go: https, or http to a loopback address when allowed, and after an
// https hop https only. Returns the scheme, or nothing with the reason in `error`.
std::optional<std::string> allowedScheme(const std::string& url, const std::string& previousScheme,
                                         bool allowLoopbackHttp, std::string& error) {
  std::unique_ptr<CURLU, UrlDeleter> parsed(curl_url());
  CurlText scheme;
  if (!parsed || curl_url_set(parsed.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK ||
      curl_url_get(parsed.get(), CURLUPART_SCHEME, &scheme.text, 0) != CURLUE_OK) {
    error = "not a valid address: " + url;
    return std::nullopt;
  }
  const std::string name = scheme.text;  // libcurl gives it in lower case
  if (previousScheme == "https" && name != "https") {
    error = "refused a redirect from https to " + name + ": " + url;
    return std::nullopt;
  }
  if (name == "https") return name;
  CurlText host;
  if (name == "http" && allowLoopbackHttp && curl_url_get(parsed.get(), CURLUPART_HOST, &host.text, 0) == CURLUE_OK &&
      isLoopbackHost(host.text)) {
    return name;
  }
  error = "only https addresses are allowed: " + url;
  return std::nullopt;
}

// What one transfer writes into and reports through, owned by the worker task.
struct Transfer {
  const std::atomic<bool>* shutDown = nullptr;   // the client is going: drop everything
  const std::atomic<bool>* cancelled = nullptr;  // this transfer was cancelled
  Clock::time_point deadline;
  bool timedOut = false;
  CURL* easy = nullptr;  // the hop under way
  std::uint64_t maxBytes = 0;
  std::uint64_t received = 0;
  bool exceeded = false;
  std::string* memory = nullptr;  // in-memory body, or
  std::FILE* file = nullptr;      // the destination file
  std::function<void(std::uint64_t, std::optional<std::uint64_t>)> progress;
  Clock::time_point lastProgress{};
};

bool isRedirect(long status) { return status >= 300 && status < 400; }

long responseStatus(CURL* easy) {
  long status = 0;
  curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
  return status;
}

std::size_t writeBody(char* data, std::size_t size, std::size_t count, void* context) {
  auto& transfer = *static_cast<Transfer*>(context);
  const std::size_t bytes = size * count;
  if (isRedirect(responseStatus(transfer.easy))) return bytes;  // a redirect's body is dropped
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

// Called by libcurl at least once a second, also while connecting or stalled: the place
// where cancellation and the deadline take effect.
int reportProgress(void* context, curl_off_t total, curl_off_t, curl_off_t, curl_off_t) {
  auto& transfer = *static_cast<Transfer*>(context);
  if (transfer.shutDown->load() || (transfer.cancelled && transfer.cancelled->load())) return 1;
  const auto now = Clock::now();
  if (now >= transfer.deadline) {
    transfer.timedOut = true;
    return 1;  // aborts with CURLE_ABORTED_BY_CALLBACK
  }
  if (transfer.progress && !isRedirect(responseStatus(transfer.easy)) &&
      now - transfer.lastProgress >= std::chrono::milliseconds(250)) {
    transfer.lastProgress = now;
    transfer.progress(transfer.received,
                      total > 0 ? std::optional<std::uint64_t>(static_cast<std::uint64_t>(total)) : std::nullopt);
  }
  return 0;
}

struct Outcome {
  std::optional<std::string> error;
  long status = 0;
  bool cancelled = false;
};

// One request without following redirects; `location` receives a redirect's target.
Outcome performHop(const std::string& url, const std::string& scheme, const CurlHttpClient::Options& options,
                   Transfer& transfer, std::string& location) {
  EasyHandle handle(curl_easy_init());
  if (!handle) return {.error = "cannot start a transfer"};
  char errorText[CURL_ERROR_SIZE] = {};
  CURL* easy = handle.get();
  transfer.easy = easy;
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(transfer.deadline - Clock::now());
  curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
  // The scheme checked above is the only one this request may use.
  curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, scheme.c_str());
  curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(easy, CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2));
  curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
  if (!options.caFile.empty()) curl_easy_setopt(easy, CURLOPT_CAINFO, options.caFile.c_str());
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT, 20L);
  curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, 60L);
  // A second past the deadline, should the progress callback not come in time.
  curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, static_cast<long>(std::max<std::int64_t>(left.count(), 1) + 1000));
  curl_easy_setopt(easy, CURLOPT_USERAGENT, options.userAgent.c_str());
  curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, errorText);
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, writeBody);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, &transfer);
  curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, reportProgress);
  curl_easy_setopt(easy, CURLOPT_XFERINFODATA, &transfer);

  const CURLcode code = curl_easy_perform(easy);
  transfer.easy = nullptr;
  Outcome outcome;
  outcome.status = responseStatus(easy);
  if (transfer.cancelled && transfer.cancelled->load()) {
    outcome.cancelled = true;
    outcome.error = "cancelled";
  } else if (transfer.exceeded) {
    outcome.error = "the response is larger than " + std::to_string(transfer.maxBytes) + " bytes";
  } else if (transfer.timedOut || (code == CURLE_OPERATION_TIMEDOUT && Clock::now() >= transfer.deadline)) {
    transfer.timedOut = true;
    outcome.error = "the transfer did not finish in time";
  } else if (code != CURLE_OK) {
    outcome.error = errorText[0] ? std::string(errorText) : std::string(curl_easy_strerror(code));
  } else if (isRedirect(outcome.status)) {
    char* target = nullptr;
    if (curl_easy_getinfo(easy, CURLINFO_REDIRECT_URL, &target) == CURLE_OK && target) location = target;
  }
  return outcome;
}

// Runs one transfer to its end on the calling (worker) thread, following redirects.
Outcome perform(const std::string& firstUrl, const CurlHttpClient::Options& options, Transfer& transfer) {
  initializeCurlOnce();
  std::string url = firstUrl;
  std::string previousScheme;
  for (int hop = 0;; ++hop) {
    std::string refusal;
    const auto scheme = allowedScheme(url, previousScheme, options.allowLoopbackHttp, refusal);
    if (!scheme) return {.error = refusal};
    std::string location;
    auto outcome = performHop(url, *scheme, options, transfer, location);
    if (outcome.error || location.empty()) return outcome;
    if (hop == kMaxRedirects) return {.error = "more than " + std::to_string(kMaxRedirects) + " redirects", .status = outcome.status};
    previousScheme = *scheme;
    url = location;
  }
}

}  // namespace

CurlHttpClient::CurlHttpClient(MainQueue& main, SerialQueue& worker, Options options)
    : main_(main), worker_(worker), options_(std::move(options)) {}

CurlHttpClient::~CurlHttpClient() { cancelAll(); }

void CurlHttpClient::cancelAll() { shared_->cancelled = true; }

void CurlHttpClient::get(const std::string& url, std::size_t maxBytes, std::function<void(Response)> done) {
  worker_.async([shared = shared_, &main = main_, options = options_, url, maxBytes, done = std::move(done)] {
    if (shared->cancelled) return;
    Response response;
    Transfer transfer{.shutDown = &shared->cancelled,
                      .deadline = Clock::now() + kRequestDeadline,
                      .maxBytes = maxBytes,
                      .memory = &response.body};
    auto outcome = perform(url, options, transfer);
    if (shared->cancelled) return;
    response.error = std::move(outcome.error);
    response.status = outcome.status;
    if (response.error) response.body.clear();
    main.async([shared, done, response = std::move(response)] {
      if (!shared->cancelled) done(response);
    });
  });
}

HttpClient::TransferId CurlHttpClient::download(const std::string& url, const std::filesystem::path& destination,
                                                DownloadLimits limits, std::function<void(Progress)> progress,
                                                std::function<void(Download)> done) {
  const TransferId id = nextId_++;
  auto cancelled = std::make_shared<std::atomic<bool>>(false);
  downloads_[id] = cancelled;
  // Reported on the main queue, where the id is forgotten first.
  auto report = [this, id, shared = shared_, &main = main_, done = std::move(done)](Download result) {
    main.async([this, id, shared, done, result = std::move(result)] {
      if (shared->cancelled) return;
      downloads_.erase(id);
      done(result);
    });
  };
  worker_.async([shared = shared_, cancelled, &main = main_, options = options_, url, destination, limits,
                 progress = std::move(progress), report = std::move(report)] {
    if (shared->cancelled) return;
    if (cancelled->load()) return report(Download{.error = "cancelled", .cancelled = true});
    const int fd = ::open(destination.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return report(Download{.error = "cannot create " + destination.string()});
    FileHandle file(::fdopen(fd, "wb"));
    if (!file) {
      ::close(fd);
      return report(Download{.error = "cannot create " + destination.string()});
    }
    Transfer transfer{.shutDown = &shared->cancelled,
                      .cancelled = cancelled.get(),
                      .deadline = Clock::now() + limits.deadline,
                      .maxBytes = limits.maxBytes,
                      .file = file.get()};
    if (progress) {
      transfer.progress = [&main, shared, progress](std::uint64_t received, std::optional<std::uint64_t> total) {
        main.async([shared, progress, step = Progress{received, total}] {
          if (!shared->cancelled) progress(step);
        });
      };
    }
    auto outcome = perform(url, options, transfer);
    if (shared->cancelled) return;
    Download result{.error = std::move(outcome.error),
                    .status = outcome.status,
                    .bytes = transfer.received,
                    .tooLarge = transfer.exceeded,
                    .cancelled = outcome.cancelled};
    if (transfer.timedOut) {
      result.error = "the download did not finish within " +
                     std::to_string(std::chrono::duration_cast<std::chrono::seconds>(limits.deadline).count()) + " s";
    }
    if (std::fflush(file.get()) != 0 || ::fsync(::fileno(file.get())) != 0) {
      if (!result.error) result.error = "cannot write " + destination.string();
    }
    file.reset();
    if (progress && !result.error) {
      main.async([shared, progress, step = Progress{transfer.received, transfer.received}] {
        if (!shared->cancelled) progress(step);
      });
    }
    report(std::move(result));
  });
  return id;
}

void CurlHttpClient::cancel(TransferId id) {
  if (const auto found = downloads_.find(id); found != downloads_.end()) found->second->store(true);
}

}  // namespace orvo::platform
