// HTTP GET over libcurl's easy interface: builds the query URL, collects the
// whole reply body in memory and returns it with the status code.
#pragma once
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

// One request's URL, the reply status (0 until a transfer completes) and the
// reply body in arrival order.
class HTTPResponse {
 public:
  explicit HTTPResponse(const char* request);

  const char* get_request() const { return request.c_str(); }
  int64_t get_status() const { return status; }
  const char* get_response() const { return response.c_str(); }
  // Body length in bytes (the body may hold NUL bytes).
  size_t get_length() const { return response.size(); }
  // Hands the body over without copying it; the response is left empty.
  std::string take_response();

  void set_status(int64_t code) { status = code; }
  void process(const char* bytes, size_t count) { response.append(bytes, count); }

 private:
  friend class HTTPRequest;

  std::string request;
  int64_t status = 0;
  std::string response;

  // Guard of the transfer that fills this response: a body past bodyLimit
  // bytes stops the transfer and sets overflow.
  size_t bodyLimit = SIZE_MAX;
  bool overflow = false;
};

// Bounds of every transfer. A dead or stalled server must not hang a command,
// and an endless reply must not exhaust memory.
struct HTTPLimits {
  long connectTimeoutSeconds = 15;  // to establish the connection
  long stallSeconds = 30;           // a transfer with no byte for this long is aborted
  size_t maxBodyBytes = size_t(256) << 20;
};

class HTTPRequest {
 public:
  // Requests url followed by "?key=value&" for every parameter in key order
  // (values inserted as they are). Throws std::runtime_error with libcurl's
  // text on any transfer failure; an HTTP error status is not a failure.
  static HTTPResponse GET(const char* url, const std::map<std::string, std::string>& parameters);

  // The URL text GET requests for these arguments.
  static std::string BuildURL(const char* url,
                              const std::map<std::string, std::string>& parameters);

  // libcurl write callback: appends the chunk to the HTTPResponse given as
  // userdata and reports it consumed (0 when the body limit is passed).
  static size_t _rcv_data(char* bytes, size_t size, size_t count, void* response);

  // Process-wide limits, read at the start of each GET.
  static void SetLimits(const HTTPLimits& limits);
  static HTTPLimits GetLimits();
};
