#include "exchange/WebDav.h"

#include "exchange/ExchangeText.h"
#include "exchange/XmlDocument.h"
#include "platform/AsciiText.h"

namespace tarnwick {

namespace {

constexpr std::string_view kPropTagNs = "http://schemas.microsoft.com/mapi/proptag/";
constexpr std::string_view kXmlFailure = "Invalid XML Parser error.";

std::string SearchHead() { return "<?xml version=\"1.0\"?><D:searchrequest xmlns:D=\"DAV:\"><D:sql>"; }

bool XmlFailure(CMailClient& session) {
  session.LastResponse = "500";
  session.LastError = std::string(kXmlFailure);
  return false;
}

std::string TrimSlashes(std::string_view s) {
  std::size_t b = s.find_first_not_of('/');
  if (b == std::string_view::npos) return {};
  std::size_t e = s.find_last_not_of('/');
  return std::string(s.substr(b, e - b + 1));
}

}  // namespace

std::string WebDavMailboxUrl(const CMailServer& settings) {
  std::string url = settings.Server;
  if (url.find('/') == std::string::npos) url += "/exchange/";
  if (!StartsWithNoCase(url, "http")) url = (settings.SSLConnection ? "https://" : "http://") + url;
  std::string_view user = settings.User;
  if (std::size_t bs = user.find('\\'); bs != std::string_view::npos) user.remove_prefix(bs + 1);
  url.append(user);
  return url;
}

std::string WebDavFolderSearchRequest(std::string_view mailboxUrl) {
  std::string s = SearchHead();
  s.append("SELECT \"urn:schemas:httpmail:inbox\", \"DAV:href\", \"DAV:displayname\", \"DAV:hassubs\" ");
  s.append("FROM SCOPE('hierarchical traversal of \"");
  s.append(XmlEscape(mailboxUrl));
  s.append("\"') ");
  s.append("WHERE \"DAV:contentclass\" = 'urn:content-classes:mailfolder' OR  \"DAV:contentclass\" = "
           "'urn:content-classes:folder'");
  s.append("</D:sql>");
  s.append("</D:searchrequest>");
  return s;
}

std::string WebDavItemSearchRequest(std::string_view folderName) {
  std::string s = SearchHead();
  s.append("SELECT  \"DAV:href\", \"DAV:displayname\", \"urn:schemas:httpmail:read\", ");
  s.append("\"").append(kPropTagNs).append("x0e080003\" ");
  s.append("FROM \"");
  s.append(XmlEscape(folderName));
  s.append("\" WHERE \"DAV:ishidden\" = false ");
  s.append("AND \"DAV:isfolder\" = false ");
  s.append("</D:sql>");
  s.append("</D:searchrequest>");
  return s;
}

bool WebDavReadFolders(CMailClient& session, std::string reply) {
  XmlDocument doc = LoadXmlDocument(std::move(reply));
  for (const XmlNode& response : SelectNodes(doc.Root(), "a:multistatus/a:response")) {
    XmlNode name = SelectNode(response, "a:propstat/a:prop/a:displayname");
    if (!name) return XmlFailure(session);
    XmlNode href = SelectNode(response, "a:propstat/a:prop/a:href");
    if (!href) return XmlFailure(session);
    if (!SelectNode(response, "a:propstat/a:prop/a:hassubs")) return XmlFailure(session);
    const std::string url = NodeText(href);
    if (XmlNode inbox = SelectNode(response, "a:propstat/a:prop/d:inbox")) {
      std::string trimmed = TrimSlashes(url);
      if (EqualsNoCase(trimmed, NodeText(inbox))) session.FolderName = std::move(trimmed);
    }
    CImap4Folder folder;
    folder.Name = NodeText(name);
    for (char c : folder.Name) folder.EscapedName += c == '/' ? '\\' : c;
    folder.Id = url;
    session.Folders.push_back(std::move(folder));
  }
  return true;
}

bool WebDavReadItems(CMailClient& session, std::string reply) {
  XmlDocument doc = LoadXmlDocument(std::move(reply));
  for (const XmlNode& response : SelectNodes(doc.Root(), "a:multistatus/a:response")) {
    XmlNode href = SelectNode(response, "a:propstat/a:prop/a:href");
    if (!href) return XmlFailure(session);
    if (!SelectNode(response, "a:propstat/a:prop/d:read")) return XmlFailure(session);
    XmlNode size = SelectNode(response, "a:propstat/a:prop/e:x0e080003");
    if (!size) return XmlFailure(session);
    CMailInfo info;
    info.UIDL = NodeText(href);
    info.ChangeKey = info.UIDL;
    info.Size = ScaledSize(NodeText(size));
    info.Index = static_cast<int32_t>(session.Messages.size() + 1);
    session.Messages.push_back(std::move(info));
  }
  return true;
}

bool WebDavFindFolders(CMailClient& session, ExchangeHttp& link) {
  const std::string url = WebDavMailboxUrl(*session.ServerCopy);
  std::string reply;
  if (!WebDavSearchText(session, link, url, WebDavFolderSearchRequest(url), reply)) return false;
  return WebDavReadFolders(session, std::move(reply));
}

bool WebDavFindItems(CMailClient& session, ExchangeHttp& link) {
  const std::string url = WebDavMailboxUrl(*session.ServerCopy);
  std::string reply;
  if (!WebDavSearchText(session, link, url, WebDavItemSearchRequest(session.FolderName), reply)) return false;
  return WebDavReadItems(session, std::move(reply));
}

bool WebDavGet(CMailClient& session, ExchangeHttp& link, const CMailInfo& entry, std::string& content) {
  return WebDavRequest(session, link, "", "GET", entry.UIDL, {}, false, &entry, content);
}

bool WebDavDelete(CMailClient& session, ExchangeHttp& link, const CMailInfo& entry) {
  std::string reply;
  return WebDavRequest(session, link, "text/xml", "DELETE", entry.UIDL, {}, false, nullptr, reply);
}

}  // namespace tarnwick
