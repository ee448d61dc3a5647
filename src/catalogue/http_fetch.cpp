#include "catalogue/http_fetch.h"

#include <curl/curl.h>

#include <memory>
#include <mutex>

namespace vantor {
namespace {

struct Sink {
  HttpResponse* response;
  std::size_t limit;
};

std::size_t collect(char* data, std::size_t size, std::size_t count, void* user) {
  auto* sink = static_cast<Sink*>(user);
  std::size_t bytes = size * count;
  if (sink->response->body.size() + bytes > sink->limit) {
    sink->response->tooLarge = true;
    return 0;  // ends the transfer
  }
  sink->response->body.append(data, bytes);
  return bytes;
}

void initCurl() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

}  // namespace

bool httpGet(const HttpRequest& request, HttpResponse& response) {
  initCurl();
  response = HttpResponse();
  std::unique_ptr<CURL, void (*)(CURL*)> curl(curl_easy_init(), curl_easy_cleanup);
  if (!curl) {
    response.error = "cannot start an HTTP transfer";
    return false;
  }
  char errorText[CURL_ERROR_SIZE] = {};
  Sink sink{&response, request.maxBytes};
  CURL* c = curl.get();
  curl_easy_setopt(c, CURLOPT_URL, request.url.c_str());
  curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(c, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(c, CURLOPT_MAXREDIRS, 5L);
  curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(c, CURLOPT_TIMEOUT, request.timeoutSeconds);
  curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT, request.timeoutSeconds);
  curl_easy_setopt(c, CURLOPT_ERRORBUFFER, errorText);
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, collect);
  curl_easy_setopt(c, CURLOPT_WRITEDATA, &sink);
  curl_easy_setopt(c, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(request.maxBytes));
  curl_easy_setopt(c, CURLOPT_ACCEPT_ENCODING, "");
  curl_easy_setopt(c, CURLOPT_USERAGENT, "Vantor");
  // An empty proxy also keeps libcurl from taking one from the environment.
  curl_easy_setopt(c, CURLOPT_PROXY, request.proxy.c_str());
  if (!request.proxyUser.empty()) {
    curl_easy_setopt(c, CURLOPT_PROXYUSERNAME, request.proxyUser.c_str());
    curl_easy_setopt(c, CURLOPT_PROXYPASSWORD, request.proxyPassword.c_str());
  }
  if (!request.verifyCertificates) {
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 0L);
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 0L);
  }
  CURLcode rc = curl_easy_perform(c);
  curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &response.status);
  if (rc == CURLE_FILESIZE_EXCEEDED) response.tooLarge = true;
  if (rc != CURLE_OK) {
    response.error = response.tooLarge ? "the answer is larger than " + std::to_string(request.maxBytes) + " bytes"
                                       : (errorText[0] ? errorText : curl_easy_strerror(rc));
    response.body.clear();
    return false;
  }
  return true;
}

namespace {

// One part of a parsed URL, empty when the URL does not parse.
std::string urlPart(const std::string& url, CURLUPart which) {
  std::string out;
  CURLU* handle = curl_url();
  char* part = nullptr;
  if (handle && curl_url_set(handle, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK &&
      curl_url_get(handle, which, &part, 0) == CURLUE_OK && part)
    out = part;
  curl_free(part);
  curl_url_cleanup(handle);
  return out;
}

}  // namespace

bool isHttpUrl(const std::string& url) {
  std::string scheme = urlPart(url, CURLUPART_SCHEME);
  return (scheme == "http" || scheme == "https") && !urlPart(url, CURLUPART_HOST).empty();
}

std::string urlHost(const std::string& url) { return urlPart(url, CURLUPART_HOST); }

}  // namespace vantor
