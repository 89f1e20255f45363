#include "mailclient/TlsChannel.h"

#include <gtest/gtest.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/Errors.h"
#include "platform/Socket.h"
#include "tests/support/Dovecot.h"
#include "tests/support/TestCert.h"

namespace tarnwick {
namespace {

// An in-process TLS server behind a transport: what the client writes goes
// straight into the server, what the server produces waits until the client
// reads it, so every test sees the exact segmentation it asks for.
class MemoryTlsServer final : public RawChannel {
 public:
  explicit MemoryTlsServer(int maxVersion = 0) {
    const auto& cert = test::SelfSignedCert();
    ctx_ = SSL_CTX_new(TLS_server_method());
    BIO* cb = BIO_new_mem_buf(cert.cert_pem.data(), static_cast<int>(cert.cert_pem.size()));
    BIO* kb = BIO_new_mem_buf(cert.key_pem.data(), static_cast<int>(cert.key_pem.size()));
    X509* x = PEM_read_bio_X509(cb, nullptr, nullptr, nullptr);
    EVP_PKEY* k = PEM_read_bio_PrivateKey(kb, nullptr, nullptr, nullptr);
    SSL_CTX_use_certificate(ctx_, x);
    SSL_CTX_use_PrivateKey(ctx_, k);
    X509_free(x);
    EVP_PKEY_free(k);
    BIO_free(cb);
    BIO_free(kb);
    if (maxVersion) SSL_CTX_set_max_proto_version(ctx_, maxVersion);
    ssl_ = SSL_new(ctx_);
    in_ = BIO_new(BIO_s_mem());
    out_ = BIO_new(BIO_s_mem());
    BIO_set_mem_eof_return(in_, -1);
    SSL_set_bio(ssl_, in_, out_);
    SSL_set_accept_state(ssl_);
  }
  ~MemoryTlsServer() override {
    SSL_free(ssl_);
    SSL_CTX_free(ctx_);
  }

  bool WriteAll(std::string_view data, int& error) override {
    error = 0;
    BIO_write(in_, data.data(), static_cast<int>(data.size()));
    Pump();
    return true;
  }

  bool ReadSome(std::string& out, std::size_t max, int& error) override {
    ++reads;
    if (toClient_.empty()) {
      error = err::kTimedOut;  // a real socket would wait and time out
      return false;
    }
    std::size_t n = std::min({max, perRead, toClient_.size()});
    out.append(toClient_, 0, n);
    toClient_.erase(0, n);
    return true;
  }

  // Sends plaintext to the client as one record.
  void Send(std::string_view text) {
    SSL_write(ssl_, text.data(), static_cast<int>(text.size()));
    Drain();
  }
  // Asks the client for a new handshake (TLS 1.2 and older).
  void RequestRenegotiation() {
    SSL_renegotiate(ssl_);
    SSL_do_handshake(ssl_);
    ERR_clear_error();
    Drain();
  }
  void SendCloseNotify() {
    SSL_shutdown(ssl_);
    Drain();
  }
  // Raw bytes that are not TLS at all.
  void SendRaw(std::string_view bytes) { toClient_ += bytes; }

  std::string ServerName() const {
    const char* n = SSL_get_servername(ssl_, TLSEXT_NAMETYPE_host_name);
    return n ? n : "";
  }
  bool Done() const { return SSL_is_init_finished(ssl_); }

  std::size_t perRead = SIZE_MAX;  // bytes handed out per read at most
  int reads = 0;
  std::string greeting;             // sent as soon as the handshake completes
  std::string received;             // plaintext from the client
  std::vector<int> recordSizes;     // plaintext size of each record received

 private:
  void Pump() {
    if (!SSL_is_init_finished(ssl_)) {
      if (SSL_do_handshake(ssl_) == 1 && !greeting.empty()) {
        Drain();
        SSL_write(ssl_, greeting.data(), static_cast<int>(greeting.size()));
      }
    }
    if (SSL_is_init_finished(ssl_)) {
      char buf[20000];
      int n;
      while ((n = SSL_read(ssl_, buf, sizeof buf)) > 0) {
        received.append(buf, static_cast<std::size_t>(n));
        recordSizes.push_back(n);
      }
    }
    ERR_clear_error();
    Drain();
  }
  void Drain() {
    char buf[16384];
    int n;
    while ((n = BIO_read(out_, buf, sizeof buf)) > 0) toClient_.append(buf, static_cast<std::size_t>(n));
  }

