// A private Dovecot instance for the protocol tests: its own configuration,
// run and state folders, log file, self-signed certificate and maildirs in a
// fresh temporary folder, listening on free loopback ports for POP3 (with
// STLS), POP3S, IMAP4 (with STARTTLS) and IMAPS. Users live in a passwd-file
// with plaintext passwords, so that CRAM-MD5 and APOP work.
//
//   Dovecot dc;
//   ASSERT_TRUE(dc.Start()) << dc.Log();
//   dc.AddUser("alice", "secret");
//   dc.AddMessage("alice", "Subject: hi\r\n\r\nbody\r\n");
//   ... connect to dc.pop3_port() ...
//
// The instance is stopped and its folder removed by Stop() or the destructor.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tarnwick::test {

class Dovecot {
 public:
  Dovecot();
  ~Dovecot();
  Dovecot(const Dovecot&) = delete;
  Dovecot& operator=(const Dovecot&) = delete;

  // Writes the configuration and certificate, starts the server and waits
  // until it answers on its POP3 port. On failure returns false with the
  // reason in *error (and in Log()), and leaves nothing running.
  bool Start(std::string* error = nullptr);
  // Before Start: also accept XOAUTH2 and OAUTHBEARER logins, validating
  // the tokens by POSTing them to introspectionUrl (HTTPS, trusting caFile).
  void EnableOAuth2(const std::string& introspectionUrl, const std::string& caFile) {
    oauth2_url_ = introspectionUrl;
    oauth2_ca_ = caFile;
  }
  // Before Start: set up for many logins a second, as a busy server is:
  // login processes that stay and take many connections, and mail processes
  // that serve one session after another, instead of two new processes for
  // every login.
  void ServeManyLogins() { many_logins_ = true; }
  // Stops the server and removes its folder. Safe to call more than once.
  void Stop();
  bool running() const { return pid_ > 0; }

  int pop3_port() const { return pop3_port_; }
  int pop3s_port() const { return pop3s_port_; }
  int imap_port() const { return imap_port_; }
  int imaps_port() const { return imaps_port_; }
  // The temporary folder holding everything of this instance.
  const std::string& dir() const { return dir_; }

  // Adds a user. Works while the server runs; a changed password may take
  // a second to be seen.
  bool AddUser(const std::string& user, const std::string& password);
  // Drops a message into the user's maildir ("new" folder; folder empty
  // means INBOX, otherwise a Maildir++ folder ".name", created when missing).
  // Returns the file name, or empty on failure.
  std::string AddMessage(const std::string& user, std::string_view raw,
                         const std::string& folder = "");
  // The messages currently in the folder (new and cur), ordered by file
  // name, as raw bytes. Expunged messages are gone; messages marked deleted
  // but not expunged are still listed (see FlaggedDeleted).
  std::vector<std::string> ListMessages(const std::string& user,
                                        const std::string& folder = "") const;
  std::size_t MessageCount(const std::string& user, const std::string& folder = "") const;
  // How many messages of the folder carry the deleted flag (maildir "T").
  std::size_t FlaggedDeleted(const std::string& user, const std::string& folder = "") const;

  // The server's log file and its standard output, for failure messages.
  std::string Log() const;

 private:
  std::string MaildirOf(const std::string& user, const std::string& folder) const;
  bool WriteConfig(std::string& error);
  bool WaitReady(std::string& error);

  std::string dir_;
  int pid_ = -1;
  int pop3_port_ = 0;
  int pop3s_port_ = 0;
  int imap_port_ = 0;
  int imaps_port_ = 0;
  unsigned mail_uid_ = 0;
  unsigned mail_gid_ = 0;
  unsigned long sequence_ = 0;
  std::string oauth2_url_;
  std::string oauth2_ca_;
  bool many_logins_ = false;
};

// Picks n distinct free TCP ports on 127.0.0.1 (bound to port 0 together,
// then released).
std::vector<int> FreeLoopbackPorts(int n);

}  // namespace tarnwick::test
