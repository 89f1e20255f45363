// The EWS client: URL and request texts, the reply reading (both envelope
// prefixes, odd response codes, missing elements, sizes, MIME content), and
// sessions against the fake EWS server with its authentication and faults.
#include "exchange/Ews.h"

#include "exchange/ExchangeProtocols.h"
#include "exchange/WebDav.h"
#include "message/Encoding.h"
#include "tests/support/FakeExchange.h"

#include <gtest/gtest.h>

#include <chrono>

namespace tarnwick {
namespace {

using test::FakeEws;
using test::HttpAuth;
using test::HttpFault;
using test::HttpOptions;

const std::string kS = "http://schemas.xmlsoap.org/soap/envelope/";
const std::string kT = "http://schemas.microsoft.com/exchange/services/2006/types";
const std::string kM = "http://schemas.microsoft.com/exchange/services/2006/messages";
const std::string kHead = "<?xml version=\"1.0\" encoding=\"utf-8\"?><soap:Envelope xmlns:soap=\"" + kS +
                          "\" xmlns:t=\"" + kT + "\"><soap:Body>";
const std::string kTail = "</soap:Body></soap:Envelope>";

CMailServer Settings(int32_t protocol, std::string server, bool ssl = false, std::string user = "alice",
                     std::string password = "s3cret pw") {
  CMailServer s;
  s.Protocol = protocol;
  s.Server = std::move(server);
  s.SSLConnection = ssl;
  s.User = std::move(user);
  s.Password = std::move(password);
  return s;
}

TEST(ExchangeUrls, EndpointAndMailbox) {
  struct Case {
    int32_t protocol;
    const char* server;
    bool ssl;
    const char* user;
    const char* url;
  } cases[] = {
      {ExchangeEws, "mail.example.com", false, "alice", "http://mail.example.com/ews/exchange.asmx"},
      {ExchangeEws, "mail.example.com", true, "alice", "https://mail.example.com/ews/exchange.asmx"},
      {ExchangeEws, "HTTPS://Mail.example.com/EWS/Exchange.asmx", false, "alice", "HTTPS://Mail.example.com/EWS/Exchange.asmx"},
      {ExchangeEws, "mail.example.com/owa/x.asmx", true, "alice", "https://mail.example.com/owa/x.asmx"},
      // Starts with "http": taken as holding its scheme already.
      {ExchangeEws, "httpd.example.com", false, "alice", "httpd.example.com/ews/exchange.asmx"},
      {ExchangeWebDav, "mail.example.com", true, "CORP\\alice", "https://mail.example.com/exchange/alice"},
      {ExchangeWebDav, "mail.example.com", false, "a\\b\\c", "http://mail.example.com/exchange/b\\c"},
      {ExchangeWebDav, "http://mail/public/", true, "bob", "http://mail/public/bob"},
      {ExchangeWebDav, "mail/exchange", false, "bob", "http://mail/exchangebob"},
  };
  for (const Case& c : cases) {
    CMailServer s = Settings(c.protocol, c.server, c.ssl, c.user);
    EXPECT_EQ(c.protocol == ExchangeEws ? EwsUrl(s) : WebDavMailboxUrl(s), c.url) << c.server;
  }
}

TEST(EwsRequests, ByteForByte) {
  EXPECT_EQ(EwsResponsePath("FindItem", "m:ResponseCode", "soap:Envelope"),
            "soap:Envelope/soap:Body/m:FindItemResponse/m:ResponseMessages/m:FindItemResponseMessage/m:ResponseCode");
  EXPECT_EQ(EwsResponsePath("GetItem", "m:Items/t:Message", "SOAP:ENVELOPE"),
            "soap:Envelope/soap:Body/m:GetItemResponse/m:ResponseMessages/m:GetItemResponseMessage/m:Items/t:Message");
  EXPECT_EQ(EwsResponsePath("DeleteItem", "m:ResponseCode", ""),
            "s:Envelope/s:Body/m:DeleteItemResponse/m:ResponseMessages/m:DeleteItemResponseMessage/m:ResponseCode");

  EXPECT_EQ(EwsFindFolderRequest(),
            kHead + "<FindFolder Traversal=\"Shallow\" xmlns=\"" + kM +
                "\"><FolderShape><t:BaseShape>Default</t:BaseShape></FolderShape><ParentFolderIds>"
                "<t:DistinguishedFolderId Id=\"msgfolderroot\"/></ParentFolderIds></FindFolder>" + kTail);
  const std::string findHead = kHead + "<FindItem xmlns=\"" + kM + "\" xmlns:t=\"" + kT +
                               "\" Traversal=\"Shallow\"><ItemShape><t:BaseShape>IdOnly</t:BaseShape>"
                               "<t:AdditionalProperties><t:FieldURI FieldURI=\"item:Size\"/>"
                               "<t:FieldURI FieldURI=\"message:IsRead\"/></t:AdditionalProperties></ItemShape>";
  EXPECT_EQ(EwsFindItemRequest("INBOX", 0),
            findHead + "<IndexedPageItemView MaxEntriesReturned=\"500\" Offset=\"0\" BasePoint=\"Beginning\"/>"
                       "<ParentFolderIds><t:DistinguishedFolderId Id=\"inbox\"/></ParentFolderIds></FindItem>" + kTail);
  EXPECT_EQ(EwsFindItemRequest("AQMk/x=", 1500),
            findHead + "<IndexedPageItemView MaxEntriesReturned=\"500\" Offset=\"1500\" BasePoint=\"Beginning\"/>"
                       "<ParentFolderIds><t:FolderId Id=\"AQMk/x=\"/></ParentFolderIds></FindItem>" + kTail);
  CMailInfo e;
  e.UIDL = "AAMk+1=";
  e.ChangeKey = "CQA\"B";
  EXPECT_EQ(EwsGetItemRequest(e), kHead + "<GetItem xmlns=\"" + kM + "\" xmlns:t=\"" + kT +
                                      "\"><ItemShape><t:BaseShape>IdOnly</t:BaseShape>"
                                      "<t:IncludeMimeContent>true</t:IncludeMimeContent></ItemShape><ItemIds>"
                                      "<t:ItemId Id=\"AAMk+1=\" ChangeKey=\"CQA&quot;B\" /></ItemIds></GetItem>" + kTail);
  EXPECT_EQ(EwsDeleteItemRequest(e), kHead + "<DeleteItem DeleteType=\"HardDelete\" xmlns=\"" + kM +
                                         "\"><ItemIds><t:ItemId Id=\"AAMk+1=\"/></ItemIds></DeleteItem>" + kTail);
}

std::string FindItemReply(const std::string& p, const std::string& code, const std::string& items,
                          const std::string& extra = "") {
  return "<?xml version=\"1.0\" encoding=\"utf-8\"?><" + p + ":Envelope xmlns:" + p + "=\"" + kS + "\"><" + p +
         ":Body><m:FindItemResponse xmlns:m=\"" + kM + "\" xmlns:t=\"" + kT +
         "\"><m:ResponseMessages><m:FindItemResponseMessage>" + code + extra +
         "<m:RootFolder><t:Items>" + items + "</t:Items></m:RootFolder></m:FindItemResponseMessage>"
         "</m:ResponseMessages></m:FindItemResponse></" + p + ":Body></" + p + ":Envelope>";
}

std::string Item(const std::string& id, const std::string& size, bool isRead = true) {
  return "<t:Message><t:ItemId Id=\"" + id + "\" ChangeKey=\"ck" + id + "\"/><t:Size>" + size + "</t:Size>" +
         (isRead ? "<t:IsRead>true</t:IsRead>" : "") + "</t:Message>";
}

TEST(EwsReplies, FindItemReading) {
  const std::string two = Item("a", "1000") + Item("b", "3");
  struct Case {
    const char* name;
    std::string reply;
    bool ok;
    std::size_t listed;
    const char* response;
    const char* error;
  } cases[] = {
      {"soap prefix", FindItemReply("soap", "<m:ResponseCode>NoError</m:ResponseCode>", two), true, 2, "", ""},
      {"s prefix", FindItemReply("s", "<m:ResponseCode>NoError</m:ResponseCode>", two), true, 2, "", ""},
      {"code with blanks", FindItemReply("s", "<m:ResponseCode> NoError\r\n\t</m:ResponseCode>", two), true, 2, "", ""},
      {"code only starts so", FindItemReply("s", "<m:ResponseCode>noerrorX</m:ResponseCode>", two), true, 2, "", ""},
      {"no code", FindItemReply("s", "", two), true, 2, "", ""},
      {"other prefixes", FindItemReply("env", "<m:ResponseCode>ErrorX</m:ResponseCode>", two), true, 0, "", ""},
      {"not xml", "<html>oops", true, 0, "", ""},
      {"error code", FindItemReply("s", "<m:ResponseCode>ErrorAccessDenied</m:ResponseCode>", two,
                                   "<m:MessageText>Access is denied.</m:MessageText>"),
       false, 0, "ErrorAccessDenied", "ErrorAccessDenied Access is denied."},
      {"error without text", FindItemReply("soap", "<m:ResponseCode> ErrorServerBusy </m:ResponseCode>", two), false,
       0, "ErrorServerBusy", "ErrorServerBusy Unknown error"},
      {"no IsRead", FindItemReply("s", "", two + Item("c", "5", false) + Item("d", "5")), false, 2, "500",
       "Invalid XML Parser error"},
      {"no ChangeKey", FindItemReply("s", "", "<t:Message><t:ItemId Id=\"x\"/><t:Size>1</t:Size><t:IsRead/></t:Message>"),
       false, 0, "500", "Invalid XML Parser error"},
  };
  for (const Case& c : cases) {
    CMailClient s;
    EwsPage page;
    EXPECT_EQ(EwsReadFindItem(s, c.reply, page), c.ok) << c.name;
    ASSERT_EQ(s.Messages.size(), c.listed) << c.name;
    EXPECT_EQ(s.LastResponse, c.response) << c.name;
    EXPECT_EQ(s.LastError, c.error) << c.name;
    EXPECT_TRUE(page.last) << c.name;
    if (c.listed == 2) {
      EXPECT_EQ(s.Messages[0].UIDL, "a");
      EXPECT_EQ(s.Messages[0].ChangeKey, "cka");
      EXPECT_EQ(s.Messages[0].Size, 1400);
      EXPECT_EQ(s.Messages[0].Index, 1);
      EXPECT_EQ(s.Messages[1].Size, 4);
      EXPECT_EQ(s.Messages[1].Index, 2);
    }
  }
}

TEST(EwsReplies, GetItemAndFindFolder) {
  std::string message("Subject: \xc3\xa9t\xc3\xa9\r\n\r\n\x00\x01\xff body\r\n", 26);
  auto getReply = [](const std::string& p, const std::string& mime) {
    return "<" + p + ":Envelope xmlns:" + p + "=\"x\"><" + p + ":Body><m:GetItemResponse><m:ResponseMessages>"
           "<m:GetItemResponseMessage><m:ResponseCode>NoError</m:ResponseCode><m:Items><t:Message>" + mime +
           "</t:Message></m:Items></m:GetItemResponseMessage></m:ResponseMessages></m:GetItemResponse></" + p +
           ":Body></" + p + ":Envelope>";
  };
  CMailClient s;
  std::string content;
  ASSERT_TRUE(EwsReadGetItem(s, getReply("soap", "<t:MimeContent CharacterSet=\"UTF-8\">" +
                                                     Base64Encode(message) + "</t:MimeContent>"), content));
  EXPECT_EQ(content, message);
  ASSERT_TRUE(EwsReadGetItem(s, getReply("s", "<t:MimeContent>QQ</t:MimeContent>"), content));
  EXPECT_EQ(content, "");
  EXPECT_FALSE(EwsReadGetItem(s, getReply("s", "<t:Subject>x</t:Subject>"), content));
  EXPECT_EQ(s.LastError, "Invalid XML Parser error");
  s.LastError.clear();
  EXPECT_FALSE(EwsReadGetItem(s, "not xml at all", content));
  EXPECT_EQ(s.LastResponse, "500");
  EXPECT_EQ(s.LastError, "Invalid XML Parser error");

  auto folderReply = [](const std::string& folders) {
    return "<s:Envelope><s:Body><m:FindFolderResponse><m:ResponseMessages><m:FindFolderResponseMessage>"
           "<m:RootFolder><t:Folders>" + folders + "</t:Folders></m:RootFolder></m:FindFolderResponseMessage>"
           "</m:ResponseMessages></m:FindFolderResponse></s:Body></s:Envelope>";
  };
  const std::string good = "<t:Folder><t:FolderId Id=\"i1\" ChangeKey=\"c1\"/><t:DisplayName>A/B</t:DisplayName>"
                           "<t:ChildFolderCount>0</t:ChildFolderCount></t:Folder>";
  CMailClient f;
  ASSERT_TRUE(EwsReadFindFolder(f, folderReply(good)));
  ASSERT_EQ(f.Folders.size(), 1u);
  EXPECT_EQ(f.Folders[0].EscapedName, "A\\B");
  EXPECT_EQ(f.Folders[0].Id, "i1");
  EXPECT_FALSE(EwsReadFindFolder(f, folderReply(good + "<t:Folder><t:FolderId Id=\"i2\" ChangeKey=\"c2\"/>"
                                                       "<t:DisplayName>C</t:DisplayName></t:Folder>")));
  EXPECT_EQ(f.LastError, "Invalid XML Parser error.");
  EXPECT_EQ(f.Folders.size(), 2u);  // the earlier entries stay
}

// ---------------------------------------------------------------------------
// Sessions against the fake server.

class EwsSession : public ::testing::Test {
 protected:
  void SetUp() override { RegisterExchangeProtocols(); }
};

TEST_F(EwsSession, ListFetchDeleteOverNtlmAndTls) {
  for (bool tls : {false, true}) {
    FakeEws ews({.tls = tls, .auth = HttpAuth::Ntlm});
    std::string big(300000, 'x');
    for (std::size_t i = 0; i < big.size(); i += 77) big[i] = '\n';
    ews.AddMessage("Subject: one\r\n\r\nfirst\r\n");
    ews.AddMessage("Subject: two\r\n\r\n" + big);
    CMailClient s;
    CMailServer settings = Settings(ExchangeEws, ews.Url(), false, "CORP\\alice");
    ASSERT_EQ(s.Connect(&settings), 0) << s.LastError << ews.http().Failures();
    EXPECT_EQ(s.Folders.size(), 2u);
    ASSERT_EQ(s.GetMailList(), 0) << s.LastError;
    ASSERT_EQ(s.Messages.size(), 2u);
    std::string content;
    ASSERT_TRUE(s.RetrieveMail(&s.Messages[1], content)) << s.LastError;
    EXPECT_EQ(content, "Subject: two\r\n\r\n" + big);
    EXPECT_EQ(s.Messages[1].Size, static_cast<int32_t>(content.size()));
    EXPECT_NE(s.Transcript.find("[DATA Steam "), std::string::npos);
    EXPECT_EQ(s.Transcript.find(Base64Encode(big.substr(0, 300))), std::string::npos);
    ASSERT_EQ(s.DeleteMail(&s.Messages[0]), 0) << s.LastError;
    EXPECT_TRUE(s.Quit());
    EXPECT_EQ(ews.Messages().size(), 1u);
    // One NTLM login and one connection for the whole session.
    EXPECT_EQ(ews.http().ntlm_logins(), 1) << tls;
    EXPECT_EQ(ews.http().connections(), 1) << tls;
    EXPECT_EQ(s.Transcript.find("s3cret"), std::string::npos);
    EXPECT_EQ(s.Transcript.find("Authorization"), std::string::npos);
    EXPECT_EQ(ews.http().Failures(), "");
  }
}

TEST_F(EwsSession, ListingGoesPageByPage) {
  struct Case {
    std::size_t cap;
    bool ignoreView;
    std::size_t listed;
    int requests;
  } cases[] = {{3, false, 8, 3}, {4, false, 8, 2}, {0, false, 8, 1}, {5, true, 5, 1}};
  for (const Case& c : cases) {
    FakeEws ews;
    for (int i = 0; i < 8; ++i) ews.AddMessage("m" + std::to_string(i));
    ews.SetPageCap(c.cap);
    ews.SetIgnoreView(c.ignoreView);
    CMailClient s;
    CMailServer settings = Settings(ExchangeEws, ews.Url());
    ASSERT_EQ(s.Connect(&settings), 0) << s.LastError;
    ASSERT_EQ(s.GetMailList(), 0) << s.LastError;
    ASSERT_EQ(s.Messages.size(), c.listed) << c.cap;
    EXPECT_EQ(ews.finditem_requests(), c.requests) << c.cap;
    std::vector<FakeEws::Message> on = ews.Messages();
    for (std::size_t i = 0; i < c.listed; ++i) {
      EXPECT_EQ(s.Messages[i].UIDL, on[i].id);
      EXPECT_EQ(s.Messages[i].Index, static_cast<int32_t>(i + 1));
    }
  }
}

TEST_F(EwsSession, HttpFailuresAndFaults) {
  struct Case {
    const char* name;
    HttpFault fault;
    const char* response;
    const char* error;  // prefix
    bool logged;
  } cases[] = {
      {"soap fault", {"GetItem", HttpFault::Reply, 500, "Internal Server Error", "<s:Envelope><s:Body><s:Fault/></s:Body></s:Envelope>"},
       "500", "500 Internal Server Error\r\n", true},
      {"empty status text", {"GetItem", HttpFault::Reply, 503, "", ""}, "503", "503 Unknown Error\r\n", true},
      {"not xml", {"GetItem", HttpFault::Reply, 200, "OK", "<<<garbage"}, "500", "Invalid XML Parser error", false},
      {"dropped", {"GetItem", HttpFault::Drop}, "500", "", false},
  };
  for (const Case& c : cases) {
    FakeEws ews({.tls = true, .auth = HttpAuth::Basic});
    ews.AddMessage("Subject: x\r\n\r\nbody\r\n");
    ews.http().AddFault(c.fault);
    CMailClient s;
    CMailServer settings = Settings(ExchangeEws, ews.Url());
    ASSERT_EQ(s.Connect(&settings), 0) << s.LastError;
    ASSERT_EQ(s.GetMailList(), 0) << s.LastError;
    std::string content;
    EXPECT_FALSE(s.RetrieveMail(&s.Messages[0], content)) << c.name;
    EXPECT_EQ(s.LastResponse, c.response) << c.name;
    EXPECT_EQ(s.LastError.rfind(c.error, 0), 0u) << c.name << ": " << s.LastError;
    EXPECT_FALSE(s.LastError.empty()) << c.name;
    EXPECT_EQ(s.Transcript.find(c.error) != std::string::npos, c.logged || !*c.error) << c.name;
  }
}

TEST_F(EwsSession, RefusedLoginAndEmptyDeleteReply) {
  FakeEws ews({.auth = HttpAuth::Basic});
  ews.AddMessage("x");
  CMailClient s;
  CMailServer wrong = Settings(ExchangeEws, ews.Url(), false, "alice", "wrong");
  EXPECT_NE(s.Connect(&wrong), 0);
  EXPECT_EQ(s.LastResponse, "401");
  EXPECT_EQ(s.LastError, "401 Unauthorized\r\n");
  EXPECT_NE(s.Transcript.find("Post Data to Exchange Web Service ...\r\n"), std::string::npos);
  EXPECT_TRUE(s.Transcript.ends_with("401 Unauthorized\r\n"));
  EXPECT_EQ(s.Transcript.find("wrong"), std::string::npos);

  CMailServer right = Settings(ExchangeEws, ews.Url());
  ASSERT_EQ(s.Connect(&right), 0) << s.LastError;
  ASSERT_EQ(s.GetMailList(), 0);
  ews.http().AddFault({"DeleteItem", HttpFault::Reply, 204, "No Content", ""});
  EXPECT_EQ(s.DeleteMail(&s.Messages[0]), 0) << s.LastError;  // no code: success
}

TEST_F(EwsSession, SilentServerEndsInTheStallTimeout) {
  FakeEws ews;
  ews.AddMessage("x");
  ews.http().AddFault({"FindItem", HttpFault::Silence});
  CMailClient s;
  s.Timeout = 1;
  CMailServer settings = Settings(ExchangeEws, ews.Url());
  ASSERT_EQ(s.Connect(&settings), 0) << s.LastError;
  auto start = std::chrono::steady_clock::now();
  EXPECT_NE(s.GetMailList(), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(8));
  EXPECT_EQ(s.LastResponse, "10060");
  EXPECT_EQ(s.LastError, std::string(kExchangeTimeoutText));
}

TEST_F(EwsSession, ReplyCapAndRefusedConnection) {
  FakeEws ews;
  ews.AddMessage(std::string(5000, 'y'));
  CMailClient s;
  CMailServer settings = Settings(ExchangeEws, ews.Url());
  ASSERT_EQ(s.Connect(&settings), 0) << s.LastError;
  ASSERT_EQ(s.GetMailList(), 0);
  auto* exchange = dynamic_cast<ExchangeProtocol*>(s.Protocol());
  ASSERT_NE(exchange, nullptr);
  exchange->Link().maxDownloadBytes = 4096;
  std::string content;
  EXPECT_FALSE(s.RetrieveMail(&s.Messages[0], content));
  EXPECT_EQ(s.LastResponse, "500");
  EXPECT_NE(s.LastError.find("larger than 4096"), std::string::npos) << s.LastError;

  const int port = ews.http().port();
  ews.http().Stop();
  CMailClient t;
  CMailServer gone = Settings(ExchangeEws, "http://127.0.0.1:" + std::to_string(port) + "/ews/exchange.asmx");
  EXPECT_NE(t.Connect(&gone), 0);
  EXPECT_EQ(t.LastResponse, "500");
  EXPECT_FALSE(t.LastError.empty());
}

TEST_F(EwsSession, PreparationAddsBearerHeaders) {
  FakeEws ews({.auth = HttpAuth::Bearer, .bearer = "tok.en", .anchor = "alice@example.com"});
  ews.AddMessage("Subject: t\r\n\r\nb\r\n");
  RegisterExchangeProtocols([](CMailClient& session, ExchangeHttp& link) {
    link.offerCredentials = false;
    link.headers = {{"Authorization", "Bearer tok.en"}, {"X-AnchorMailbox", session.ServerCopy->User}};
    return true;
  });
  CMailServer settings = Settings(ExchangeEws, ews.Url(), false, "alice@example.com");
  {
    CMailClient s;  // the fake serves one connection at a time
    EXPECT_EQ(s.Connect(&settings), 0) << s.LastError;
    EXPECT_EQ(s.GetMailList(), 0) << s.LastError;
    EXPECT_EQ(s.Transcript.find("tok.en"), std::string::npos);
  }
  RegisterExchangeProtocols();
  CMailClient t;
  EXPECT_NE(t.Connect(&settings), 0);
  EXPECT_EQ(t.LastResponse, "401");
}

}  // namespace
}  // namespace tarnwick
