// CMailClient: one protocol session with one remote mailbox. It owns the TCP
// connection (with an optional proxy tunnel and TLS layer), keeps the
// transcript and the protocol log of the run, and hands the mailbox
// operations to the protocol object chosen by the settings' Protocol.
//
// Entry operations (Connect, GetMailList, DeleteMail) return 0 or
// kMailFailure; RetrieveMail, Quit and the inner operations return true or
// false. On failure LastError holds the reason ("NativeErrorCode: ..." for
// system failures, "Mail Server: ..." for server refusals, whose status word
// is kept in LastResponse).
//
// Byte stream layering: the protocol code calls SendData and ReceiveChunk
// only. Underneath, the transport (RawChannel over the TCP socket, through a
// proxy tunnel when one is set) carries the bytes; once Secured is set, the
// TLS layer (SecureChannel, wrapped around the transport) does.
#pragma once

#include "mailclient/MailProtocol.h"
#include "mailclient/MailServer.h"
#include "mailclient/RawChannel.h"
#include "platform/Files.h"
#include "platform/Socket.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarnwick {

// The failure result of the entry operations.
inline constexpr int32_t kMailFailure = static_cast<int32_t>(0x80020009u);

// One folder found by the Exchange folder look-up.
class CImap4Folder {
 public:
  virtual ~CImap4Folder() = default;
  std::string Name;
  std::string EscapedName;  // Name with every "/" written as "\\"
  std::string Id;           // EWS folder id, or the WebDAV folder URL
  std::string ChangeKey;    // EWS only
};

// Progress callback: (label, text).
using MailProgressFn = std::function<void(const std::string& label, const std::string& text)>;

// Gives a bearer token for an OAuth2 login. renew: the server refused the
// token given before. On success token is set; note (a line without secrets
// for the transcript) may be. On failure note says why.
using BearerTokenSource = std::function<bool(bool renew, std::string& token, std::string& note)>;

// The settings as the protocol log shows them, one "Name: value" line each,
// passwords written as "******".
std::string DescribeSettings(const CMailServer& server);
// The session's copy of the settings, with every value brought into range.
CMailServer NormaliseSettings(const CMailServer& server);

class CMailClient {
 public:
  CMailClient();
  virtual ~CMailClient();
  CMailClient(const CMailClient&) = delete;
  CMailClient& operator=(const CMailClient&) = delete;

  // --- Session state -------------------------------------------------------
  std::string Transcript;    // everything written to the protocol log, plus notes
  std::string LastError;     // text of the last failure
  std::string Label;         // account label passed with every progress report
  MailProgressFn Progress;   // no reports when empty
  BearerTokenSource TokenSource;  // for settings with OAuth2 set
  std::string LastResponse;  // status word of the last refused reply
  std::string Command;       // the command line being sent (passwords masked)
  std::string LogFileName;   // protocol log file; empty: none
  std::string LogFolder;     // the only folder protocol logs go to; empty: the application folder's log/
  std::string FolderName = "INBOX";
  char Delimiter = '/';
  int32_t TagCounter = 0;
  bool Secured = false;
  bool Connected = false;
  bool Listed = false;
  bool Selected = false;
  bool Quiet = false;        // received data is kept out of the log and transcript
  // Seconds for a connect and for every wait for data.
  int32_t Timeout = 600;
  // How long a message download waits in silence for its terminator once
  // the listed size has arrived (about 101 pauses of 100 ms).
  int32_t StallWaitMs = 10100;
  std::optional<CMailServer> ServerCopy;
  std::vector<CMailInfo> Messages;
  // IMAP4: the selected folder's UIDVALIDITY from the last listing; empty
  // when the server gave none (and for other protocols).
  std::string UidValidity;
  std::vector<CImap4Folder> Folders;

  // --- Entry operations ------------------------------------------------------
  int32_t Connect(const CMailServer* oServer);
  int32_t GetMailList();
  int32_t DeleteMail(const CMailInfo* oInfo);
  // On success content holds the message bytes.
  bool RetrieveMail(const CMailInfo* oInfo, std::string& content);
  // The message the next RetrieveMail will ask for, so that the server can
  // be asked ahead (IMAP4). Nothing happens when the session cannot.
  void PrefetchMail(const CMailInfo& next);
  bool Quit();
  void Close();
  void SetLogFileName(const char* path);

  // Settings copy present, connected, and for stream protocols the socket
  // still open.
  bool IsUsable() const;
  // Numeric host text of the two ends of the TCP connection; empty when
  // there is no socket or the lookup fails.
  std::string LocalAddress() const;
  std::string PeerAddress() const;

  // --- Inner operations (protocols, logins, TLS, proxies) ----------------------
  // Sends data through the active channel, writing each piece to the
  // protocol log first. logText, when given, is written in place of data
  // (a command that carries a password).
  bool SendData(std::string_view data);
  bool SendData(std::string_view data, std::string_view logText);
  // Waits for the next piece of data (at most 8195 bytes, or one decrypted
  // block) and appends it to buffer; logged unless Quiet. May append nothing
  // on the TLS path.
  bool ReceiveChunk(std::string& buffer);
  // Reads exactly size bytes from the transport (never through TLS).
  bool ReceiveExact(char* buffer, std::size_t size);
  // Appends chunks to data (which may hold initial data) until it ends with
  // terminator, compared without regard to letter case.
  bool ReadUntil(std::string_view terminator, std::string& data);
  // Reads one reply: for IMAP4 with a tag until the tagged line, otherwise
  // one piece ending in LF. status receives the status word.
  bool ReadResponse(std::string_view tag, std::string& status, std::string& text);
  // Waits at most ms for data to read (or decrypted bytes already held).
  // ready tells whether any is waiting; false on a wait failure.
  bool WaitForData(int64_t ms, bool& ready);

  // Records a system failure: "NativeErrorCode: %d" (or "%d %s" with extra),
  // the system's text for code and CR LF, into LastError and the protocol
  // log. Returns false.
  bool RaiseError(int code, std::string_view extra = {});
  // Records a server refusal: LastResponse = status, LastError = "Mail
  // Server: " + text, written to the protocol log. Returns false.
  bool ServerError(std::string_view status, std::string_view text);
  // Records a failure with a text of the system's own. Returns false.
  bool FailWith(std::string text);

  // Appends to Transcript, then to the protocol log file.
  void WriteLog(std::string_view text);
  // LogFolder, or the application folder's log/ when it is empty.
  std::string ProtocolLogFolder() const;
  // Reports progress with Label, when a callback is set.
  void Report(const std::string& text);

  // The raw byte stream under TLS (socket or proxy tunnel); null when not
  // connected.
  RawChannel* Transport() { return transport_.get(); }
  MailProtocol* Protocol() { return protocol_.get(); }

 private:
  bool Send(std::string_view data, const std::string_view* logText);
  // Raises a failed send or receive on channel: with the TLS library's
  // reason when the TLS layer failed on its own, else as a system error.
  bool RaiseChannelError(const RawChannel* channel, int code);
  bool ConnectStream();
  bool OpenTcp(const std::string& host, int port);
  bool BuildProxyTunnel(const std::string& host, int port);
  // Runs the TLS handshake over the transport and sets Secured.
  bool StartTls();
  void ReleaseTls();
  int32_t Fail();

  TcpSocket socket_;
  std::unique_ptr<RawChannel> transport_;
  std::unique_ptr<SecureChannel> tls_;
  std::unique_ptr<MailProtocol> protocol_;
  FileHandle logFile_;          // the protocol log, open for appending
  std::string logFileOpened_;   // the name logFile_ was opened under
};

}  // namespace tarnwick
