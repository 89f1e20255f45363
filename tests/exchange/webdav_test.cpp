// The WebDAV client: request texts, the multistatus reading, and sessions
// against the fake WebDAV server.
#include "exchange/WebDav.h"

#include "exchange/ExchangeProtocols.h"
#include "tests/support/FakeExchange.h"

#include <gtest/gtest.h>

namespace tarnwick {
namespace {

using test::FakeWebDav;
using test::HttpAuth;
using test::HttpFault;

TEST(WebDavRequests, ByteForByte) {
  const std::string head = "<?xml version=\"1.0\"?><D:searchrequest xmlns:D=\"DAV:\"><D:sql>";
  EXPECT_EQ(WebDavFolderSearchRequest("http://h/exchange/alice"),
            head + "SELECT \"urn:schemas:httpmail:inbox\", \"DAV:href\", \"DAV:displayname\", \"DAV:hassubs\" "
                   "FROM SCOPE('hierarchical traversal of \"http://h/exchange/alice\"') "
                   "WHERE \"DAV:contentclass\" = 'urn:content-classes:mailfolder' OR  \"DAV:contentclass\" = "
                   "'urn:content-classes:folder'</D:sql></D:searchrequest>");
  EXPECT_EQ(WebDavItemSearchRequest("http://h/exchange/alice/Inbox"),
            head + "SELECT  \"DAV:href\", \"DAV:displayname\", \"urn:schemas:httpmail:read\", "
                   "\"http://schemas.microsoft.com/mapi/proptag/x0e080003\" FROM \"http://h/exchange/alice/Inbox\" "
                   "WHERE \"DAV:ishidden\" = false AND \"DAV:isfolder\" = false </D:sql></D:searchrequest>");
  // Markup characters of a name cannot break out of the request.
  EXPECT_NE(WebDavItemSearchRequest("a&b<c").find("FROM \"a&amp;b&lt;c\""), std::string::npos);
}

std::string Multistatus(const std::string& responses) {
  return "<?xml version=\"1.0\"?><a:multistatus xmlns:a=\"DAV:\" xmlns:d=\"urn:schemas:httpmail:\" "
         "xmlns:e=\"http://schemas.microsoft.com/mapi/proptag/\">" + responses + "</a:multistatus>";
}

std::string ItemResponse(const std::string& href, const std::string& size, bool read = true) {
  return "<a:response><a:href>" + href + "</a:href><a:propstat><a:prop><a:href>" + href + "</a:href>" +
         (read ? "<d:read>1</d:read>" : "") + "<e:x0e080003>" + size + "</e:x0e080003></a:prop></a:propstat></a:response>";
}

TEST(WebDavReplies, Items) {
  CMailClient s;
  ASSERT_TRUE(WebDavReadItems(s, Multistatus(ItemResponse("http://h/1.EML", "2048") + ItemResponse("http://h/2.EML", "x"))));
  ASSERT_EQ(s.Messages.size(), 2u);
  EXPECT_EQ(s.Messages[0].UIDL, "http://h/1.EML");
  EXPECT_EQ(s.Messages[0].ChangeKey, "http://h/1.EML");
  EXPECT_EQ(s.Messages[0].Size, 2867);
  EXPECT_EQ(s.Messages[1].Size, 0);
  EXPECT_EQ(s.Messages[1].Index, 2);

  CMailClient t;
  EXPECT_FALSE(WebDavReadItems(t, Multistatus(ItemResponse("http://h/1.EML", "1") + ItemResponse("http://h/2.EML", "1", false))));
  EXPECT_EQ(t.LastResponse, "500");
  EXPECT_EQ(t.LastError, "Invalid XML Parser error.");
  EXPECT_EQ(t.Messages.size(), 1u);

  // Not XML, or other prefixes: a search that found nothing.
  CMailClient u;
  EXPECT_TRUE(WebDavReadItems(u, "<html>"));
  EXPECT_TRUE(WebDavReadItems(u, "<D:multistatus xmlns:D=\"DAV:\"><D:response/></D:multistatus>"));
  EXPECT_TRUE(u.Messages.empty());
}

class WebDavSession : public ::testing::Test {
 protected:
  void SetUp() override { RegisterExchangeProtocols(); }
};

TEST_F(WebDavSession, InboxFoundWithAndWithoutTrailingSlash) {
  for (bool slash : {true, false}) {
    FakeWebDav dav({.tls = slash, .auth = HttpAuth::Ntlm});
    dav.SetInboxTrailingSlash(slash);
    std::string href = dav.AddMessage("Subject: a\r\n\r\nbody a\r\n");
    dav.AddMessage("Subject: b\r\n\r\nbody b\r\n");
    CMailClient s;
    s.FolderName = "Ignored";
    CMailServer settings;
    settings.Protocol = ExchangeWebDav;
    settings.Server = dav.ServerSetting();
    settings.User = "CORP\\alice";
    settings.Password = "s3cret pw";
    ASSERT_EQ(s.Connect(&settings), 0) << s.LastError << dav.http().Failures();
    EXPECT_EQ(s.FolderName, dav.InboxUrl());
    EXPECT_EQ(s.Folders.size(), 3u);
    ASSERT_EQ(s.GetMailList(), 0) << s.LastError;
    ASSERT_EQ(s.Messages.size(), 2u);
    EXPECT_EQ(s.Messages[0].UIDL, href);
    std::string content;
    ASSERT_TRUE(s.RetrieveMail(&s.Messages[0], content)) << s.LastError;
    EXPECT_EQ(content, "Subject: a\r\n\r\nbody a\r\n");
    ASSERT_EQ(s.DeleteMail(&s.Messages[1]), 0) << s.LastError;
    EXPECT_EQ(dav.Messages().size(), 1u);
    EXPECT_EQ(dav.http().ntlm_logins(), 1);

    std::vector<test::HttpIn> requests = dav.http().Requests();
    ASSERT_EQ(requests.size(), 4u);
    for (const test::HttpIn& r : requests) {
      ASSERT_NE(r.Header("Translate"), nullptr) << r.method;
      EXPECT_EQ(*r.Header("Translate"), "f");
    }
    EXPECT_EQ(requests[2].method, "GET");
    EXPECT_EQ(requests[2].Header("Content-Type"), nullptr);
    EXPECT_EQ(requests[2].body, "");
    EXPECT_EQ(requests[3].method, "DELETE");
    ASSERT_NE(requests[3].Header("Content-Type"), nullptr);
    EXPECT_EQ(*requests[3].Header("Content-Type"), "text/xml");
    EXPECT_EQ(*requests[0].Header("Content-Type"), "text/xml");
    EXPECT_EQ(requests[0].body, WebDavFolderSearchRequest(dav.MailboxUrl()));
    EXPECT_NE(s.Transcript.find("Post Data to Exchange WebDAV ...\r\n"), std::string::npos);
    EXPECT_NE(s.Transcript.find("[DATA Steam 22] Received\r\n"), std::string::npos) << s.Transcript;
  }
}

TEST_F(WebDavSession, NoInboxKeepsTheFolderSetting) {
  FakeWebDav dav({.auth = HttpAuth::Basic});
  dav.SetAnnounceInbox(false);
  dav.AddMessage("x");
  CMailClient s;
  CMailServer settings;
  settings.Protocol = ExchangeWebDav;
  settings.Server = dav.ServerSetting();
  settings.User = "alice";
  settings.Password = "s3cret pw";
  ASSERT_EQ(s.Connect(&settings), 0) << s.LastError;
  EXPECT_EQ(s.FolderName, "INBOX");
  EXPECT_NE(s.GetMailList(), 0);
  EXPECT_EQ(s.LastResponse, "404");
  EXPECT_EQ(s.LastError, "404 Resource Not Found\r\n");
  EXPECT_NE(dav.http().Requests().back().body.find("FROM \"INBOX\""), std::string::npos);
}

TEST_F(WebDavSession, FailingListingKeepsEarlierEntries) {
  FakeWebDav dav;
  dav.AddMessage("a");
  dav.Add({"broken.EML", "b", -1, false});
  CMailClient s;
  CMailServer settings;
  settings.Protocol = ExchangeWebDav;
  settings.Server = dav.ServerSetting();
  settings.User = "alice";
  ASSERT_EQ(s.Connect(&settings), 0) << s.LastError;
  EXPECT_NE(s.GetMailList(), 0);
  EXPECT_EQ(s.LastError, "Invalid XML Parser error.");
  EXPECT_EQ(s.Messages.size(), 1u);
  EXPECT_FALSE(s.Listed);
}

}  // namespace
}  // namespace tarnwick
