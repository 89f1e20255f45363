// The control pipe's message and its framing. Every message, in both
// directions, is a 16-byte head of 32-bit big-endian signed integers
// followed by the data:
//
//   magic (0xEF01 request, 0xEF02 reply) | type 0..7 | rest length | data length | data
//
// where rest length = data length + 4 counts the bytes after itself. A
// message without data is exactly 16 bytes. Readers read by byte count: the
// first 12 bytes, then rest length bytes, however the sender cut them up.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace tarnwick {

// The control pipe's name; the socket lives at run/tarnwick/<name> below the
// system root.
inline constexpr std::string_view kControlPipeName = "{9C420762-FF33-41ad-8474-F1958652C2EF}";

inline constexpr int32_t kRequestMagic = 0xEF01;
inline constexpr int32_t kReplyMagic = 0xEF02;

enum ControlType : int32_t {
  kHello = 0,
  kRunNow = 1,
  kGetConfig = 2,
  kPutConfig = 3,
  kStatusList = 4,
  kLogList = 5,
  kTestAccount = 6,
  kBye = 7,
};
inline constexpr uint32_t kMaxControlType = 7;

// Bytes read in the first counted step: magic, type and rest length.
inline constexpr std::size_t kControlHeadSize = 12;
// Largest piece one write hands to the transport.
inline constexpr std::size_t kAdminPieceSize = 8194;
inline constexpr std::size_t kEnginePieceSize = 65536;
// Largest rest length a reader accepts. Nothing the two sides exchange comes
// near it; a head announcing more is refused instead of being believed.
inline constexpr int32_t kMaxControlRest = 64 * 1024 * 1024;

// Field names of a request head.
inline constexpr std::string_view kConfigNameField = "config_name";
inline constexpr std::string_view kTestResultField = "testresult";

struct ControlMessage {
  int32_t magic = 0;
  int32_t type = 0;
  int32_t restLength = 0;
  int32_t dataLength = 0;
  std::string data;  // the data bytes as received (empty when none)

  // The data as text: a NUL byte ends it.
  std::string_view Text() const;
};

// Head and data of one message in one buffer of 16 + data.size() bytes.
std::string EncodeControlMessage(int32_t magic, int32_t type, std::string_view data);

// Reads 32-bit big-endian signed integers.
int32_t ReadBigEndian32(const char* p);

// Incremental reader of one side's incoming messages: bytes in, and after
// each call either "need more", one complete message, or an error after
// which the connection is to be closed. It never consumes bytes beyond the
// message it completes, and Wanted() tells how many bytes the current counted
// step still lacks, so a blocking reader can ask the transport for no more.
class ControlReader {
 public:
  enum class Side {
    // The engine reading requests: a rest length below 1 ends the
    // connection; a data length that does not fit leaves the request
    // without data.
    kEngine,
    // The administration side reading replies: a rest length of 0 or less
    // is a message without data, 1 to 3 is an error, and so is a data length
    // that does not fit.
    kAdmin,
  };
  enum class Status { kNeedMore, kMessage, kError };

  explicit ControlReader(Side side, int32_t maxRest = kMaxControlRest)
      : side_(side), maxRest_(maxRest) {}

  // Consumes bytes from input up to the end of the next message; consumed
  // receives the count. kMessage: the message is ready in Take(). kError:
  // Error() says why, and the reader stays in that state.
  Status Feed(std::span<const char> input, std::size_t& consumed);

  // The completed message; the reader starts on the next one.
  ControlMessage Take();

  // Bytes the current counted step still needs (never 0 unless a message or
  // an error is pending).
  std::size_t Wanted() const;
  // Whether a message has begun but is not complete.
  bool InMessage() const { return !head_.empty() || restStarted_; }
  const std::string& Error() const { return error_; }

 private:
  Status Fail(std::string why);
  Status Complete();

  Side side_;
  int32_t maxRest_;
  std::string head_;          // the 12-byte head being collected
  std::string rest_;          // the rest being collected
  bool restStarted_ = false;  // the head is complete; reading rest_
  int32_t restLength_ = 0;
  ControlMessage message_;
  bool ready_ = false;
  std::string error_;
};

// The value of a field of a request head ("config_name", "testresult"):
// found like a mail header field, the name in any letter case directly
// followed by ":", the value trimmed of blanks. The head ends at the first
// empty line. nullopt when the head has no such field.
std::optional<std::string> RequestHeadValue(std::string_view data, std::string_view field);

// What follows the first "\r\n\r\n" of a request's data, or nullopt when
// there is none.
std::optional<std::string_view> RequestBody(std::string_view data);

}  // namespace tarnwick