  SSL_CTX* ctx_;
  SSL* ssl_;
  BIO* in_;
  BIO* out_;
  std::string toClient_;
};

struct Logged {
  std::string text;
  TlsChannel::LogFn fn() {
    return [this](std::string_view s) { text.append(s); };
  }
};

std::string ReadAll(TlsChannel& tls, std::size_t want) {
  std::string out;
  int error = 0;
  while (out.size() < want && tls.ReadSome(out, 8195, error)) {
  }
  return out;
}

TEST(TlsChannel, HandshakeLogsItsStepsAndCarriesDataBothWays) {
  MemoryTlsServer server;
  Logged log;
  TlsChannel tls(server, log.fn());
  std::string failure;
  ASSERT_TRUE(tls.Handshake("mail.example.test", failure)) << failure;
  EXPECT_EQ(log.text,
            "_CreateCredentials for SSL connection\r\n"
            "_ClientHandshake for SSL connection\r\n"
            "_ClientHandshakeLoop for SSL connection\r\n");
  EXPECT_EQ(server.ServerName(), "mail.example.test");

  int error = 0;
  ASSERT_TRUE(tls.WriteAll("a0001 NOOP\r\n", error));
  EXPECT_EQ(server.received, "a0001 NOOP\r\n");
  server.Send("a0001 OK done\r\n");
  EXPECT_EQ(ReadAll(tls, 15), "a0001 OK done\r\n");
  EXPECT_FALSE(tls.HasPending());
}

TEST(TlsChannel, AddressLiteralIsNotSentAsServerName) {
  MemoryTlsServer server;
  Logged log;
  TlsChannel tls(server, log.fn());
  std::string failure;
  ASSERT_TRUE(tls.Handshake("127.0.0.1", failure)) << failure;
  EXPECT_EQ(server.ServerName(), "");
}

TEST(TlsChannel, GreetingWithTheLastHandshakeFlightIsPending) {
  // TLS 1.2: the server's Finished comes last, and the greeting right
  // behind it in the same read.
  MemoryTlsServer server(TLS1_2_VERSION);
  server.greeting = "* OK ready\r\n";
  Logged log;
  TlsChannel tls(server, log.fn());
  std::string failure;
  ASSERT_TRUE(tls.Handshake("localhost", failure)) << failure;
  int readsAfterHandshake = server.reads;
  EXPECT_TRUE(tls.HasPending());
  std::string out;
  int error = 0;
  ASSERT_TRUE(tls.ReadSome(out, 8195, error));
  EXPECT_EQ(out, "* OK ready\r\n");
  EXPECT_EQ(server.reads, readsAfterHandshake) << "the pending greeting must not wait on the socket";
}

TEST(TlsChannel, RecordSplitAcrossManyReadsIsAssembled) {
  MemoryTlsServer server;
  server.perRead = 1;
  Logged log;
  TlsChannel tls(server, log.fn());
  std::string failure;
  ASSERT_TRUE(tls.Handshake("localhost", failure)) << failure;
  server.Send("+OK split\r\n");
  int before = server.reads;
  EXPECT_EQ(ReadAll(tls, 11), "+OK split\r\n");
  EXPECT_GT(server.reads - before, 20);
}

TEST(TlsChannel, TwoRecordsInOneReadAreReturnedOneByOne) {
  MemoryTlsServer server;
  Logged log;
  TlsChannel tls(server, log.fn());
  std::string failure;
  ASSERT_TRUE(tls.Handshake("localhost", failure)) << failure;
  server.Send("first\r\n");
  server.Send("second\r\n");
  std::string out;
  int error = 0;
  ASSERT_TRUE(tls.ReadSome(out, 8195, error));
  EXPECT_EQ(out, "first\r\n");
  int reads = server.reads;
  EXPECT_TRUE(tls.HasPending());
  out.clear();
  ASSERT_TRUE(tls.ReadSome(out, 8195, error));
  EXPECT_EQ(out, "second\r\n");
  EXPECT_EQ(server.reads, reads);
}

TEST(TlsChannel, RecordLongerThanTheReadIsKeptForTheNextRead) {
  MemoryTlsServer server;
  Logged log;
  TlsChannel tls(server, log.fn());
  std::string failure;
  ASSERT_TRUE(tls.Handshake("localhost", failure)) << failure;
  server.Send(std::string(12000, 'x'));
  std::string out;
  int error = 0;
  ASSERT_TRUE(tls.ReadSome(out, 8195, error));
  EXPECT_EQ(out.size(), 8195u);
  EXPECT_TRUE(tls.HasPending());
  ASSERT_TRUE(tls.ReadSome(out, 8195, error));
  EXPECT_EQ(out, std::string(12000, 'x'));
}

TEST(TlsChannel, LargeSendIsCutIntoRecordsOfMaximumLessOne) {
  MemoryTlsServer server;
  Logged log;
  TlsChannel tls(server, log.fn());
  std::string failure;
  ASSERT_TRUE(tls.Handshake("localhost", failure)) << failure;
  std::string data(40000, 'y');
  int error = 0;
  ASSERT_TRUE(tls.EncryptSend(data, error));
  EXPECT_EQ(server.received, data);
  EXPECT_EQ(server.recordSizes, (std::vector<int>{16383, 16383, 40000 - 2 * 16383}));
}

TEST(TlsChannel, ServerClosingTheConnectionFailsTheReadWith10060) {
  MemoryTlsServer server;
  Logged log;
  TlsChannel tls(server, log.fn());
  std::string failure;
  ASSERT_TRUE(tls.Handshake("localhost", failure)) << failure;
  server.SendCloseNotify();
  std::string out;
  int error = 0;
  EXPECT_FALSE(tls.ReadSome(out, 8195, error));
  EXPECT_EQ(error, err::kTimedOut);
}

TEST(TlsChannel, RenegotiationRequestFailsTheReceive) {
  MemoryTlsServer server(TLS1_2_VERSION);
  Logged log;
  TlsChannel tls(server, log.fn());
  std::string failure;
  ASSERT_TRUE(tls.Handshake("localhost", failure)) << failure;
  server.RequestRenegotiation();
  server.Send("+OK after the request\r\n");
  std::string out;
  int error = 0;
  EXPECT_FALSE(tls.ReadSome(out, 8195, error));
  EXPECT_EQ(error, TlsChannel::kRenegotiate);
  EXPECT_FALSE(tls.LastTlsError().empty());
  EXPECT_TRUE(out.empty());
}

TEST(TlsChannel, PlainTextServerFailsTheHandshakeWithLibraryText) {
  MemoryTlsServer server;
  server.SendRaw("+OK POP3 ready, no TLS here\r\n");
  Logged log;
  TlsChannel tls(server, log.fn());
  std::string failure;
  // The server's bytes arrive before the hello is answered: not a record.
  EXPECT_FALSE(tls.Handshake("localhost", failure));
  EXPECT_EQ(failure.rfind("NativeErrorCode: ", 0), 0u) << failure;
  EXPECT_NE(failure.find(" SSL"), std::string::npos) << failure;
  EXPECT_GT(failure.size(), std::string("NativeErrorCode: 1 SSL\r\n").size()) << failure;
  EXPECT_EQ(failure.substr(failure.size() - 2), "\r\n");
  EXPECT_FALSE(tls.Established());
  int error = 0;
  EXPECT_FALSE(tls.WriteAll("x", error));
}

// A transport that delivers nothing: a server that accepts and stays silent.
class SilentTransport final : public RawChannel {
 public:
  bool WriteAll(std::string_view, int& error) override {
    error = 0;
    return true;
  }
  bool ReadSome(std::string&, std::size_t, int& error) override {
    error = err::kTimedOut;
    return false;
  }
};

TEST(TlsChannel, SilentServerFailsTheHandshakeWithTheTransportError) {
  SilentTransport silent;
  Logged log;
  TlsChannel tls(silent, log.fn());
  std::string failure;
  EXPECT_FALSE(tls.Handshake("localhost", failure));
  EXPECT_EQ(failure, "NativeErrorCode: 10060 SSL" + SystemMessage(err::kTimedOut) + "\r\n");
}

// The transport over a real TCP connection, with a short time-out.
class TcpTransport final : public RawChannel {
 public:
  bool Connect(int port) {
    std::vector<SocketAddress> a;
    return ResolveHost("127.0.0.1", port, a) == 0 && !a.empty() && socket_.Connect(a[0], 5000) == 0;
  }
  bool WriteAll(std::string_view data, int& error) override {
    while (!data.empty()) {
      std::size_t sent = 0;
      if ((error = socket_.Send(data.data(), data.size(), 5000, sent))) return false;
      data.remove_prefix(sent);
    }
    return true;
  }
  bool ReadSome(std::string& out, std::size_t max, int& error) override {
    for (;;) {
      bool ready = false;
      if ((error = socket_.WaitReadable(5000, ready))) return false;
      if (!ready) {
        error = err::kTimedOut;
        return false;
      }
      std::string buf(max, '\0');
      std::size_t got = 0;
      bool wouldBlock = false;
      if ((error = socket_.Receive(buf.data(), max, got, wouldBlock))) return false;
      if (wouldBlock) continue;
      if (got == 0) {
        error = err::kTimedOut;
        return false;
      }
      out.append(buf, 0, got);
      return true;
    }
  }

