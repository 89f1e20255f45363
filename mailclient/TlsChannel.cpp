#include "mailclient/TlsChannel.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include "platform/Errors.h"

namespace tarnwick {

namespace {

// One socket read takes up to two full records with their overhead.
constexpr std::size_t kReadSize = 2 * (16384 + 256) + 1;

constexpr const char* kRenegotiateText = "The context data must be renegotiated with the peer.";

// Code and text of the oldest queued library error; empties the queue.
// Without a queued error the code is fallback and the text a short own one.
int TakeLibraryError(int fallback, std::string& text) {
  unsigned long e = ERR_get_error();
  if (e == 0) {
    text = "TLS failure";
    return fallback;
  }
  const char* reason = ERR_reason_error_string(e);
  if (reason) {
    text = reason;
  } else {
    char buf[256];
    ERR_error_string_n(e, buf, sizeof buf);
    text = buf;
  }
  ERR_clear_error();
  return static_cast<int>(e & 0x7fffffff);
}

bool IsIpLiteral(const std::string& host) {
  ASN1_OCTET_STRING* ip = a2i_IPADDRESS(host.c_str());
  if (!ip) return false;
  ASN1_OCTET_STRING_free(ip);
  return true;
}

}  // namespace

struct TlsChannel::State {
  SSL_CTX* ctx = nullptr;
  SSL* ssl = nullptr;
  BIO* in = nullptr;   // ciphertext from the server, owned by ssl
  BIO* out = nullptr;  // ciphertext for the server, owned by ssl
  bool established = false;
  bool renegotiate = false;  // the server asked for a new handshake

