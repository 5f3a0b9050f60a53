#pragma once

// Incremental decoder of the Source RCON byte stream into packets. Pure: no
// sockets, no host, so the RCON server, the unit tests and a fuzz target can
// all drive it with whatever chunks of bytes arrive.
//
// Wire format, little endian: int32 size (the bytes that follow), int32 id,
// int32 type, body, NUL, NUL. A size below 10 (an empty body needs 10), above
// 4096 or negative cannot come from a sane client: the decoder fails for good
// and the caller closes that connection.
//
//   Feed("\x0a\0\0\0" "\x07\0\0\0" "\x02\0\0\0" "\0\0")  -> Next(): {id 7, type 2, body ""}
//   Feed("\x05\0\0\0")                                   -> Next(): failure "size 5 ..."

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace devserver {

struct RconFrame {
  std::int32_t id = 0;
  std::int32_t type = 0;
  // The bytes between the type and the terminating NULs, cut at the first NUL.
  std::string body;
};

class RconDecoder {
 public:
  static constexpr std::int32_t kMinSize = 10;
  static constexpr std::int32_t kMaxSize = 4096;

  // Appends received bytes. Ignored once the decoder has failed.
  void Feed(std::string_view bytes);

  // The next complete packet, or nullopt when more bytes are needed or the
  // stream has failed (see failed()). Packets come out in stream order.
  std::optional<RconFrame> Next();

  bool failed() const { return failed_; }
  // Why the stream failed; empty while it has not.
  const std::string& error() const { return error_; }
  // Bytes received and not yet returned as a packet.
  std::size_t buffered() const { return buffer_.size() - consumed_; }

 private:
  std::string buffer_;
  std::size_t consumed_ = 0;
  bool failed_ = false;
  std::string error_;
};

}  // namespace devserver