 private:
  TcpSocket socket_;
};

std::string ReadLine(RawChannel& ch) {
  std::string out;
  int error = 0;
  while (out.find('\n') == std::string::npos && ch.ReadSome(out, 8195, error)) {
  }
  return out;
}

std::string ReadUntilTag(RawChannel& ch, const std::string& tag) {
  std::string out;
  int error = 0;
  while (out.find("\r\n" + tag + " ") == std::string::npos && out.rfind(tag + " ", 0) != 0 &&
         ch.ReadSome(out, 8195, error)) {
  }
  return out;
}

class TlsAgainstDovecot : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dovecot_ = std::make_unique<test::Dovecot>();
    std::string error;
    ASSERT_TRUE(dovecot_->Start(&error)) << error;
    ASSERT_TRUE(dovecot_->AddUser("tess", "pa ss"));
    ASSERT_FALSE(dovecot_->AddMessage("tess", "Subject: over tls\r\n\r\nhello\r\n").empty());
  }
  static void TearDownTestSuite() { dovecot_.reset(); }
  static std::unique_ptr<test::Dovecot> dovecot_;
};
std::unique_ptr<test::Dovecot> TlsAgainstDovecot::dovecot_;

TEST_F(TlsAgainstDovecot, ImplicitTlsOnImaps) {
  TcpTransport tcp;
  ASSERT_TRUE(tcp.Connect(dovecot_->imaps_port()));
  Logged log;
  TlsChannel tls(tcp, log.fn());
  std::string failure;
  ASSERT_TRUE(tls.Handshake("localhost", failure)) << failure;
  EXPECT_EQ(ReadLine(tls).rfind("* OK", 0), 0u);
  int error = 0;
  ASSERT_TRUE(tls.WriteAll("A0001 LOGIN tess \"pa ss\"\r\n", error));
  EXPECT_NE(ReadUntilTag(tls, "A0001").find("A0001 OK"), std::string::npos) << dovecot_->Log();
  ASSERT_TRUE(tls.WriteAll("A0002 SELECT INBOX\r\n", error));
  EXPECT_NE(ReadUntilTag(tls, "A0002").find("A0002 OK"), std::string::npos);
  ASSERT_TRUE(tls.WriteAll("A0003 FETCH 1 (BODY.PEEK[])\r\n", error));
  EXPECT_NE(ReadUntilTag(tls, "A0003").find("Subject: over tls"), std::string::npos);
}