  ~State() {
    if (ssl) SSL_free(ssl);  // frees both memory buffers
    if (ctx) SSL_CTX_free(ctx);
  }
};

TlsChannel::TlsChannel(RawChannel& transport, LogFn log)
    : transport_(transport), log_(std::move(log)) {}

TlsChannel::~TlsChannel() = default;

void TlsChannel::ReleaseTls() {
  state_.reset();
  plain_.clear();
  plain_.shrink_to_fit();
  plainStart_ = 0;
  cipher_.clear();
  cipher_.shrink_to_fit();
  last_error_.clear();
  held_error_ = 0;
}

bool TlsChannel::Established() const { return state_ && state_->established; }

// Sends whatever ciphertext the library has produced.
bool TlsChannel::Flush(int& error) {
  char buf[16384];
  for (;;) {
    int n = BIO_read(state_->out, buf, sizeof buf);
    if (n <= 0) return true;
    if (!transport_.WriteAll(std::string_view(buf, static_cast<std::size_t>(n)), error)) {
      if (!error) error = err::kConnReset;
      return false;
    }
  }
}

// Waits for the next ciphertext from the transport and hands it to the library.
bool TlsChannel::Feed(int& error) {
  std::string& cipher = cipher_;
  cipher.clear();
  if (!transport_.ReadSome(cipher, kReadSize, error)) {
    if (!error) error = err::kTimedOut;
    return false;
  }
  if (cipher.empty()) return true;
  if (BIO_write(state_->in, cipher.data(), static_cast<int>(cipher.size())) !=
      static_cast<int>(cipher.size())) {
    error = TakeLibraryError(err::kConnAborted, last_error_);
    return false;
  }
  return true;
}

bool TlsChannel::Handshake(const std::string& serverName, std::string& failure) {
  ReleaseTls();
  ERR_clear_error();
  auto fail = [&](int code, const std::string& text) {
    failure = "NativeErrorCode: " + std::to_string(code) + " SSL" + text + "\r\n";
    return false;
  };
  auto libraryFailure = [&](int fallback) {
    std::string text;
    int code = TakeLibraryError(fallback, text);
    return fail(code, text);
  };
  auto transportFailure = [&](int code) { return fail(code, SystemMessage(code)); };

  log_("_CreateCredentials for SSL connection\r\n");
  state_ = std::make_unique<State>();
  state_->ctx = SSL_CTX_new(TLS_client_method());
  if (!state_->ctx) return libraryFailure(err::kInvalidParameter);
  // The server's certificate, its name and its chain are not checked.
  SSL_CTX_set_verify(state_->ctx, SSL_VERIFY_NONE, nullptr);

  log_("_ClientHandshake for SSL connection\r\n");
  state_->ssl = SSL_new(state_->ctx);
  state_->in = BIO_new(BIO_s_mem());
  state_->out = BIO_new(BIO_s_mem());
  if (!state_->ssl || !state_->in || !state_->out) {
    BIO_free(state_->in);
    BIO_free(state_->out);
    state_->in = state_->out = nullptr;
    return libraryFailure(err::kInvalidParameter);
  }
  // An empty memory buffer means "no data yet", not "end of stream".
  BIO_set_mem_eof_return(state_->in, -1);
  SSL_set_bio(state_->ssl, state_->in, state_->out);
  SSL_set_connect_state(state_->ssl);
  // A request for a new handshake is never answered with one; the receive
  // that meets it fails instead.
  SSL_set_options(state_->ssl, SSL_OP_NO_RENEGOTIATION);
  // Notes a hello request from the server on an established connection
  // (TLS 1.2 and older; later versions have no renegotiation).
  auto watch = [](int write_p, int /*version*/, int content_type, const void* buf, std::size_t len,
                  SSL* /*ssl*/, void* arg) {
    auto* state = static_cast<State*>(arg);
    if (write_p || content_type != SSL3_RT_HANDSHAKE || len == 0 || !state->established) return;
    if (static_cast<const unsigned char*>(buf)[0] == SSL3_MT_HELLO_REQUEST)
      state->renegotiate = true;
  };
  SSL_set_msg_callback(state_->ssl, watch);
  SSL_set_msg_callback_arg(state_->ssl, state_.get());
  // Address literals are not names; only host names are sent.
  if (!serverName.empty() && !IsIpLiteral(serverName) &&
      SSL_set_tlsext_host_name(state_->ssl, serverName.c_str()) != 1)
    return libraryFailure(err::kInvalidParameter);

  bool loopLogged = false;
  for (;;) {
    int r = SSL_do_handshake(state_->ssl);
    int error = 0;
    // The handshake messages go out unlogged; an alert produced by a
    // failure is sent too.
    bool sent = Flush(error);
    if (!loopLogged) {
      log_("_ClientHandshakeLoop for SSL connection\r\n");
      loopLogged = true;
    }
    if (r == 1) {
      if (!sent) return transportFailure(error);
      state_->established = true;
      return true;
    }
    int e = SSL_get_error(state_->ssl, r);
    if (e != SSL_ERROR_WANT_READ) return libraryFailure(err::kConnAborted);
    if (!sent) return transportFailure(error);
    if (!Feed(error)) {
      if (!last_error_.empty()) return fail(error, last_error_);
      return transportFailure(error);
    }
  }
}

bool TlsChannel::EncryptSend(std::string_view data, int& error) {
  error = 0;
  last_error_.clear();
  if (!Established()) {
    error = err::kNotConnected;
    return false;
  }
  while (!data.empty()) {
    std::string_view piece = data.substr(0, kMaxPiece);
    ERR_clear_error();
    int n = SSL_write(state_->ssl, piece.data(), static_cast<int>(piece.size()));
    if (n <= 0) {
      error = TakeLibraryError(err::kConnAborted, last_error_);
      return false;
    }
    if (!Flush(error)) return false;
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

// Decrypts up to max bytes of what the library holds, appending them to
// out, without reading the transport. True when out gained data. error is
// set on a failure (0 when more ciphertext is simply needed). The rest of a
// record larger than max stays in the library for the next call.
bool TlsChannel::DecryptInto(std::string& out, std::size_t max, int& error) const {
  error = 0;
  if (!state_ || !state_->established) return false;
  const std::size_t old = out.size();
  out.resize(old + max);
  ERR_clear_error();
  int n = SSL_read(state_->ssl, out.data() + old, static_cast<int>(std::min<std::size_t>(max, 1u << 30)));
  out.resize(old + (n > 0 ? static_cast<std::size_t>(n) : 0));
  if (state_->renegotiate) {
    // Whatever came with or after the request is not handed out.
    out.resize(old);
    ERR_clear_error();
    error = kRenegotiate;
    last_error_ = kRenegotiateText;
    return false;
  }
  if (n > 0) return true;
  switch (SSL_get_error(state_->ssl, n)) {
    case SSL_ERROR_WANT_READ:
      return false;
    case SSL_ERROR_ZERO_RETURN:  // the server closed the TLS connection
      error = err::kTimedOut;
      return false;
    default:
      error = TakeLibraryError(err::kConnAborted, last_error_);
      return false;
  }
}

bool TlsChannel::DecryptReceive(std::string& out, std::size_t max, int& error) {
  error = 0;
  if (!Established()) {
    error = err::kNotConnected;
    return false;
  }
  if (held_error_) {
    error = held_error_;
    held_error_ = 0;
    return false;
  }
  last_error_.clear();
  if (max == 0) return true;
  // Bytes that HasPending decrypted ahead go first.
  if (plainStart_ < plain_.size()) {
    std::size_t n = std::min(max, plain_.size() - plainStart_);
    out.append(plain_, plainStart_, n);
    plainStart_ += n;
    if (plainStart_ == plain_.size()) {
      plain_.clear();
      plainStart_ = 0;
    }
    return true;
  }
  // A record that carries no data (a session ticket, a key update) is
  // consumed and the next one awaited, so a read always returns data.
  for (;;) {
    bool got = DecryptInto(out, max, error);
    if (error == kRenegotiate) return false;  // nothing is answered
    // Reading may have produced messages for the server (key updates).
    int sendError = 0;
    if (!Flush(sendError)) {
      error = sendError;
      return false;
    }
    if (error) return false;
    if (got) return true;
    if (!Feed(error)) return false;
  }
}

bool TlsChannel::HasPending() const {
  if (plainStart_ < plain_.size()) return true;
  if (!Established()) return false;
  if (SSL_pending(state_->ssl) <= 0 && BIO_ctrl_pending(state_->in) == 0 &&
      !SSL_has_pending(state_->ssl))
    return false;
  // Something is held: it counts only when it completes a record.
  int error = 0;
  if (DecryptInto(plain_, 16384, error)) return true;
  held_error_ = error;
  return error != 0;
}

}  // namespace tarnwick
