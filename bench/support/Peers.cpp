#include "bench/support/Peers.h"

#include "bench/support/SmtpSink.h"
#include "platform/Files.h"

#include <memory>

namespace tarnwick::bench {

namespace {

std::string Port(const Endpoint& e) { return std::to_string(e.port); }

std::string Tail(const std::string& path) {
  std::string text;
  ReadWholeFile(path, text);
  return text.size() > 600 ? text.substr(text.size() - 600) : text;
}

// fetchmail in its usual set-up forwards each message over SMTP to the local
// mail server, here the benchmark's sink that writes one file per message
// (no flush). The server's certificate is not checked, like ours.
std::vector<std::string> FetchmailCommand(const Endpoint& e, const std::string& dir, int smtpPort) {
  MakeFolders(JoinPath(dir, "out"));
  std::string rc = "set no bouncemail\n"
                   "poll 127.0.0.1 service " + Port(e) + " protocol " + (e.imap ? "imap" : "pop3") +
                   " auth password\n"
                   "  user \"" + e.user + "\" there with password \"" + e.password + "\" is root here\n"
                   "  keep fetchall" + (e.tls ? " ssl no sslcertck" : " sslproto ''") + "\n"
                   "  smtphost \"127.0.0.1/" + std::to_string(smtpPort) + "\"\n";
  WriteWholeFile(JoinPath(dir, "fetchmailrc"), rc);
  return {"fetchmail", "-f", JoinPath(dir, "fetchmailrc"), "--nosyslog", "--nodetach", "-s"};
}

// getmail6 writes into a maildir (tmp, then new), each message from a
// process of its own; it refuses to deliver as root, so the maildir belongs
// to "nobody", whom the deliveries run as.
std::vector<std::string> GetmailCommand(const Endpoint& e, const std::string& dir) {
  for (const char* sub : {"md/cur", "md/new", "md/tmp"}) MakeFolders(JoinPath(dir, sub));
  HandOver(dir, JoinPath(dir, "md"), "nobody");
  std::string rc = std::string("[retriever]\ntype = ") +
                   (e.tls ? "SimplePOP3SSLRetriever" : "SimplePOP3Retriever") +
                   "\nserver = 127.0.0.1\nport = " + Port(e) + "\nusername = " + e.user +
                   "\npassword = " + e.password + "\n" +
                   "[destination]\ntype = Maildir\npath = " + dir + "/md/\nuser = nobody\n"
                   "[options]\nread_all = true\ndelete = false\nverbose = 0\n"
                   "message_log_syslog = false\n";
  WriteWholeFile(JoinPath(dir, "getmailrc"), rc);
  return {"getmail", "--getmaildir=" + dir, "--rcfile=" + (JoinPath(dir, "getmailrc"))};
}

// mbsync pulls INBOX into a maildir; it flushes every message to disk
// (FSync is on by default). The server's certificate is trusted through
// CertificateFile.
std::vector<std::string> MbsyncCommand(const Endpoint& e, const std::string& dir) {
  MakeFolders(JoinPath(dir, "md"));
  MakeFolders(JoinPath(dir, "state"));
  std::string rc = "IMAPAccount bench\nHost 127.0.0.1\nPort " + Port(e) + "\nUser " + e.user +
                   "\nPass " + e.password + "\nAuthMechs LOGIN\n" +
                   (e.tls ? "SSLType IMAPS\nCertificateFile " + e.certificate + "\n" : "SSLType None\n") +
                   "\nIMAPStore far\nAccount bench\n\n"
                   "MaildirStore near\nPath " + dir + "/md/\nSubFolders Verbatim\n\n"
                   "Channel bench\nFar :far:INBOX\nNear :near:bench\nSync Pull\nCreate Near\n"
                   "SyncState " + dir + "/state/\n";
  WriteWholeFile(JoinPath(dir, "mbsyncrc"), rc);
  return {"mbsync", "-c", JoinPath(dir, "mbsyncrc"), "-q", "bench"};
}

}  // namespace

std::vector<std::string> PeersFor(const Endpoint& endpoint) {
  std::vector<std::string> out;
  if (HaveProgram("fetchmail")) out.push_back("fetchmail");
  if (!endpoint.imap && HaveProgram("getmail")) out.push_back("getmail6");
  if (endpoint.imap && HaveProgram("mbsync")) out.push_back("mbsync");
  return out;
}

PeerResult RunPeer(const std::string& name, const Endpoint& endpoint, const std::string& dir,
                   int limitSeconds) {
  PeerResult result;
  result.name = name;
  std::vector<std::string> argv;
  std::string output;
  std::unique_ptr<SmtpSink> sink;
  if (name == "fetchmail") {
    MakeFolders(JoinPath(dir, "out"));
    sink = std::make_unique<SmtpSink>(JoinPath(dir, "out"));
    argv = FetchmailCommand(endpoint, dir, sink->port());
    output = JoinPath(dir, "out");
  } else if (name == "getmail6") {
    argv = GetmailCommand(endpoint, dir);
    output = JoinPath(dir, "md");
  } else if (name == "mbsync") {
    argv = MbsyncCommand(endpoint, dir);
    output = JoinPath(dir, "md");
  } else {
    return result;
  }
  // The peers read nothing from the real home folder.
  const std::vector<std::string> env = {"HOME=" + dir, "FETCHMAILHOME=" + dir};
  const std::string log = JoinPath(dir, "peer.log");
  result.usage = RunProgram(argv, env, log, limitSeconds);
  sink.reset();
  result.files = CountFiles(output);
  result.logTail = Tail(log);
  FlushDisks();
  return result;
}

}  // namespace tarnwick::bench
