// The peer of the library's check round trip (scripts/bench; not a test): COUNT libcurl GETs of
// one URL in one process, one after another, after one that is not timed.
//
//   curl_get_bench fresh URL COUNT    a new handle and a new connection for every GET
//   curl_get_bench reused URL COUNT   one handle, its connection kept
//
// Prints "per_get_us <median>" and "mean_get_us <mean>".  The body is kept in memory, as the
// library keeps a check answer.

#include <curl/curl.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <numeric>
#include <string>
#include <vector>

namespace {

size_t Append(char* data, size_t size, size_t count, void* body) {
  static_cast<std::string*>(body)->append(data, size * count);
  return size * count;
}

// One GET on |easy|; false unless it answered 200 with a body.
bool Get(CURL* easy, const std::string& url, bool fresh) {
  std::string body;
  curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &Append);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, &body);
  curl_easy_setopt(easy, CURLOPT_FRESH_CONNECT, fresh ? 1L : 0L);
  curl_easy_setopt(easy, CURLOPT_FORBID_REUSE, fresh ? 1L : 0L);
  long status = 0;
  const CURLcode code = curl_easy_perform(easy);
  curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
  if (code != CURLE_OK || status != 200 || body.empty()) {
    std::fprintf(stderr, "GET %s: %s, HTTP %ld\n", url.c_str(), curl_easy_strerror(code), status);
    return false;
  }
  return true;
}

int Run(bool fresh, const std::string& url, int count) {
  curl_global_init(CURL_GLOBAL_DEFAULT);
  CURL* kept = curl_easy_init();
  if (kept == nullptr || !Get(kept, url, fresh)) {
    return 1;
  }
  std::vector<double> micros;
  micros.reserve(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) {
    const auto start = std::chrono::steady_clock::now();
    CURL* easy = fresh ? curl_easy_init() : kept;
    const bool ok = easy != nullptr && Get(easy, url, fresh);
    if (fresh && easy != nullptr) {
      curl_easy_cleanup(easy);
    }
    if (!ok) {
      return 1;
    }
    micros.push_back(
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() * 1e6);
  }
  curl_easy_cleanup(kept);
  const double mean = std::accumulate(micros.begin(), micros.end(), 0.0) / count;
  const auto middle = micros.begin() + static_cast<std::ptrdiff_t>(micros.size() / 2);
  std::nth_element(micros.begin(), middle, micros.end());
  std::printf("per_get_us %.2f\nmean_get_us %.2f\n", *middle, mean);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc == 4 ? argv[1] : "";
  if (mode != "fresh" && mode != "reused") {
    std::fprintf(stderr, "usage: %s fresh|reused URL COUNT\n", argv[0]);
    return 2;
  }
  return Run(mode == "fresh", argv[2], std::max(1, std::atoi(argv[3])));
}
