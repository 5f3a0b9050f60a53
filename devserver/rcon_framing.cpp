#include "devserver/rcon_framing.h"

#include <cstring>

namespace devserver {
namespace {

std::int32_t ReadInt32(const char* p) {
  std::uint32_t value = 0;
  for (int i = 3; i >= 0; --i) {
    value = (value << 8) | static_cast<unsigned char>(p[i]);
  }
  return static_cast<std::int32_t>(value);
}

}  // namespace

void RconDecoder::Feed(std::string_view bytes) {
  if (failed_) return;
  // Drop what earlier packets used before the buffer grows again.
  if (consumed_ > 0) {
    buffer_.erase(0, consumed_);
    consumed_ = 0;
  }
  buffer_.append(bytes);
}

std::optional<RconFrame> RconDecoder::Next() {
  if (failed_) return std::nullopt;
  std::size_t available = buffer_.size() - consumed_;
  if (available < 4) return std::nullopt;
  const char* start = buffer_.data() + consumed_;
  std::int32_t size = ReadInt32(start);
  if (size < kMinSize || size > kMaxSize) {
    failed_ = true;
    error_ = "size " + std::to_string(size) + " outside " + std::to_string(kMinSize) + ".." +
             std::to_string(kMaxSize);
    buffer_.clear();
    consumed_ = 0;
    return std::nullopt;
  }
  auto total = static_cast<std::size_t>(size) + 4;
  if (available < total) return std::nullopt;

  RconFrame frame;
  frame.id = ReadInt32(start + 4);
  frame.type = ReadInt32(start + 8);
  // The body runs up to the two closing NULs; a client that embeds a NUL
  // ends its text there, as a C string would.
  const char* body = start + 12;
  auto bodyMax = static_cast<std::size_t>(size) - 10;
  const void* nul = std::memchr(body, '\0', bodyMax);
  auto bodyLen =
      nul == nullptr ? bodyMax : static_cast<std::size_t>(static_cast<const char*>(nul) - body);
  frame.body.assign(body, bodyLen);
  consumed_ += total;
  return frame;
}

}  // namespace devserver
