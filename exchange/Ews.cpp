#include "exchange/Ews.h"

#include "exchange/ExchangeText.h"
#include "exchange/XmlDocument.h"
#include "message/Encoding.h"
#include "platform/AsciiText.h"

#include <optional>
#include <unordered_set>

namespace tarnwick {

namespace {

constexpr std::string_view kSoapNs = "http://schemas.xmlsoap.org/soap/envelope/";
constexpr std::string_view kTypesNs = "http://schemas.microsoft.com/exchange/services/2006/types";
constexpr std::string_view kMessagesNs = "http://schemas.microsoft.com/exchange/services/2006/messages";

constexpr std::string_view kXmlFailureFolder = "Invalid XML Parser error.";
constexpr std::string_view kXmlFailure = "Invalid XML Parser error";

// Pieces 1 to 4 shared by every request.
std::string RequestHead() {
  std::string s;
  s.append("<?xml version=\"1.0\" encoding=\"utf-8\"?>");
  s.append("<soap:Envelope xmlns:soap=\"").append(kSoapNs).append("\"");
  s.append(" xmlns:t=\"").append(kTypesNs).append("\">");
  s.append("<soap:Body>");
  return s;
}

std::string Trimmed(std::string_view s) {
  constexpr std::string_view blanks = " \r\n\t";
  std::size_t b = s.find_first_not_of(blanks);
  if (b == std::string_view::npos) return {};
  std::size_t e = s.find_last_not_of(blanks);
  return std::string(s.substr(b, e - b + 1));
}

bool XmlFailure(CMailClient& session, std::string_view text) {
  session.LastResponse = "500";
  session.LastError = std::string(text);
  return false;
}

// The response check common to every operation: a code that does not start
// with "NoError" is the server's refusal. A reply without a code (not XML,
// other prefixes) passes.
bool CheckResponse(CMailClient& session, const XmlDocument& doc, const std::string& root, std::string_view op) {
  XmlNode codeNode = SelectNode(doc.Root(), EwsResponsePath(op, "m:ResponseCode", root));
  std::string code = codeNode ? Trimmed(NodeText(codeNode)) : std::string("NoError");
  if (StartsWithNoCase(code, "NoError")) return true;
  XmlNode textNode = SelectNode(doc.Root(), EwsResponsePath(op, "m:MessageText", root));
  std::string text = textNode ? NodeText(textNode) : std::string("Unknown error");
  session.LastResponse = code;
  session.LastError = code + " " + text;
  return false;
}

std::optional<int64_t> Number(const std::optional<std::string>& text) {
  if (!text || text->empty() || text->size() > 18) return std::nullopt;
  int64_t v = 0;
  for (char c : *text) {
    if (c < '0' || c > '9') return std::nullopt;
    v = v * 10 + (c - '0');
  }
  return v;
}

}  // namespace

std::string EwsUrl(const CMailServer& settings) {
  std::string url = settings.Server;
  if (url.find('/') == std::string::npos) url += "/ews/exchange.asmx";
  if (!StartsWithNoCase(url, "http")) url = (settings.SSLConnection ? "https://" : "http://") + url;
  return url;
}

std::string EwsResponsePath(std::string_view op, std::string_view tail, std::string_view rootName) {
  std::string path = StartsWithNoCase(rootName, "soap:") ? "soap:Envelope/soap:Body/m:" : "s:Envelope/s:Body/m:";
  path.append(op).append("Response/m:ResponseMessages/m:").append(op).append("ResponseMessage/").append(tail);
  return path;
}

std::string EwsFindFolderRequest() {
  std::string s = RequestHead();
  s.append("<FindFolder Traversal=\"Shallow\" xmlns=\"").append(kMessagesNs).append("\">");
  s.append("<FolderShape>");
  s.append("<t:BaseShape>Default</t:BaseShape>");
  s.append("</FolderShape>");
  s.append("<ParentFolderIds>");
  s.append("<t:DistinguishedFolderId Id=\"msgfolderroot\"/>");
  s.append("</ParentFolderIds>");
  s.append("</FindFolder>");
  s.append("</soap:Body>");
  s.append("</soap:Envelope>");
  return s;
}

std::string EwsFindItemRequest(std::string_view folderName, int64_t offset) {
  std::string s = RequestHead();
  s.append("<FindItem xmlns=\"").append(kMessagesNs).append("\"");
  s.append(" xmlns:t=\"").append(kTypesNs).append("\"");
  s.append(" Traversal=\"Shallow\">");
  s.append("<ItemShape>");
  s.append("<t:BaseShape>IdOnly</t:BaseShape>");
  s.append("<t:AdditionalProperties>");
  s.append("<t:FieldURI FieldURI=\"item:Size\"/>");
  s.append("<t:FieldURI FieldURI=\"message:IsRead\"/>");
  s.append("</t:AdditionalProperties>");
  s.append("</ItemShape>");
  // Servers cap what one FindItem returns; the listing goes page by page.
  s.append("<IndexedPageItemView MaxEntriesReturned=\"").append(std::to_string(kEwsPageSize));
  s.append("\" Offset=\"").append(std::to_string(offset)).append("\" BasePoint=\"Beginning\"/>");
  if (EqualsNoCase(folderName, "inbox")) {
    s.append("<ParentFolderIds>");
    s.append("<t:DistinguishedFolderId Id=\"inbox\"/>");
    s.append("</ParentFolderIds>");
  } else {
    s.append("<ParentFolderIds><t:FolderId Id=\"").append(XmlEscape(folderName)).append("\"/></ParentFolderIds>");
  }
  s.append("</FindItem>");
  s.append("</soap:Body>");
  s.append("</soap:Envelope>");
  return s;
}

std::string EwsGetItemRequest(const CMailInfo& entry) {
  std::string s = RequestHead();
  s.append("<GetItem xmlns=\"").append(kMessagesNs).append("\"");
  s.append(" xmlns:t=\"").append(kTypesNs).append("\">");
  s.append("<ItemShape>");
  s.append("<t:BaseShape>IdOnly</t:BaseShape>");
  s.append("<t:IncludeMimeContent>true</t:IncludeMimeContent>");
  s.append("</ItemShape>");
  s.append("<ItemIds>");
  s.append("<t:ItemId Id=\"").append(XmlEscape(entry.UIDL));
  s.append("\" ChangeKey=\"").append(XmlEscape(entry.ChangeKey)).append("\" />");
  s.append("</ItemIds>");
  s.append("</GetItem>");
  s.append("</soap:Body>");
  s.append("</soap:Envelope>");
  return s;
}

std::string EwsDeleteItemRequest(const CMailInfo& entry) {
  std::string s = RequestHead();
  s.append("<DeleteItem DeleteType=\"HardDelete\" xmlns=\"").append(kMessagesNs).append("\">");
  s.append("<ItemIds>");
  s.append("<t:ItemId Id=\"").append(XmlEscape(entry.UIDL)).append("\"/>");
  s.append("</ItemIds>");
  s.append("</DeleteItem>");
  s.append("</soap:Body>");
  s.append("</soap:Envelope>");
  return s;
}

bool EwsReadFindFolder(CMailClient& session, std::string reply) {
  XmlDocument doc = LoadXmlDocument(std::move(reply));
  const std::string root = RootName(doc);
  if (!CheckResponse(session, doc, root, "FindFolder")) return false;
  for (const XmlNode& folder :
       SelectNodes(doc.Root(), EwsResponsePath("FindFolder", "m:RootFolder/t:Folders/t:Folder", root))) {
    XmlNode name = SelectNode(folder, "t:DisplayName");
    XmlNode id = SelectNode(folder, "t:FolderId");
    std::optional<std::string> idText = AttributeText(id, "Id");
    std::optional<std::string> changeKey = AttributeText(id, "ChangeKey");
    if (!name || !idText || !changeKey || !SelectNode(folder, "t:ChildFolderCount"))
      return XmlFailure(session, kXmlFailureFolder);
    CImap4Folder entry;
    entry.Name = NodeText(name);
    for (char c : entry.Name) {
      if (c == '/') entry.EscapedName += '\\';
      else entry.EscapedName += c;
    }
    entry.Id = std::move(*idText);
    entry.ChangeKey = std::move(*changeKey);
    session.Folders.push_back(std::move(entry));
  }
  return true;
}

bool EwsReadFindItem(CMailClient& session, std::string reply, EwsPage& page) {
  page.last = true;
  XmlDocument doc = LoadXmlDocument(std::move(reply));
  const std::string root = RootName(doc);
  if (!CheckResponse(session, doc, root, "FindItem")) return false;
  for (const XmlNode& message :
       SelectNodes(doc.Root(), EwsResponsePath("FindItem", "m:RootFolder/t:Items/t:Message", root))) {
    XmlNode itemId = SelectNode(message, "t:ItemId");
    std::optional<std::string> id = AttributeText(itemId, "Id");
    std::optional<std::string> changeKey = AttributeText(itemId, "ChangeKey");
    XmlNode size = SelectNode(message, "t:Size");
    if (!id || !changeKey || !size || !SelectNode(message, "t:IsRead")) return XmlFailure(session, kXmlFailure);
    CMailInfo info;
    info.UIDL = std::move(*id);
    info.ChangeKey = std::move(*changeKey);
    info.Size = ScaledSize(NodeText(size));
    info.Index = static_cast<int32_t>(session.Messages.size() + 1);
    session.Messages.push_back(std::move(info));
  }
  // A paged reply says whether the last item is in; a server that ignores
  // the view answers without it, and its one reply is the whole list.
  XmlNode folder = SelectNode(doc.Root(), EwsResponsePath("FindItem", "m:RootFolder", root));
  std::optional<std::string> lastIn = AttributeText(folder, "IncludesLastItemInRange");
  if (lastIn && EqualsNoCase(Trimmed(*lastIn), "false")) {
    page.last = false;
    if (std::optional<int64_t> next = Number(AttributeText(folder, "IndexedPagingOffset"))) page.nextOffset = *next;
    else page.nextOffset = -1;  // the caller advances by what arrived
  }
  return true;
}

bool EwsReadGetItem(CMailClient& session, std::string reply, std::string& content) {
  content.clear();
  std::string mime;
  {
    XmlDocument doc = LoadXmlDocument(std::move(reply));
    const std::string root = RootName(doc);
    if (!CheckResponse(session, doc, root, "GetItem")) return false;
    XmlNode message = SelectNode(doc.Root(), EwsResponsePath("GetItem", "m:Items/t:Message", root));
    XmlNode node = SelectNode(message, "t:MimeContent");
    if (!node) return XmlFailure(session, kXmlFailure);
    mime = NodeText(node);
  }  // the reply's document goes before the message is decoded
  std::vector<std::uint8_t> bytes = Base64Decode(mime);
  mime.clear();
  mime.shrink_to_fit();
  content.assign(bytes.begin(), bytes.end());
  return true;
}

bool EwsReadDeleteItem(CMailClient& session, std::string reply) {
  XmlDocument doc = LoadXmlDocument(std::move(reply));
  return CheckResponse(session, doc, RootName(doc), "DeleteItem");
}

bool EwsFindFolder(CMailClient& session, ExchangeHttp& link) {
  std::string reply;
  if (!EwsPost(session, link, EwsUrl(*session.ServerCopy), EwsFindFolderRequest(), nullptr, reply)) return false;
  return EwsReadFindFolder(session, std::move(reply));
}

bool EwsFindItem(CMailClient& session, ExchangeHttp& link) {
  const std::string url = EwsUrl(*session.ServerCopy);
  std::unordered_set<std::string> seen;
  std::size_t recorded = 0;  // entries already in seen
  int64_t offset = 0;
  for (;;) {
    const std::size_t before = session.Messages.size();
    std::string reply;
    if (!EwsPost(session, link, url, EwsFindItemRequest(session.FolderName, offset), nullptr, reply)) return false;
    EwsPage page;
    if (!EwsReadFindItem(session, std::move(reply), page)) return false;
    const std::size_t got = session.Messages.size() - before;
    if (page.last || got == 0) return true;
    // A server that keeps answering with items already listed ignores the
    // offset: its repeats are dropped and the listing ends there.
    bool fresh = false;
    for (; recorded < before; ++recorded) seen.insert(session.Messages[recorded].UIDL);
    for (std::size_t i = before; i < session.Messages.size(); ++i)
      if (!seen.count(session.Messages[i].UIDL)) fresh = true;
    if (!fresh) {
      session.Messages.resize(before);
      return true;
    }
    int64_t next = page.nextOffset > offset ? page.nextOffset : offset + static_cast<int64_t>(got);
    offset = next;
  }
}

bool EwsGetItem(CMailClient& session, ExchangeHttp& link, const CMailInfo& entry, std::string& content) {
  std::string reply;
  if (!EwsPost(session, link, EwsUrl(*session.ServerCopy), EwsGetItemRequest(entry), &entry, reply)) return false;
  return EwsReadGetItem(session, std::move(reply), content);
}

bool EwsDeleteItem(CMailClient& session, ExchangeHttp& link, const CMailInfo& entry) {
  std::string reply;
  if (!EwsPost(session, link, EwsUrl(*session.ServerCopy), EwsDeleteItemRequest(entry), nullptr, reply)) return false;
  return EwsReadDeleteItem(session, std::move(reply));
}

}  // namespace tarnwick
