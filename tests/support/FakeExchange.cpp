#include "tests/support/FakeExchange.h"

#include "tests/support/NtlmServer.h"

#include "mailclient/Auth.h"
#include "message/Encoding.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <optional>

namespace tarnwick::test {

namespace {

bool SameNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

bool VerifyNtlm(const auth::Bytes& token, const HttpOptions& o, const std::array<std::uint8_t, 8>& sc,
                std::string& why) {
  return NtlmAnswerMatches(token, o.user, o.domain, o.password, sc, false, why);
}

bool ReadRequest(FakeConnection& c, HttpIn& in) {
  std::string line;
  do {
    if (!c.ReadLine(line, 60000)) return false;
  } while (line.empty());
  std::size_t sp = line.find(' ');
  std::size_t sp2 = line.find(' ', sp + 1);
  if (sp == std::string::npos || sp2 == std::string::npos) return false;
  in = HttpIn{};
  in.method = line.substr(0, sp);
  in.target = line.substr(sp + 1, sp2 - sp - 1);
  for (;;) {
    if (!c.ReadLine(line)) return false;
    if (line.empty()) break;
    std::size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    std::string value = line.substr(colon + 1);
    value.erase(0, value.find_first_not_of(" \t"));
    in.headers.emplace_back(line.substr(0, colon), value);
  }
  if (const std::string* length = in.Header("Content-Length")) {
    std::size_t n = std::strtoull(length->c_str(), nullptr, 10);
    if (n > 0 && !c.ReadBytes(in.body, n)) return false;
  }
  return true;
}

bool SendReply(FakeConnection& c, const HttpOut& out, const std::vector<std::string>& extra = {}) {
  std::string head = "HTTP/1.1 " + std::to_string(out.status) + " " + out.reason + "\r\n";
  for (const std::string& h : extra) head += h + "\r\n";
  if (!out.contentType.empty() && !out.body.empty()) head += "Content-Type: " + out.contentType + "\r\n";
  head += "Content-Length: " + std::to_string(out.body.size()) + "\r\n\r\n";
  // One write: a head sent alone would hold the body behind the client's
  // delayed acknowledgement.
  return c.Send(head + out.body);
}

std::string AttrIn(std::string_view body, std::string_view name) {
  std::string key = std::string(name) + "=\"";
  std::size_t at = body.find(key);
  if (at == std::string_view::npos) return {};
  at += key.size();
  std::size_t end = body.find('"', at);
  return std::string(body.substr(at, end == std::string_view::npos ? std::string_view::npos : end - at));
}

std::string Spaces(std::string s) {
  for (std::size_t p; (p = s.find(' ')) != std::string::npos;) s.replace(p, 1, "%20");
  return s;
}

constexpr const char* kSoapNs = "http://schemas.xmlsoap.org/soap/envelope/";
constexpr const char* kTypesNs = "http://schemas.microsoft.com/exchange/services/2006/types";
constexpr const char* kMessagesNs = "http://schemas.microsoft.com/exchange/services/2006/messages";

}  // namespace

const std::string* HttpIn::Header(std::string_view name) const {
  for (const auto& [k, v] : headers)
    if (SameNoCase(k, name)) return &v;
  return nullptr;
}

FakeHttpServer::FakeHttpServer(HttpOptions options, App app) : options_(std::move(options)), app_(std::move(app)) {
  server_ = std::make_unique<FakeServer>([this](FakeConnection& c) { Serve(c); });
}

std::string FakeHttpServer::Origin() const {
  return std::string(options_.tls ? "https" : "http") + "://127.0.0.1:" + std::to_string(port());
}

void FakeHttpServer::AddFault(HttpFault fault) {
  std::lock_guard lock(mutex_);
  faults_.push_back(std::move(fault));
}

std::vector<HttpIn> FakeHttpServer::Requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

int FakeHttpServer::ntlm_logins() const {
  std::lock_guard lock(mutex_);
  return ntlm_logins_;
}

int FakeHttpServer::connections() const {
  std::lock_guard lock(mutex_);
  return connections_;
}

void FakeHttpServer::Serve(FakeConnection& c) {
  {
    std::lock_guard lock(mutex_);
    ++connections_;
  }
  if (options_.tls && !c.StartTls()) return;  // a client that gave up is no failure of ours
  bool authenticated = options_.auth == HttpAuth::None;
  const std::array<std::uint8_t, 8> sc = {0x13, 0x37, 0xc0, 0xde, 0x01, 0x02, 0x03, 0x04};
  for (;;) {
    HttpIn in;
    if (!ReadRequest(c, in)) return;
    const std::string* authz = in.Header("Authorization");
    if (options_.auth == HttpAuth::Basic) {
      authenticated = authz && *authz == "Basic " + Base64Encode(options_.user + ":" + options_.password);
    } else if (options_.auth == HttpAuth::Bearer) {
      const std::string* anchor = in.Header("X-AnchorMailbox");
      const bool token = authz && authz->rfind("Bearer ", 0) == 0 &&
                         (options_.bearerCheck ? options_.bearerCheck(authz->substr(7))
                                               : *authz == "Bearer " + options_.bearer);
      authenticated = token && (options_.anchor.empty() || (anchor && *anchor == options_.anchor));
    } else if (options_.auth == HttpAuth::Ntlm && authz && authz->rfind("NTLM ", 0) == 0) {
      std::vector<std::uint8_t> token = Base64Decode(authz->substr(5));
      if (token.size() > 8 && token[8] == 1) {
        auth::Bytes challenge = NtlmChallengeMessage(sc, options_.domain);
        if (!SendReply(c, {401, "Unauthorized", "", ""}, {"WWW-Authenticate: NTLM " + Base64Encode(challenge)}))
          return;
        continue;
      }
      std::string why;
      authenticated = VerifyNtlm(token, options_, sc, why);
      if (authenticated) {
        std::lock_guard lock(mutex_);
        ++ntlm_logins_;
      }
    }
    if (!authenticated) {
      std::vector<std::string> offer;
      if (options_.auth == HttpAuth::Basic) offer.push_back("WWW-Authenticate: Basic realm=\"fake\"");
      if (options_.auth == HttpAuth::Ntlm) offer.push_back("WWW-Authenticate: NTLM");
      if (options_.auth == HttpAuth::Bearer) offer.push_back("WWW-Authenticate: Bearer");
      if (!SendReply(c, {401, "Unauthorized", "text/html", "denied"}, offer)) return;
      continue;
    }
    std::optional<HttpFault> fault;
    {
      std::lock_guard lock(mutex_);
      if (options_.record) requests_.push_back(in);
      for (auto it = faults_.begin(); it != faults_.end(); ++it) {
        if (it->match.empty() || (in.method + " " + in.target + " " + in.body).find(it->match) != std::string::npos) {
          fault = std::move(*it);
          faults_.erase(it);
          break;
        }
      }
    }
    if (fault) {
      if (fault->kind == HttpFault::Silence) {
        c.Stall();
        return;
      }
      if (fault->kind == HttpFault::Drop) {
        std::string body = fault->body.empty() ? std::string(4096, 'x') : fault->body;
        c.Send("HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\nContent-Length: " + std::to_string(body.size() * 2) +
               "\r\n\r\n" + body);
        return;
      }
      if (!SendReply(c, {fault->status, fault->reason, "text/xml; charset=utf-8", fault->body})) return;
      continue;
    }
    if (!SendReply(c, app_(in))) return;
  }
}

// ---------------------------------------------------------------------------

FakeEws::FakeEws(HttpOptions options)
    : http_(std::move(options), [this](const HttpIn& in) { return Handle(in); }) {}

std::string FakeEws::AddMessage(std::string content) {
  std::lock_guard lock(mutex_);
  Message m;
  m.id = "AAMkAD" + std::to_string(nextId_) + "+id/" + std::to_string(nextId_) + "==";
  m.changeKey = "CQAAAB" + std::to_string(nextId_++);
  m.content = std::move(content);
  messages_.push_back(m);
  return m.id;
}

void FakeEws::Add(Message m) {
  std::lock_guard lock(mutex_);
  messages_.push_back(std::move(m));
}

std::vector<FakeEws::Message> FakeEws::Messages() const {
  std::lock_guard lock(mutex_);
  return messages_;
}

void FakeEws::SetPrefix(std::string prefix) {
  std::lock_guard lock(mutex_);
  prefix_ = std::move(prefix);
}

void FakeEws::SetPageCap(std::size_t cap) {
  std::lock_guard lock(mutex_);
  pageCap_ = cap;
}

void FakeEws::SetIgnoreView(bool ignore) {
  std::lock_guard lock(mutex_);
  ignoreView_ = ignore;
}

int FakeEws::finditem_requests() const {
  std::lock_guard lock(mutex_);
  return findItems_;
}

std::string FakeEws::Envelope(const std::string& inner) const {
  const std::string& p = prefix_;
  return "<?xml version=\"1.0\" encoding=\"utf-8\"?><" + p + ":Envelope xmlns:" + p + "=\"" + kSoapNs + "\"><" + p +
         ":Header><h:ServerVersionInfo MajorVersion=\"15\" xmlns:h=\"" + kTypesNs + "\"/></" + p + ":Header><" + p +
         ":Body>" + inner + "</" + p + ":Body></" + p + ":Envelope>";
}

HttpOut FakeEws::Handle(const HttpIn& in) {
  std::lock_guard lock(mutex_);
  HttpOut out;
  if (in.method != "POST" || in.target != "/ews/exchange.asmx") return {404, "Not Found", "text/html", "no"};
  const std::string& b = in.body;
  auto response = [&](const std::string& op, const std::string& inner, const std::string& code = "NoError",
                      const std::string& text = "") {
    std::string klass = code == "NoError" ? "Success" : "Error";
    std::string r = "<m:" + op + "Response xmlns:m=\"" + kMessagesNs + "\" xmlns:t=\"" + kTypesNs +
                    "\"><m:ResponseMessages><m:" + op + "ResponseMessage ResponseClass=\"" + klass + "\">";
    if (!text.empty()) r += "<m:MessageText>" + text + "</m:MessageText>";
    r += "<m:ResponseCode>" + code + "</m:ResponseCode>" + inner + "</m:" + op + "ResponseMessage></m:ResponseMessages></m:" +
         op + "Response>";
    return Envelope(r);
  };
  auto find = [&](const std::string& id) {
    return std::find_if(messages_.begin(), messages_.end(), [&](const Message& m) { return m.id == id; });
  };
  if (b.find("<FindFolder") != std::string::npos) {
    out.body = response("FindFolder",
                        "<m:RootFolder TotalItemsInView=\"2\" IncludesLastItemInRange=\"true\"><t:Folders>"
                        "<t:Folder><t:FolderId Id=\"AQMkInbox\" ChangeKey=\"AQAAAA\"/><t:DisplayName>Inbox</t:DisplayName>"
                        "<t:TotalCount>0</t:TotalCount><t:ChildFolderCount>0</t:ChildFolderCount></t:Folder>"
                        "<t:Folder><t:FolderId Id=\"AQMkSent\" ChangeKey=\"AQAAAB\"/><t:DisplayName>Sent/Old</t:DisplayName>"
                        "<t:ChildFolderCount>1</t:ChildFolderCount></t:Folder></t:Folders></m:RootFolder>");
  } else if (b.find("<FindItem") != std::string::npos) {
    ++findItems_;
    if (b.find("<t:DistinguishedFolderId Id=\"inbox\"/>") == std::string::npos &&
        b.find("<t:FolderId Id=\"AQMkInbox\"/>") == std::string::npos) {
      out.body = response("FindItem", "", "ErrorInvalidIdMalformed", "Id is malformed.");
      return out;
    }
    const bool paged = b.find("<IndexedPageItemView") != std::string::npos && !ignoreView_;
    std::size_t offset = paged ? std::strtoull(AttrIn(b, "Offset").c_str(), nullptr, 10) : 0;
    std::size_t max = paged ? std::strtoull(AttrIn(b, "MaxEntriesReturned").c_str(), nullptr, 10) : messages_.size();
    if (pageCap_ && max > pageCap_) max = pageCap_;
    offset = std::min(offset, messages_.size());
    std::size_t end = std::min(messages_.size(), offset + max);
    std::string items;
    for (std::size_t i = offset; i < end; ++i) {
      const Message& m = messages_[i];
      int64_t size = m.listedSize >= 0 ? m.listedSize : static_cast<int64_t>(m.content.size());
      items += "<t:Message><t:ItemId Id=\"" + m.id + "\" ChangeKey=\"" + m.changeKey + "\"/><t:Size>" +
               std::to_string(size) + "</t:Size>" + (m.withIsRead ? "<t:IsRead>false</t:IsRead>" : "") + "</t:Message>";
    }
    std::string root = "<m:RootFolder";
    if (paged) {
      root += " IndexedPagingOffset=\"" + std::to_string(end) + "\" TotalItemsInView=\"" +
              std::to_string(messages_.size()) + "\" IncludesLastItemInRange=\"" +
              (end >= messages_.size() ? "true" : "false") + "\"";
    }
    out.body = response("FindItem", root + "><t:Items>" + items + "</t:Items></m:RootFolder>");
  } else if (b.find("<GetItem") != std::string::npos) {
    auto it = find(AttrIn(b, "Id"));
    if (it == messages_.end()) {
      out.body = response("GetItem", "<m:Items/>", "ErrorItemNotFound",
                          "The specified object was not found in the store., The process failed to get the correct properties.");
    } else {
      out.body = response("GetItem", "<m:Items><t:Message><t:MimeContent CharacterSet=\"UTF-8\">" +
                                         Base64Encode(it->content) + "</t:MimeContent><t:ItemId Id=\"" + it->id +
                                         "\" ChangeKey=\"" + it->changeKey + "\"/></t:Message></m:Items>");
    }
  } else if (b.find("<DeleteItem") != std::string::npos) {
    auto it = find(AttrIn(b, "Id"));
    if (it == messages_.end()) {
      out.body = response("DeleteItem", "", "ErrorItemNotFound", "The specified object was not found in the store.");
    } else {
      messages_.erase(it);
      out.body = response("DeleteItem", "");
    }
  } else {
    return {500, "Internal Server Error", "text/xml", Envelope("<" + prefix_ + ":Fault><faultcode>a:ErrorSchemaValidation</faultcode></" + prefix_ + ":Fault>")};
  }
  return out;
}

// ---------------------------------------------------------------------------

FakeWebDav::FakeWebDav(HttpOptions options, std::string mailbox)
    : mailbox_(std::move(mailbox)), http_(std::move(options), [this](const HttpIn& in) { return Handle(in); }) {}

std::string FakeWebDav::AddMessage(std::string content) {
  std::lock_guard lock(mutex_);
  Message m;
  m.name = "Message " + std::to_string(next_++) + ".EML";
  m.content = std::move(content);
  messages_.push_back(m);
  return InboxUrl() + "/" + Spaces(m.name);
}

void FakeWebDav::Add(Message m) {
  std::lock_guard lock(mutex_);
  messages_.push_back(std::move(m));
}

std::vector<FakeWebDav::Message> FakeWebDav::Messages() const {
  std::lock_guard lock(mutex_);
  return messages_;
}

void FakeWebDav::SetInboxTrailingSlash(bool slash) {
  std::lock_guard lock(mutex_);
  trailingSlash_ = slash;
}

void FakeWebDav::SetAnnounceInbox(bool announce) {
  std::lock_guard lock(mutex_);
  announceInbox_ = announce;
}

HttpOut FakeWebDav::Handle(const HttpIn& in) {
  std::lock_guard lock(mutex_);
  const std::string origin = http_.Origin();
  const std::string box = "/exchange/" + mailbox_;
  const std::string inbox = box + "/Inbox";
  const std::string head =
      "<?xml version=\"1.0\"?><a:multistatus xmlns:b=\"urn:uuid:c2f41010-65b3-11d1-a29f-00aa00c14882/\" "
      "xmlns:d=\"urn:schemas:httpmail:\" xmlns:e=\"http://schemas.microsoft.com/mapi/proptag/\" xmlns:a=\"DAV:\">";
  if (in.method == "SEARCH" && in.target == box) {
    HttpOut out;
    out.status = 207;
    out.reason = "Multi-Status";
    out.body = head;
    if (in.body.find("hierarchical traversal") != std::string::npos) {
      auto folder = [&](const std::string& name, const std::string& href) {
        std::string url = origin + href;
        out.body += "<a:response><a:href>" + url + "</a:href><a:propstat><a:status>HTTP/1.1 200 OK</a:status><a:prop>";
        if (announceInbox_) out.body += "<d:inbox>" + origin + inbox + "</d:inbox>";
        out.body += "<a:href>" + url + "</a:href><a:displayname>" + name +
                    "</a:displayname><a:hassubs b:dt=\"boolean\">0</a:hassubs></a:prop></a:propstat></a:response>";
      };
      folder("Calendar", box + "/Calendar/");
      folder("Inbox", inbox + (trailingSlash_ ? "/" : ""));
      folder("Sent Items", box + "/Sent%20Items/");
    } else {
      std::string from = "FROM \"" + origin + inbox + "\"";
      if (in.body.find(from) == std::string::npos) return {404, "Resource Not Found", "text/html", "no such folder"};
      for (const Message& m : messages_) {
        std::string url = origin + inbox + "/" + Spaces(m.name);
        int64_t size = m.listedSize >= 0 ? m.listedSize : static_cast<int64_t>(m.content.size());
        out.body += "<a:response><a:href>" + url + "</a:href><a:propstat><a:status>HTTP/1.1 200 OK</a:status><a:prop><a:href>" +
                    url + "</a:href><a:displayname>" + m.name + "</a:displayname>" +
                    (m.withRead ? "<d:read b:dt=\"boolean\">0</d:read>" : "") + "<e:x0e080003 b:dt=\"int\">" +
                    std::to_string(size) + "</e:x0e080003></a:prop></a:propstat></a:response>";
      }
    }
    out.body += "</a:multistatus>";
    return out;
  }
  if ((in.method == "GET" || in.method == "DELETE") && in.target.rfind(inbox + "/", 0) == 0) {
    std::string name = in.target.substr(inbox.size() + 1);
    for (std::size_t p; (p = name.find("%20")) != std::string::npos;) name.replace(p, 3, " ");
    auto it = std::find_if(messages_.begin(), messages_.end(), [&](const Message& m) { return m.name == name; });
    if (it == messages_.end()) return {404, "Resource Not Found", "text/html", "gone"};
    if (in.method == "DELETE") {
      messages_.erase(it);
      return {204, "No Content", "", ""};
    }
    return {200, "OK", "message/rfc822", it->content};
  }
  return {404, "Resource Not Found", "text/html", "nothing here"};
}

}  // namespace tarnwick::test
