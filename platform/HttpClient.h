// One HTTP client connection for Exchange servers and identity providers.
//
// An HttpClient keeps its connection alive across the requests made through
// it, so a server that authenticates the connection (NTLM) does so once per
// client rather than once per request. Requests are made one at a time on the
// calling thread; every wait blocks on the socket until data arrives, the
// connect time-out ends or no byte has moved for the stall time.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tarnwick {

struct HttpRequest {
  std::string method = "GET";  // any method: GET, POST, SEARCH, DELETE, ...
  std::string url;
  // Headers sent as given ("Content-Type", "Translate", "Authorization", ...).
  std::vector<std::pair<std::string, std::string>> headers;
  // The body; sent only when has_body is set (an empty body is then sent with
  // a zero Content-Length).
  std::string_view body;
  bool has_body = false;
  // Offered to the server for whichever scheme it asks (Basic, Digest, NTLM)
  // when the user is not empty.
  std::string user;
  std::string password;
  // Mail servers often have self-made certificates and are taken as they
  // are; identity providers are verified, against ca_file when it is set,
  // else against the system's bundle.
  bool verify_peer = false;
  std::string ca_file;
  int connect_timeout_seconds = 60;
  // The exchange is abandoned when no byte has moved for this long.
  int stall_seconds = 30;
  // A reply body larger than this fails the request instead of growing.
  std::size_t max_reply_bytes = std::size_t{256} << 20;
};

struct HttpResponse {
  int status = 0;           // the final status (after any authentication round)
  std::string status_text;  // the reason phrase of that status line, may be empty
  // The final response's headers, names as sent.
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;

  // First header of that name, compared without regard to ASCII case.
  const std::string* Header(std::string_view name) const;
};

class HttpClient {
 public:
  HttpClient();
  ~HttpClient();
  HttpClient(HttpClient&&) noexcept;
  HttpClient& operator=(HttpClient&&) noexcept;
  HttpClient(const HttpClient&) = delete;
  HttpClient& operator=(const HttpClient&) = delete;

  // Carries out one exchange. True when a complete response arrived, whatever
  // its status; false otherwise with error_code (a system error number:
  // 10060 time-out, 10061 refused, 11001 unknown host, 111 reply too large,
  // ...) and error_text set.
  bool Perform(const HttpRequest& request, HttpResponse& response);

  int error_code() const { return error_code_; }
  const std::string& error_text() const { return error_text_; }
  // Number of TCP connections opened by this client so far.
  long connections_opened() const { return connections_opened_; }

 private:
  struct Handle;
  std::unique_ptr<Handle> handle_;
  int error_code_ = 0;
  std::string error_text_;
  long connections_opened_ = 0;
};

}  // namespace tarnwick
