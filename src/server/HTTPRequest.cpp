// HTTP GET over libcurl. The TLS peer is verified, connection and stall
// time-outs bound every transfer, and the reply body has a size limit.
#include "HTTPRequest.h"

#include <curl/curl.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <stdexcept>

#include "Log.h"

namespace {

std::mutex gLimitsMutex;
HTTPLimits gLimits;

void sGlobalInit() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct HeaderContext {
  std::string* body;
  size_t limit;
};

// Header callback: reserves the body once its announced length is known, so a
// large download is not copied over and over while it grows.
size_t sHeader(char* bytes, size_t size, size_t count, void* userdata) {
  size_t n = size * count;
  static const char kName[] = "content-length:";
  const size_t nameLength = sizeof kName - 1;
  if (n > nameLength && strncasecmp(bytes, kName, nameLength) == 0) {
    std::string value(bytes + nameLength, n - nameLength);
    char* end = nullptr;
    unsigned long long length = strtoull(value.c_str(), &end, 10);
    auto* context = static_cast<HeaderContext*>(userdata);
    if (end != value.c_str() && length > 0 && length <= context->limit) {
      // Reserving is only a hint; the write callback enforces the limit.
      try {
        context->body->reserve(size_t(length));
      } catch (const std::exception&) {
      }
    }
  }
  return n;
}

}  // namespace

HTTPResponse::HTTPResponse(const char* r) : request(r ? r : "") {}

std::string HTTPResponse::take_response() {
  std::string body;
  body.swap(response);
  return body;
}

void HTTPRequest::SetLimits(const HTTPLimits& limits) {
  std::lock_guard<std::mutex> lock(gLimitsMutex);
  gLimits = limits;
}

HTTPLimits HTTPRequest::GetLimits() {
  std::lock_guard<std::mutex> lock(gLimitsMutex);
  return gLimits;
}

std::string HTTPRequest::BuildURL(const char* url,
                                  const std::map<std::string, std::string>& parameters) {
  std::string text = url ? url : "";
  if (!parameters.empty()) text += "?";
  for (const auto& p : parameters) {
    text += p.first;
    text += "=";
    text += p.second;
    text += "&";
  }
  return text;
}

size_t HTTPRequest::_rcv_data(char* bytes, size_t size, size_t count, void* userdata) {
  auto* response = static_cast<HTTPResponse*>(userdata);
  size_t n = size * count;
  Log::log(DEBUG_ServerComm, "rcv_data called (..., %d, %d, %08X) [%100.*s]\n", int(size),
           int(count), unsigned(uintptr_t(response)), int(std::min<size_t>(n, 100)), bytes);
  if (n > response->bodyLimit || response->response.size() > response->bodyLimit - n) {
    response->overflow = true;
    Log::log(DEBUG_ServerComm, "rcv_data: reply body passes the limit of %zu bytes\n",
             response->bodyLimit);
    return 0;
  }
  response->process(bytes, n);
  Log::log(DEBUG_ServerComm, "rcv_data returns %d\n", int(n));
  return n;
}

HTTPResponse HTTPRequest::GET(const char* url,
                              const std::map<std::string, std::string>& parameters) {
  sGlobalInit();
  HTTPLimits limits = GetLimits();
  CURL* curl = curl_easy_init();
  // Every throw of GET is caught by the update server client's sRequest,
  // which turns it into the request's failure text.
  if (!curl) throw std::runtime_error("Could not create curl instance");

  std::string text = BuildURL(url, parameters);
  HTTPResponse response(text.c_str());
  response.bodyLimit = limits.maxBodyBytes;

  CURLcode code = CURLE_OK;
  auto set = [&](CURLoption option, auto value) {
    if (code == CURLE_OK) code = curl_easy_setopt(curl, option, value);
  };
  set(CURLOPT_WRITEFUNCTION, &HTTPRequest::_rcv_data);
  set(CURLOPT_WRITEDATA, static_cast<void*>(&response));
  set(CURLOPT_URL, response.get_request());
  set(CURLOPT_SSL_VERIFYHOST, 2L);
  set(CURLOPT_SSL_VERIFYPEER, 1L);
  set(CURLOPT_SSL_VERIFYSTATUS, 0L);
  // Time-outs work without signals, which matters on the download thread.
  set(CURLOPT_NOSIGNAL, 1L);
  set(CURLOPT_CONNECTTIMEOUT, limits.connectTimeoutSeconds);
  set(CURLOPT_LOW_SPEED_LIMIT, 1L);
  set(CURLOPT_LOW_SPEED_TIME, limits.stallSeconds);
  set(CURLOPT_MAXFILESIZE_LARGE, curl_off_t(std::min<size_t>(limits.maxBodyBytes, INT64_MAX)));
  set(CURLOPT_HEADERFUNCTION, &sHeader);
  HeaderContext headerContext{&response.response, limits.maxBodyBytes};
  set(CURLOPT_HEADERDATA, static_cast<void*>(&headerContext));

  if (code == CURLE_OK) {
    Log::log(DEBUG_ServerComm, "GET(%s)\n", response.get_request());
    code = curl_easy_perform(curl);
  }
  if (code == CURLE_OK) {
    long status = 0;
    code = curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    if (code == CURLE_OK) response.set_status(status);
  }
  curl_easy_cleanup(curl);

  if (response.overflow || code == CURLE_FILESIZE_EXCEEDED) {
    throw std::runtime_error("Reply body larger than the limit of " +
                             std::to_string(limits.maxBodyBytes) + " bytes");
  }
  if (code != CURLE_OK) throw std::runtime_error(curl_easy_strerror(code));
  return response;
}
