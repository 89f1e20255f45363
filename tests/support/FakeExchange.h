// Small fake Exchange servers for the EWS and WebDAV clients: HTTP or HTTPS
// on a free loopback port, Basic, NTLM (the NTLMv2 proof checked against
// the plaintext password) or bearer authentication, keep-alive connections,
// and scripted faults for coming requests.
//
//   FakeEws ews({.auth = HttpAuth::Ntlm});
//   ews.AddMessage("Subject: x\r\n\r\nbody\r\n");
//   settings.Server = ews.Url();            // http://127.0.0.1:PORT/ews/exchange.asmx
//   ews.http().AddFault({.match = "GetItem", .kind = HttpFault::Drop});
#pragma once

#include "tests/support/FakeServer.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tarnwick::test {

struct HttpIn {
  std::string method;
  std::string target;  // the request target as sent (path and query)
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
  const std::string* Header(std::string_view name) const;
};

struct HttpOut {
  int status = 200;
  std::string reason = "OK";
  std::string contentType = "text/xml; charset=utf-8";
  std::string body;
};

enum class HttpAuth { None, Basic, Ntlm, Bearer };

// A fault for the first coming request (after authentication) whose method,
// target and body, joined by blanks, hold match (any request when match is
// empty).
// Members without a value of their own are written with {} so that
// designated initializers may leave them out without a warning.
struct HttpFault {
  enum Kind {
    Reply,    // answer with status, reason and body as given
    Drop,     // announce the reply, send part of it, close the connection
    Silence,  // send nothing; hold the connection until the client gives up
  };
  std::string match;
  Kind kind = Reply;
  int status = 500;
  std::string reason{};
  std::string body{};
};

struct HttpOptions {
  bool tls = false;
  HttpAuth auth = HttpAuth::None;
  std::string user = "alice";
  std::string domain = "CORP";  // NTLM only
  std::string password = "s3cret pw";
  std::string bearer{};          // Bearer: the token expected
  std::string anchor{};          // Bearer: the X-AnchorMailbox value expected, when set
  // Bearer: when set, decides on each token instead of comparing with bearer
  // (say by asking an identity provider whether it is active).
  std::function<bool(const std::string& token)> bearerCheck{};
  bool record = true;            // keep every request for Requests()
};

class FakeHttpServer {
 public:
  using App = std::function<HttpOut(const HttpIn&)>;
  FakeHttpServer(HttpOptions options, App app);

  int port() const { return server_->port(); }
  // "http://127.0.0.1:PORT" or the https form.
  std::string Origin() const;
  void AddFault(HttpFault fault);
  std::vector<HttpIn> Requests() const;
  int ntlm_logins() const;      // authenticate messages that proved the password
  int connections() const;      // connections accepted so far
  std::string Failures() const { return server_->Failures(); }
  void Stop() { server_->Stop(); }

 private:
  void Serve(FakeConnection& c);

  HttpOptions options_;
  App app_;
  mutable std::mutex mutex_;
  std::vector<HttpFault> faults_;
  std::vector<HttpIn> requests_;
  int ntlm_logins_ = 0;
  int connections_ = 0;
  std::unique_ptr<FakeServer> server_;  // last: its thread uses the members above
};

// A mailbox served over EWS at /ews/exchange.asmx.
class FakeEws {
 public:
  struct Message {
    std::string id;
    std::string changeKey;
    std::string content;
    int64_t listedSize = -1;  // -1: the content's length
    bool withIsRead = true;
  };
  explicit FakeEws(HttpOptions options = {});

  std::string Url() const { return http_.Origin() + "/ews/exchange.asmx"; }
  FakeHttpServer& http() { return http_; }

  // Adds a message with a made-up id; returns the id.
  std::string AddMessage(std::string content);
  void Add(Message m);
  std::vector<Message> Messages() const;

  // "soap" or "s": the prefix of the reply envelopes.
  void SetPrefix(std::string prefix);
  // The most items one FindItem returns (0: no cap).
  void SetPageCap(std::size_t cap);
  // Answer every FindItem with the capped list and no paging attributes,
  // as a server that ignores the view does.
  void SetIgnoreView(bool ignore);
  int finditem_requests() const;

 private:
  HttpOut Handle(const HttpIn& in);
  std::string Envelope(const std::string& inner) const;

  mutable std::mutex mutex_;
  std::vector<Message> messages_;
  std::string prefix_ = "s";
  std::size_t pageCap_ = 0;
  bool ignoreView_ = false;
  int nextId_ = 1;
  int findItems_ = 0;
  FakeHttpServer http_;  // last: serves from the members above
};

// A mailbox served over WebDAV at /exchange/<user>/, with an Inbox and one
// other folder.
class FakeWebDav {
 public:
  struct Message {
    std::string name;  // file name under the Inbox
    std::string content;
    int64_t listedSize = -1;
    bool withRead = true;
  };
  explicit FakeWebDav(HttpOptions options = {}, std::string mailbox = "alice");

  // The server setting that yields this mailbox: "http://127.0.0.1:PORT/exchange/".
  std::string ServerSetting() const { return http_.Origin() + "/exchange/"; }
  std::string MailboxUrl() const { return http_.Origin() + "/exchange/" + mailbox_; }
  std::string InboxUrl() const { return MailboxUrl() + "/Inbox"; }
  FakeHttpServer& http() { return http_; }

  std::string AddMessage(std::string content);  // returns its href
  void Add(Message m);
  std::vector<Message> Messages() const;
  // Whether the Inbox's own href ends with "/".
  void SetInboxTrailingSlash(bool slash);
  // Whether the folder search names the Inbox at all.
  void SetAnnounceInbox(bool announce);

 private:
  HttpOut Handle(const HttpIn& in);

  mutable std::mutex mutex_;
  std::string mailbox_;
  std::vector<Message> messages_;
  bool trailingSlash_ = true;
  bool announceInbox_ = true;
  int next_ = 1;
  FakeHttpServer http_;
};

}  // namespace tarnwick::test
