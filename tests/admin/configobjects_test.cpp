// ConfigItem and ConfigCollection: defaults, put rules, lookups and the
// configuration text in both directions.
#include "admin/ConfigCollection.h"
#include "admin/ConfigItem.h"
#include "oauth/TokenClient.h"

#include <gtest/gtest.h>

namespace tarnwick {
namespace {

std::string Name(IConfigItem& item) {
  std::string n;
  item.get_Name(&n);
  return n;
}

std::string Raw(ConfigCollection& c) {
  std::string text;
  c.get_RawContent(&text);
  return text;
}

RefPtr<ConfigCollection> Loaded(const std::string& text) {
  RefPtr<ConfigCollection> c = ConfigCollection::Create();
  c->put_RawContent(text);
  return c;
}

RefPtr<IConfigItem> At(ConfigCollection& c, const Variant& index) {
  IConfigItem* found = nullptr;
  c.Item(index, &found);
  return RefPtr<IConfigItem>::Adopt(found);
}

TEST(ConfigItem, NewItemDefaults) {
  RefPtr<ConfigItem> item = ConfigItem::Create();
  std::optional<Guid> g = Guid::Parse(Name(*item));
  ASSERT_TRUE(g) << Name(*item);
  EXPECT_EQ(g->ToString(), Name(*item));  // registry form, upper-case hex
  int32_t v = 0;
  item->get_Port(&v);
  EXPECT_EQ(v, 110);
  item->get_DownloadInterval(&v);
  EXPECT_EQ(v, 15);
  item->get_IsUpdated(&v);
  EXPECT_EQ(v, 0);
  VARIANT_BOOL b = 0;
  item->get_Active(&b);
  EXPECT_EQ(b, VARIANT_TRUE);
  EXPECT_NE(Name(*ConfigItem::Create()), Name(*item));
}

TEST(ConfigItem, PutRules) {
  struct Case {
    const char* property;
    Variant put;
    int32_t stored;
  };
  const Case cases[] = {
      {"Protocol", Variant::I4(4), 0},        {"Protocol", Variant::I4(3), 3},
      {"SSLType", Variant::I4(-1), 0},        {"AuthType", Variant::I4(2), 2},
      {"AuthType", Variant::I4(3), 0},        {"LeaveCopy", Variant::I4(7), 1},
      {"LeaveCopy", Variant::I4(-7), 0},      {"Port", Variant::I4(-1), -1},
      {"DownloadInterval", Variant::I4(-1), 15}, {"DownloadInterval", Variant::I4(0), 0},
      {"DistributeType", Variant::I4(-3), 1}, {"StartTime", Variant::I4(-9), -9},
      {"Port", Variant::R8(995.9), 995},      {"Port", Variant::UI2(143), 143},
  };
  for (const Case& c : cases) {
    RefPtr<ConfigItem> item = ConfigItem::Create();
    int32_t id = 0;
    ASSERT_EQ(item->GetIDsOfNames(c.property, id), S_OK);
    Variant arg[] = {c.put};
    ASSERT_EQ(item->Invoke(id, kDispatchPropertyPut, arg, nullptr), S_OK) << c.property;
    Variant got;
    ASSERT_EQ(item->Invoke(id, kDispatchPropertyGet, {}, &got), S_OK);
    EXPECT_EQ(got.AsInt64(), c.stored) << c.property;
    int32_t updated = 0;
    item->get_IsUpdated(&updated);
    EXPECT_EQ(updated, std::string(c.property) == "StartTime" ? 0 : 1) << c.property;
  }
  // Booleans are true only for VARIANT_TRUE.
  RefPtr<ConfigItem> item = ConfigItem::Create();
  VARIANT_BOOL b = 0;
  item->put_SSLConnection(1);
  item->get_SSLConnection(&b);
  EXPECT_EQ(b, VARIANT_FALSE);
  item->put_Active(VARIANT_TRUE);
  item->get_Active(&b);
  EXPECT_EQ(b, VARIANT_TRUE);
  // IsUpdated takes any value and is not itself a change.
  item->put_IsUpdated(-5);
  int32_t v = 0;
  item->get_IsUpdated(&v);
  EXPECT_EQ(v, -5);
}

TEST(ConfigItem, NameIsTrimmedAndBlankLeavesItAlone) {
  RefPtr<ConfigItem> item = ConfigItem::Create();
  item->put_Name("  bob outside \t\r\n");
  EXPECT_EQ(Name(*item), "bob outside");
  item->put_Name(" \t \t");
  EXPECT_EQ(Name(*item), "bob outside");
}

TEST(ConfigItem, LineBreaksAndNulAreRefused) {
  RefPtr<ConfigItem> item = ConfigItem::Create();
  item->put_Password("old");
  for (std::string bad : {std::string("pw\r\nEND:acct"), std::string("pw\n"), std::string("p\rw"), std::string("p\0w", 3)}) {
    EXPECT_EQ(item->put_Password(bad), E_INVALIDARG);
    EXPECT_EQ(item->put_Server(bad), E_INVALIDARG);
    EXPECT_FALSE(item->SetKept("SocksProxyPassword", bad));
  }
  EXPECT_EQ(item->put_Name("a\r\nBEGIN:b"), E_INVALIDARG);
  std::string pw;
  item->get_Password(&pw);
  EXPECT_EQ(pw, "old");
}

TEST(ConfigCollection, ItemByPositionAndExactName) {
  RefPtr<ConfigCollection> c = Loaded(
      "BEGIN:mailpull\r\nBEGIN:b\r\nEND:b\r\nBEGIN:A\r\nEND:A\r\nBEGIN:c\r\nEND:c\r\nEND:mailpull\r\n");
  int32_t n = 0;
  c->get_Count(&n);
  ASSERT_EQ(n, 3);
  // Sorted without regard to case.
  EXPECT_EQ(Name(*At(*c, Variant::I4(0))), "A");
  EXPECT_EQ(Name(*At(*c, Variant::R8(1.9))), "b");
  EXPECT_EQ(Name(*At(*c, Variant::R4(-0.5f))), "A");  // truncated toward zero
  EXPECT_EQ(Name(*At(*c, Variant::UI8((uint64_t{1} << 32) | 2))), "c");  // low 32 bits
  EXPECT_EQ(Name(*At(*c, Variant::I2(2))), "c");
  EXPECT_FALSE(At(*c, Variant::I4(3)));
  EXPECT_FALSE(At(*c, Variant::I4(-1)));
  EXPECT_FALSE(At(*c, Variant::R8(1e300)));
  EXPECT_FALSE(At(*c, Variant::Bool(true)));
  EXPECT_EQ(Name(*At(*c, Variant::Bstr("b"))), "b");
  EXPECT_FALSE(At(*c, Variant::Bstr("B")));
  EXPECT_FALSE(At(*c, Variant()));
}

TEST(ConfigCollection, SharedItemsAddAndRemove) {
  RefPtr<ConfigCollection> c = ConfigCollection::Create();
  RefPtr<ConfigItem> a = ConfigItem::Create();
  a->put_Name("a");
  int32_t r = 5;
  c->Add(a.get(), &r);
  EXPECT_EQ(r, 0);
  c->Add(nullptr, &r);
  EXPECT_EQ(r, -1);
  c->Add(a.get(), &r);  // duplicates allowed
  RefPtr<IConfigItem> held = At(*c, Variant::I4(0));
  c->Remove("A");  // case counts
  int32_t n = 0;
  c->get_Count(&n);
  EXPECT_EQ(n, 2);
  c->RemoveAt(5);
  c->Remove("a");
  c->RemoveAt(0);
  c->get_Count(&n);
  EXPECT_EQ(n, 0);
  held->put_Server("still alive");  // an item outlives its removal
  std::string s;
  a->get_Server(&s);
  EXPECT_EQ(s, "still alive");
}

TEST(ConfigCollection, RawContentWritesTheDescribedLines) {
  RefPtr<ConfigCollection> c = ConfigCollection::Create();
  RefPtr<ConfigItem> a = ConfigItem::Create();
  a->put_Name("acct");
  a->put_Server("pop.example.net");
  a->put_User("bob");
  a->put_Password("pw");
  a->put_RunCommand("/bin/true");
  int32_t r = 0;
  c->Add(a.get(), &r);
  EXPECT_EQ(Raw(*c),
            "BEGIN:mailpull\r\nLogLevel:1\r\nMaxThread:20\r\nBEGIN:acct\r\nServer:pop.example.net\r\nPort:110\r\n"
            "Protocol:0\r\nSSLConnection:0\r\nActive:1\r\nSSLType:0\r\nUser:bob\r\nPassword:pw\r\nLocalUser:\r\n"
            "LocalDomain:\r\nAuthType:0\r\nDistributeType:0\r\nLeaveCopy:0\r\nIMAP4Folder:INBOX\r\nLocalFolder:\r\n"
            "DownloadInterval:15\r\nStartTime:0\r\nUpdate:1\r\nStartProcess:/bin/true\r\nEND:acct\r\nEND:mailpull\r\n");
}

TEST(ConfigCollection, GlobalsAreReadWithoutLimitsAndUpdateIsReadLast) {
  RefPtr<ConfigCollection> c = Loaded(
      "BEGIN:mailpull\r\nMaxThread:300\r\nLogLevel:7\r\n"
      "BEGIN:with\r\nUpdate:0\r\nServer:x\r\nEND:with\r\nBEGIN:without\r\nServer:y\r\nEND:without\r\nEND:mailpull\r\n");
  int32_t v = 0;
  c->get_MaxThreads(&v);
  EXPECT_EQ(v, 300);
  c->get_LogLevel(&v);
  EXPECT_EQ(v, 7);
  At(*c, Variant::Bstr("with"))->get_IsUpdated(&v);
  EXPECT_EQ(v, 0);
  At(*c, Variant::Bstr("without"))->get_IsUpdated(&v);
  EXPECT_EQ(v, 1);
  c->put_MaxThreads(4);
  c->get_MaxThreads(&v);
  EXPECT_EQ(v, 20);
  c->put_MaxThreads(128);
  c->get_MaxThreads(&v);
  EXPECT_EQ(v, 128);
  c->put_LogLevel(3);
  c->get_LogLevel(&v);
  EXPECT_EQ(v, 1);
  // Text that does not parse empties the collection and keeps the globals.
  c->put_RawContent("not configuration");
  c->get_Count(&v);
  EXPECT_EQ(v, 0);
  c->get_MaxThreads(&v);
  EXPECT_EQ(v, 128);
}

// Keys no property holds survive load -> save -> load, and so does the
// remote folder; an item without one gets INBOX.
TEST(ConfigCollection, KeptKeysSurviveARoundTrip) {
  const std::string text =
      "BEGIN:mailpull\r\nMaxThread:20\r\nLogLevel:1\r\nFutureGlobal:yes\r\n"
      "BEGIN:proxied\r\nServer:imap.example.net\r\nProtocol:1\r\nIMAP4Folder:Archive/2024\r\n"
      "ProxyProtocol:0\r\nSocksProxyServer:127.0.0.1\r\nSocksProxyPort:1081\r\nSocksProxyUser:pu\r\n"
      "SocksProxyPassword:pp\r\nLogFileName:proxied.log\r\nOAuth2ClientSecret:s3\r\nUpdate:0\r\n"
      "BEGIN:extra\r\nInner:1\r\nEND:extra\r\nEND:proxied\r\n"
      "BEGIN:plain\r\nServer:pop.example.net\r\nEND:plain\r\nEND:mailpull\r\n";
  RefPtr<ConfigCollection> first = Loaded(text);
  const std::string saved = Raw(*first);
  RefPtr<ConfigCollection> second = Loaded(saved);
  EXPECT_EQ(Raw(*second), saved);

  std::optional<ConfigBlock> block = ParseConfig(saved);
  ASSERT_TRUE(block);
  const ConfigBlock* proxied = block->Child("proxied");
  ASSERT_TRUE(proxied);
  for (auto [key, value] : {std::pair{"IMAP4Folder", "Archive/2024"}, {"ProxyProtocol", "0"},
                            {"SocksProxyServer", "127.0.0.1"}, {"SocksProxyPort", "1081"},
                            {"SocksProxyUser", "pu"}, {"SocksProxyPassword", "pp"},
                            {"LogFileName", "proxied.log"}, {"OAuth2ClientSecret", "s3"}}) {
    ASSERT_TRUE(proxied->Entry(key)) << key;
    EXPECT_EQ(proxied->Entry(key)->value, value) << key;
  }
  ASSERT_TRUE(proxied->Child("extra"));
  EXPECT_EQ(proxied->entries.back().key, "OAuth2ClientSecret");  // kept keys after the described lines
  EXPECT_EQ(block->Child("plain")->Entry("IMAP4Folder")->value, "INBOX");
  ASSERT_TRUE(block->Entry("FutureGlobal"));
}

// Every OAuth2 key comes back from load, save, load as the engine reads it.
TEST(ConfigCollection, OAuth2KeysSurviveARoundTrip) {
  const std::pair<const char*, const char*> keys[] = {
      {"OAuth2TokenUrl", "https://idp.example/t/token"}, {"OAuth2Grant", "device_code"},
      {"OAuth2ClientId", "app-1"}, {"OAuth2ClientSecret", "s3"}, {"OAuth2Scope", "offline_access mail.read"},
      {"OAuth2KeyFile", "/etc/tarnwick/app.key"}, {"OAuth2CertificateFile", "/etc/tarnwick/app.pem"},
      {"OAuth2DeviceUrl", "https://idp.example/t/device"}, {"OAuth2Mechanism", "OAUTHBEARER"},
      {"OAuth2CaFile", "/etc/tarnwick/ca.pem"}, {"OAuth2RefreshToken", "rt.1-x"}};
  std::string text = "BEGIN:mailpull\r\nBEGIN:box\r\nServer:ews.example\r\nProtocol:2\r\n";
  for (auto [k, v] : keys) text += std::string(k) + ":" + v + "\r\n";
  text += "END:box\r\nEND:mailpull\r\n";

  const std::string saved = Raw(*Loaded(Raw(*Loaded(text))));
  std::optional<ConfigBlock> block = ParseConfig(saved);
  ASSERT_TRUE(block && block->Child("box")) << saved;
  for (auto [k, v] : keys) {
    ASSERT_TRUE(block->Child("box")->Entry(k)) << k;
    EXPECT_EQ(block->Child("box")->Entry(k)->value, v) << k;
  }
  const oauth::Settings s = oauth::SettingsFromBlock(*block->Child("box"));
  EXPECT_EQ(s.grant, oauth::Grant::DeviceCode);
  EXPECT_EQ(s.refreshToken, "rt.1-x");
  EXPECT_EQ(s.certificateFile, "/etc/tarnwick/app.pem");
}

// Whatever a value holds, the text read back has exactly the same accounts.
TEST(ConfigCollection, LineBreaksNeverCreateABlock) {
  // A continued value arrives from the engine's configuration text.
  RefPtr<ConfigCollection> c = Loaded(
      "BEGIN:mailpull\r\nBEGIN:a\r\nPassword:one\r\n\tEND:a\r\n\tBEGIN:evil\r\nUser:u\r\n  BEGIN:x\r\nEND:a\r\nEND:mailpull\r\n");
  RefPtr<IConfigItem> a = At(*c, Variant::Bstr("a"));
  ASSERT_TRUE(a);
  EXPECT_EQ(a->put_User("x\r\nEND:a\r\nBEGIN:injected"), E_INVALIDARG);
  const std::string saved = Raw(*c);
  RefPtr<ConfigCollection> again = Loaded(saved);
  int32_t n = 0;
  again->get_Count(&n);
  EXPECT_EQ(n, 1);
  std::string pw, user;
  At(*again, Variant::I4(0))->get_Password(&pw);
  At(*again, Variant::I4(0))->get_User(&user);
  EXPECT_EQ(pw, "one\r\n\tEND:a\r\n\tBEGIN:evil");
  EXPECT_EQ(Raw(*again), saved);
}

TEST(ConfigObjects, InvokeRefusesWrongArgumentsCleanly) {
  RefPtr<ConfigItem> item = ConfigItem::Create();
  RefPtr<ConfigCollection> c = ConfigCollection::Create();
  Variant text[] = {Variant::Bstr("x")};
  Variant number[] = {Variant::I4(1)};
  Variant none[] = {Variant()};
  Variant two[] = {Variant::I4(1), Variant::I4(2)};
  Variant result;
  // Every property of the item, by dispid: a get works, a put of the wrong type is refused.
  for (int32_t id = 1; id <= 19; ++id) {
    EXPECT_EQ(item->Invoke(id, kDispatchPropertyGet, {}, &result), S_OK) << id;
    const bool isText = result.type() == VT_BSTR;
    EXPECT_EQ(item->Invoke(id, kDispatchPropertyPut, isText ? number : text, nullptr), DISP_E_TYPEMISMATCH) << id;
    EXPECT_EQ(item->Invoke(id, kDispatchPropertyPut, two, nullptr), DISP_E_BADPARAMCOUNT) << id;
  }
  EXPECT_EQ(item->Invoke(20, kDispatchPropertyGet, {}, &result), DISP_E_MEMBERNOTFOUND);
  EXPECT_EQ(item->Invoke(0, kDispatchPropertyGet, {}, &result), DISP_E_MEMBERNOTFOUND);
  Variant huge[] = {Variant::I8(int64_t{1} << 40)};
  EXPECT_EQ(item->Invoke(8, kDispatchPropertyPut, huge, nullptr), DISP_E_OVERFLOW);

  int32_t id = 0;
  EXPECT_EQ(c->GetIDsOfNames("rawcontent", id), S_OK);
  EXPECT_EQ(id, 5);
  EXPECT_EQ(c->GetIDsOfNames("Nope", id), DISP_E_UNKNOWNNAME);
  EXPECT_EQ(c->Invoke(1, kDispatchPropertyGet, {}, &result), S_OK);
  EXPECT_EQ(c->Invoke(2, kDispatchMethod, {}, &result), DISP_E_BADPARAMCOUNT);
  EXPECT_EQ(c->Invoke(3, kDispatchMethod, text, &result), DISP_E_TYPEMISMATCH);
  Variant coll[] = {Variant::Dispatch(c.get())};  // a collection is not an item
  EXPECT_EQ(c->Invoke(3, kDispatchMethod, coll, &result), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(c->Invoke(3, kDispatchMethod, none, &result), S_OK);
  EXPECT_EQ(result.AsInt64(), -1);
  Variant it[] = {Variant::Dispatch(item.get())};
  EXPECT_EQ(c->Invoke(3, kDispatchMethod, it, &result), S_OK);
  EXPECT_EQ(result.AsInt64(), 0);
  EXPECT_EQ(c->Invoke(2, kDispatchMethod, number, &result), S_OK);
  EXPECT_EQ(result.type(), VT_DISPATCH);
  EXPECT_EQ(result.AsDispatch(), nullptr);
  EXPECT_EQ(c->Invoke(4, kDispatchMethod, text, nullptr), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(c->Invoke(5, kDispatchPropertyPut, number, nullptr), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(c->Invoke(6, kDispatchPropertyPut, text, nullptr), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(c->Invoke(7, kDispatchPropertyPut, text, nullptr), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(c->Invoke(8, kDispatchMethod, number, nullptr), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(c->Invoke(9, kDispatchMethod, {}, nullptr), DISP_E_MEMBERNOTFOUND);
  EXPECT_EQ(c->Invoke(8, kDispatchMethod, text, nullptr), S_OK);
}

}  // namespace
}  // namespace tarnwick
