// The one adapter over libcurl: nothing else includes its headers.
#include "platform/HttpClient.h"

#include <curl/curl.h>

#include <mutex>

#include "platform/AsciiText.h"
#include "platform/Errors.h"

namespace tarnwick {

namespace {

constexpr int kReplyTooLarge = 111;

void GlobalInit() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

int MapCurlCode(CURLcode code) {
  switch (code) {
    case CURLE_OPERATION_TIMEDOUT:
      return err::kTimedOut;
    case CURLE_COULDNT_CONNECT:
      return err::kConnRefused;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
      return err::kHostNotFound;
    case CURLE_URL_MALFORMAT:
    case CURLE_UNSUPPORTED_PROTOCOL:
      return err::kInvalidParameter;
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_GOT_NOTHING:
    case CURLE_PARTIAL_FILE:
      return err::kConnReset;
    default:
      return err::kConnAborted;
  }
}

struct CurlSlist {
  curl_slist* list = nullptr;
  ~CurlSlist() { curl_slist_free_all(list); }
  bool Append(const std::string& line) {
    curl_slist* next = curl_slist_append(list, line.c_str());
    if (!next) return false;
    list = next;
    return true;
  }
};

struct Transfer {
  HttpResponse* response = nullptr;
  std::size_t max_reply = 0;
  bool too_large = false;
};

size_t OnHeader(char* data, size_t size, size_t count, void* user) {
  auto* t = static_cast<Transfer*>(user);
  std::string_view line(data, size * count);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
  if (line.substr(0, 5) == "HTTP/") {
    // A new response begins (after a 100 Continue or an authentication
    // round): what came before belongs to the earlier one.
    t->response->headers.clear();
    t->response->body.clear();
    t->response->status_text.clear();
    std::size_t sp = line.find(' ');
    if (sp != std::string_view::npos) {
      std::size_t sp2 = line.find(' ', sp + 1);
      if (sp2 != std::string_view::npos) t->response->status_text = std::string(line.substr(sp2 + 1));
    }
    return size * count;
  }
  std::size_t colon = line.find(':');
  if (colon != std::string_view::npos) {
    std::string_view value = line.substr(colon + 1);
    while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
    t->response->headers.emplace_back(std::string(line.substr(0, colon)), std::string(value));
  }
  return size * count;
}

size_t OnBody(char* data, size_t size, size_t count, void* user) {
  auto* t = static_cast<Transfer*>(user);
  std::size_t n = size * count;
  if (t->response->body.size() + n > t->max_reply) {
    t->too_large = true;
    return 0;  // aborts the transfer
  }
  t->response->body.append(data, n);
  return n;
}

}  // namespace

const std::string* HttpResponse::Header(std::string_view name) const {
  for (const auto& [key, value] : headers) {
    if (EqualsNoCase(key, name)) return &value;
  }
  return nullptr;
}

struct HttpClient::Handle {
  CURL* curl = nullptr;
  Handle() {
    GlobalInit();
    curl = curl_easy_init();
  }
  ~Handle() {
    if (curl) curl_easy_cleanup(curl);
  }
};

HttpClient::HttpClient() : handle_(std::make_unique<Handle>()) {}
HttpClient::~HttpClient() = default;
HttpClient::HttpClient(HttpClient&&) noexcept = default;
HttpClient& HttpClient::operator=(HttpClient&&) noexcept = default;

bool HttpClient::Perform(const HttpRequest& request, HttpResponse& response) {
  response = HttpResponse{};
  error_code_ = 0;
  error_text_.clear();
  CURL* curl = handle_ ? handle_->curl : nullptr;
  if (!curl) {
    error_code_ = err::kConnAborted;
    error_text_ = "The HTTP client could not be created.";
    return false;
  }

  // Options are set afresh for every request on the same handle: a reset
  // would forget which authentication the server picked, and the connection
  // (with any NTLM authentication on it) is kept either way.
  char errbuf[CURL_ERROR_SIZE] = {};
  Transfer transfer{&response, request.max_reply_bytes, false};
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errbuf);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_URL, request.url.c_str());
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, static_cast<long>(request.connect_timeout_seconds));
  curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, static_cast<long>(request.stall_seconds));
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, request.verify_peer ? 1L : 0L);
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, request.verify_peer ? 2L : 0L);
  curl_easy_setopt(curl, CURLOPT_CAINFO, request.ca_file.empty() ? nullptr : request.ca_file.c_str());
  curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, OnHeader);
  curl_easy_setopt(curl, CURLOPT_HEADERDATA, &transfer);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, OnBody);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &transfer);
  if (!request.user.empty()) {
    curl_easy_setopt(curl, CURLOPT_HTTPAUTH, CURLAUTH_ANY);
    curl_easy_setopt(curl, CURLOPT_USERNAME, request.user.c_str());
    curl_easy_setopt(curl, CURLOPT_PASSWORD, request.password.c_str());
  } else {
    curl_easy_setopt(curl, CURLOPT_HTTPAUTH, CURLAUTH_NONE);
    curl_easy_setopt(curl, CURLOPT_USERNAME, nullptr);
    curl_easy_setopt(curl, CURLOPT_PASSWORD, nullptr);
  }

  if (request.has_body) {
    curl_easy_setopt(curl, CURLOPT_POST, 1L);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body.size()));
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, request.body.data());
  } else {
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, nullptr);
    curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
  }
  bool plain_get = request.method == "GET" && !request.has_body;
  bool plain_post = request.method == "POST" && request.has_body;
  curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST,
                   plain_get || plain_post ? nullptr : request.method.c_str());

  CurlSlist headers;
  // No "Expect: 100-continue" round trip before a body.
  bool ok = headers.Append("Expect:");
  bool has_content_type = false;
  for (const auto& [name, value] : request.headers) {
    if (EqualsNoCase(name, "Content-Type")) has_content_type = true;
    ok = ok && headers.Append(name + ": " + value);
  }
  // libcurl adds a form content type to every body unless told otherwise; a
  // request that names none sends none.
  if (request.has_body && !has_content_type) ok = ok && headers.Append("Content-Type:");
  if (!ok) {
    error_code_ = err::kConnAborted;
    error_text_ = "Out of memory building the HTTP request.";
    return false;
  }
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers.list);

  CURLcode rc = curl_easy_perform(curl);
  long connects = 0;
  if (curl_easy_getinfo(curl, CURLINFO_NUM_CONNECTS, &connects) == CURLE_OK) connections_opened_ += connects;
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, nullptr);
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, nullptr);
  curl_easy_setopt(curl, CURLOPT_POSTFIELDS, nullptr);

  if (rc != CURLE_OK) {
    if (transfer.too_large) {
      error_code_ = kReplyTooLarge;
      error_text_ = "The server's reply is larger than " + std::to_string(request.max_reply_bytes) +
                    " bytes.";
    } else {
      error_code_ = MapCurlCode(rc);
      error_text_ = errbuf[0] ? std::string(errbuf) : std::string(curl_easy_strerror(rc));
    }
    response.body.clear();
    return false;
  }
  long status = 0;
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
  response.status = static_cast<int>(status);
  return true;
}

}  // namespace tarnwick