TEST_F(TlsAgainstDovecot, ImplicitTlsOnPop3s) {
  TcpTransport tcp;
  ASSERT_TRUE(tcp.Connect(dovecot_->pop3s_port()));
  Logged log;
  TlsChannel tls(tcp, log.fn());
  std::string failure;
  ASSERT_TRUE(tls.Handshake("localhost", failure)) << failure;
  EXPECT_EQ(ReadLine(tls).rfind("+OK", 0), 0u);
}

TEST_F(TlsAgainstDovecot, StartTlsOnThePlainImapPort) {
  TcpTransport tcp;
  ASSERT_TRUE(tcp.Connect(dovecot_->imap_port()));
  EXPECT_EQ(ReadLine(tcp).rfind("* OK", 0), 0u);
  int error = 0;
  ASSERT_TRUE(tcp.WriteAll("A0001 STARTTLS\r\n", error));
  EXPECT_NE(ReadLine(tcp).find("A0001 OK"), std::string::npos);
  Logged log;
  TlsChannel tls(tcp, log.fn());
  std::string failure;
  ASSERT_TRUE(tls.Handshake("localhost", failure)) << failure;
  ASSERT_TRUE(tls.WriteAll("A0002 CAPABILITY\r\n", error));
  EXPECT_NE(ReadUntilTag(tls, "A0002").find("A0002 OK"), std::string::npos);
}

TEST_F(TlsAgainstDovecot, HandshakeOnThePlainPortFails) {
  TcpTransport tcp;
  ASSERT_TRUE(tcp.Connect(dovecot_->pop3_port()));
  Logged log;
  TlsChannel tls(tcp, log.fn());
  std::string failure;
  EXPECT_FALSE(tls.Handshake("localhost", failure));
  EXPECT_EQ(failure.rfind("NativeErrorCode: ", 0), 0u);
  EXPECT_NE(failure.find(" SSL"), std::string::npos);
}

}  // namespace
}  // namespace tarnwick
