#include "control/ControlMessage.h"

#include "message/Headers.h"

#include <algorithm>

namespace tarnwick {

namespace {

void PutBigEndian32(std::string& out, int32_t value) {
  uint32_t v = static_cast<uint32_t>(value);
  out.push_back(static_cast<char>(v >> 24));
  out.push_back(static_cast<char>(v >> 16));
  out.push_back(static_cast<char>(v >> 8));
  out.push_back(static_cast<char>(v));
}

}  // namespace

std::string_view ControlMessage::Text() const {
  std::string_view d = data;
  return d.substr(0, d.find('\0'));
}

int32_t ReadBigEndian32(const char* p) {
  const auto* u = reinterpret_cast<const unsigned char*>(p);
  return static_cast<int32_t>((uint32_t{u[0]} << 24) | (uint32_t{u[1]} << 16) |
                              (uint32_t{u[2]} << 8) | uint32_t{u[3]});
}

std::string EncodeControlMessage(int32_t magic, int32_t type, std::string_view data) {
  std::string out;
  out.reserve(16 + data.size());
  const int32_t dataLength = static_cast<int32_t>(data.size());
  PutBigEndian32(out, magic);
  PutBigEndian32(out, type);
  PutBigEndian32(out, dataLength + 4);
  PutBigEndian32(out, dataLength);
  out.append(data);
  return out;
}

ControlReader::Status ControlReader::Fail(std::string why) {
  error_ = std::move(why);
  head_.clear();
  rest_.clear();
  return Status::kError;
}

ControlReader::Status ControlReader::Feed(std::span<const char> input, std::size_t& consumed) {
  consumed = 0;
  if (!error_.empty()) return Status::kError;
  if (ready_) return Status::kMessage;

  if (!restStarted_) {
    std::size_t n = std::min(kControlHeadSize - head_.size(), input.size());
    head_.append(input.data(), n);
    consumed += n;
    if (head_.size() < kControlHeadSize) return Status::kNeedMore;
    const int32_t type = ReadBigEndian32(head_.data() + 4);
    restLength_ = ReadBigEndian32(head_.data() + 8);
    if (static_cast<uint32_t>(type) > kMaxControlType) return Fail("message type above 7");
    if (restLength_ > maxRest_) return Fail("rest length above the limit");
    if (side_ == Side::kEngine) {
      // The engine reads rest length bytes; reading none ends the connection.
      if (restLength_ < 1) return Fail("rest length below 1");
    } else {
      if (restLength_ >= 1 && restLength_ <= 3) return Fail("rest length of 1 to 3");
      if (restLength_ <= 0) return Complete();
    }
    restStarted_ = true;
    rest_.clear();
  }

  const std::size_t total = static_cast<std::size_t>(restLength_);
  std::size_t n = std::min(total - rest_.size(), input.size() - consumed);
  rest_.append(input.data() + consumed, n);
  consumed += n;
  if (rest_.size() < total) return Status::kNeedMore;
  return Complete();
}

ControlReader::Status ControlReader::Complete() {
  ControlMessage m;
  m.magic = ReadBigEndian32(head_.data());
  m.type = ReadBigEndian32(head_.data() + 4);
  m.restLength = restLength_;
  if (rest_.size() >= 4) {
    m.dataLength = ReadBigEndian32(rest_.data());
    const int64_t room = static_cast<int64_t>(rest_.size()) - 4;
    if (m.dataLength > room) {
      if (side_ == Side::kAdmin) return Fail("data length above rest length - 4");
    } else if (m.dataLength > 0) {
      m.data.assign(rest_, 4, static_cast<std::size_t>(m.dataLength));
    }
  }
  head_.clear();
  rest_.clear();
  rest_.shrink_to_fit();
  restStarted_ = false;
  message_ = std::move(m);
  ready_ = true;
  return Status::kMessage;
}

ControlMessage ControlReader::Take() {
  ready_ = false;
  return std::move(message_);
}

std::size_t ControlReader::Wanted() const {
  if (ready_ || !error_.empty()) return 0;
  if (!restStarted_) return kControlHeadSize - head_.size();
  return static_cast<std::size_t>(restLength_) - rest_.size();
}

std::optional<std::string> RequestHeadValue(std::string_view data, std::string_view field) {
  std::string value;
  if (!HeaderValue(data, field, value)) return std::nullopt;
  return value;
}

std::optional<std::string_view> RequestBody(std::string_view data) {
  data = data.substr(0, data.find('\0'));
  std::size_t at = data.find("\r\n\r\n");
  if (at == std::string_view::npos) return std::nullopt;
  return data.substr(at + 4);
}

}  // namespace tarnwick
