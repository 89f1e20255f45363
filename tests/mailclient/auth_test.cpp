#include "mailclient/Auth.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "message/Encoding.h"

namespace tarnwick::auth {
namespace {

Bytes FromHex(std::string_view hex) {
  Bytes out;
  int half = -1;
  for (char c : hex) {
    int v = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
    if (v < 0) continue;
    if (half < 0) {
      half = v;
    } else {
      out.push_back(static_cast<std::uint8_t>(half * 16 + v));
      half = -1;
    }
  }
  return out;
}

std::span<const std::uint8_t> Span(std::string_view s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

TEST(AuthDigests, Md4MatchesRfc1320) {
  struct Case {
    const char* text;
    const char* digest;
  } cases[] = {
      {"", "31d6cfe0d16ae931b73c59d7e0c089c0"},
      {"a", "bde52cb31de33e46245e05fbdbd6fb24"},
      {"abc", "a448017aaf21d8525fc10ae87aa6729d"},
      {"message digest", "d9130a8164549fe818874806e1c7014b"},
      {"abcdefghijklmnopqrstuvwxyz", "d79e1c308aa5bbcdeea8ed63df412da9"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "e33b4ddc9c38f2199c3e7b164fcc0536"},
  };
  for (const auto& c : cases) EXPECT_EQ(LowerHex(Md4(Span(c.text))), c.digest) << c.text;
}

TEST(AuthDigests, HmacMd5MatchesRfc2202IncludingLongKeys) {
  EXPECT_EQ(LowerHex(HmacMd5(std::string(16, '\x0b'), "Hi There")),
            "9294727a3638bb1c13f48ef8158bfc9d");
  EXPECT_EQ(LowerHex(HmacMd5("Jefe", "what do ya want for nothing?")),
            "750c783e6ab0b503eaa86e310a5db738");
  // An 80-byte key is hashed first.
  EXPECT_EQ(LowerHex(HmacMd5(std::string(80, '\xaa'),
                             "Test Using Larger Than Block-Size Key - Hash Key First")),
            "6b1ab7fe4bd7bf8f0b62e6ce61b9d0cd");
  EXPECT_EQ(LowerHex(HmacMd5("", "")), "74e6f7298a9c2d168935f58c001bad88");
}

TEST(AuthApop, DigestOfRfc1939Example) {
  auto d = ApopDigest("+OK POP3 server ready <1896.697170952@dbc.mtview.ca.us>\r\n", "tanstaaf");
  ASSERT_TRUE(d);
  EXPECT_EQ(*d, "c4c9334bac560ecc979e58001b3e22fb");
}

TEST(AuthApop, GreetingWithoutTimestampHasNoDigest) {
  EXPECT_FALSE(ApopDigest("+OK ready\r\n", "x"));
  EXPECT_FALSE(ApopDigest("+OK ready <unterminated\r\n", "x"));
  EXPECT_EQ(ApopTimestamp("+OK a <b> <c>"), "<b>");
}

TEST(AuthCramMd5, ResponseOfRfc2195Example) {
  std::string challenge = "<1896.697170952@postoffice.reston.mci.net>";
  std::string line = CramMd5Response("tim", "tanstaaftanstaaf", Span(challenge));
  EXPECT_EQ(line, "dGltIGI5MTNhNjAyYzdlZGE3YTQ5NWI0ZTZlNzMzNGQzODkw");
  auto decoded = Base64Decode(line);
  EXPECT_EQ(std::string(decoded.begin(), decoded.end()), "tim b913a602c7eda7a495b4e6e7334d3890");
}

TEST(AuthNtlm, UserNameSplitRules) {
  struct Case {
    const char* name;
    const char* user;
    const char* domain;
  } cases[] = {
      {"CORP\\alice", "alice", "CORP"},
      {"alice@CORP", "alice", "CORP"},
      {"CORP/alice", "alice", "CORP"},
      {"CORP/alice@example.com", "alice@example.com", "CORP"},
      {"a@b\\c", "c", "a@b"},  // a backslash anywhere wins over "@"
      {"alice", "alice", ""},
      {"x@y@z", "x", "y@z"},
      {"", "", ""},
  };
  for (const auto& c : cases) {
    NtlmIdentity id = SplitNtlmUser(c.name, "pw");
    EXPECT_EQ(id.user, c.user) << c.name;
    EXPECT_EQ(id.domain, c.domain) << c.name;
    EXPECT_EQ(id.password, "pw");
  }
}

TEST(AuthNtlm, Utf16LeOfUtf8AndStrayBytes) {
  EXPECT_EQ(Utf16Le("A\xc3\xa9"), (Bytes{'A', 0, 0xe9, 0}));
  EXPECT_EQ(Utf16Le("\xf0\x9f\x98\x80"), (Bytes{0x3d, 0xd8, 0x00, 0xde}));
  // Invalid UTF-8: each stray byte stands for itself.
  EXPECT_EQ(Utf16Le("\xe9x"), (Bytes{0xe9, 0, 'x', 0}));
  EXPECT_EQ(Utf16Le("\xe2\x82"), (Bytes{0xe2, 0, 0x82, 0}));
}

// The NTLMv2 example of the protocol's own documentation: user "User",
// domain "Domain", password "Password", server challenge 0123456789abcdef,
// client challenge aa..aa, time 0, workstation "COMPUTER".
const char* kDocChallenge =
    "4e544c4d53535000020000000c000c003800000033828ae20123456789abcdef0000000000000000"
    "2400240044000000060070170000000f530065007200760065007200"
    "02000c0044006f006d00610069006e0001000c0053006500720076006500720000000000";

TEST(AuthNtlm, DocumentedNtlmV2Example) {
  NtlmChallenge ch;
  std::string error;
  ASSERT_TRUE(ParseNtlmChallenge(FromHex(kDocChallenge), ch, error)) << error;
  EXPECT_EQ(ch.flags, 0xe28a8233u);
  EXPECT_EQ(ch.serverChallenge[0], 0x01);
  EXPECT_EQ(ch.targetInfo.size(), 36u);

  Digest16 hash = NtlmV2Hash("User", "Domain", "Password");
  EXPECT_EQ(LowerHex(hash), "0c868a403bfd7a93a3001ef22ef02e3f");

  std::array<std::uint8_t, 8> client;
  client.fill(0xaa);
  Bytes blob = NtlmV2Blob(0, client, ch.targetInfo);
  EXPECT_EQ(blob, FromHex("0101000000000000 0000000000000000 aaaaaaaaaaaaaaaa 00000000"
                          "02000c0044006f006d00610069006e00 01000c0053006500720076006500720000000000"
                          "00000000"));
  Digest16 proof = NtlmV2Proof(hash, ch.serverChallenge, blob);
  EXPECT_EQ(LowerHex(proof), "68cd0ab851e51c96aabc927bebef6a1c");
  // Session base key, for completeness of the arithmetic.
  EXPECT_EQ(LowerHex(HmacMd5(hash, proof)), "8de40ccadbc14a82f15cb0ad0de95ca3");

  Bytes token = NtlmAuthenticate(ch, SplitNtlmUser("Domain\\User", "Password"), "COMPUTER",
                                 client, 0);
  NtlmAuthenticateFields f;
  ASSERT_TRUE(ParseNtlmAuthenticate(token, f, error)) << error;
  EXPECT_EQ(LowerHex(f.lmResponse), "86c35097ac9cec102554764a57cccc19aaaaaaaaaaaaaaaa");
  ASSERT_EQ(f.ntResponse.size(), 16 + blob.size());
  EXPECT_EQ(Bytes(f.ntResponse.begin(), f.ntResponse.begin() + 16), Bytes(proof.begin(), proof.end()));
  EXPECT_EQ(Bytes(f.ntResponse.begin() + 16, f.ntResponse.end()), blob);
  EXPECT_EQ(f.user, Utf16Le("User"));
  EXPECT_EQ(f.domain, Utf16Le("Domain"));
  EXPECT_EQ(f.workstation, Utf16Le("COMPUTER"));
  EXPECT_TRUE(f.flags & ntlm::kUnicode);
  EXPECT_FALSE(f.flags & ntlm::kOem);
}

TEST(AuthNtlm, UserNameIsUpperCasedInEveryScript) {
  // Computed apart from this code with Python 3: its hmac and hashlib.md5,
  // an MD4 written out from RFC 1320 (checked against the RFC's vectors
  // and against the documented "User"/"Domain"/"Password" hash above), and
  // str.upper() for the user name:
  //   hmac.new(md4("Пароль1".encode("utf-16-le")),
  //            ("Дмитрий-σοφία".upper() + "Домен").encode("utf-16-le"),
  //            hashlib.md5).hexdigest()
  // Дмитрий-σοφία, Домен, Пароль1
  const std::string user =
      "\xd0\x94\xd0\xbc\xd0\xb8\xd1\x82\xd1\x80\xd0\xb8\xd0\xb9-"
      "\xcf\x83\xce\xbf\xcf\x86\xce\xaf\xce\xb1";
  const std::string domain = "\xd0\x94\xd0\xbe\xd0\xbc\xd0\xb5\xd0\xbd";
  const std::string password =
      std::string("\xd0\x9f\xd0\xb0\xd1\x80\xd0\xbe\xd0\xbb\xd1\x8c") + "1";
  EXPECT_EQ(LowerHex(NtlmV2Hash(user, domain, password)), "7094cf0f13d0c2675f30214805c16c08");
  // The same name written in capitals gives the same hash.
  // ДМИТРИЙ-ΣΟΦΊΑ
  const std::string upper =
      "\xd0\x94\xd0\x9c\xd0\x98\xd0\xa2\xd0\xa0\xd0\x98\xd0\x99-"
      "\xce\xa3\xce\x9f\xce\xa6\xce\x8a\xce\x91";
  EXPECT_EQ(NtlmV2Hash(upper, domain, password), NtlmV2Hash(user, domain, password));
}

TEST(AuthNtlm, ServerTimeIsUsedAndLmResponseZeroed) {
  Bytes ch = FromHex("4e544c4d5353500002000000000000003800000005028a000123456789abcdef"
                     "00000000000000001000100030000000");
  // Target info: timestamp pair (id 7, 8 bytes) and end of list.
  Bytes info = FromHex("0700080001020304050607080000 0000");
  ch.insert(ch.end(), info.begin(), info.end());
  NtlmChallenge c;
  std::string error;
  ASSERT_TRUE(ParseNtlmChallenge(ch, c, error)) << error;
  ASSERT_TRUE(NtlmTargetTime(c.targetInfo));
  EXPECT_EQ(*NtlmTargetTime(c.targetInfo), 0x0807060504030201ull);
  std::array<std::uint8_t, 8> client{};
  Bytes token = NtlmAuthenticate(c, SplitNtlmUser("u", "p"), "WS", client, 42);
  NtlmAuthenticateFields f;
  ASSERT_TRUE(ParseNtlmAuthenticate(token, f, error));
  EXPECT_EQ(f.lmResponse, Bytes(24, 0));
  // The blob carries the server's time, not ours.
  EXPECT_EQ(f.ntResponse[16 + 8], 0x01);
  EXPECT_EQ(f.ntResponse[16 + 15], 0x08);
}

TEST(AuthNtlm, MalformedChallengesAreRefused) {
  std::string error;
  NtlmChallenge c;
  Bytes good = FromHex(kDocChallenge);
  EXPECT_FALSE(ParseNtlmChallenge(Bytes(), c, error));
  EXPECT_FALSE(ParseNtlmChallenge(Bytes(good.begin(), good.begin() + 31), c, error));
  Bytes type3 = good;
  type3[8] = 3;
  EXPECT_FALSE(ParseNtlmChallenge(type3, c, error));
  Bytes badOffset = good;
  badOffset[44] = 0xff;  // target info offset beyond the end
  EXPECT_FALSE(ParseNtlmChallenge(badOffset, c, error));
  Bytes badPair = good;
  badPair[0x44 + 2] = 0x40;  // first pair longer than the target info
  EXPECT_FALSE(ParseNtlmChallenge(badPair, c, error));
  // Every prefix and every single-byte corruption is handled without harm.
  for (std::size_t n = 0; n <= good.size(); ++n)
    ParseNtlmChallenge(Bytes(good.begin(), good.begin() + n), c, error);
  for (std::size_t i = 0; i < good.size(); ++i) {
    Bytes b = good;
    b[i] ^= 0xff;
    if (ParseNtlmChallenge(b, c, error)) NtlmAuthenticate(c, SplitNtlmUser("u", "p"), "W");
  }
}

TEST(AuthNtlm, NegotiateMessageShape) {
  Bytes m = NtlmNegotiate();
  ASSERT_EQ(m.size(), 32u);
  EXPECT_EQ(std::string(m.begin(), m.begin() + 8), std::string("NTLMSSP\0", 8));
  EXPECT_EQ(m[8], 1);
  EXPECT_EQ(m[12] | (m[13] << 8) | (m[14] << 16) | (m[15] << 24),
            static_cast<int>(ntlm::kClientFlags));
}

}  // namespace
}  // namespace tarnwick::auth
