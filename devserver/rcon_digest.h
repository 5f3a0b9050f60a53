#pragma once

// Log lines about RCON clients that one peer can repeat as fast as it
// connects (a connect/close loop, a stream of malformed packets) go through a
// digest: the first event of a kind is logged as it is; further events of
// that kind within the next second are counted by address and written as one
// line when the second is over, for as long as they keep coming:
//   RCON client 127.0.0.1:40312 connected
//   RCON: 812 connections from 127.0.0.1 in the last second
// So a loop writes about one line per second per kind, however fast it runs.
// Flush() writes what is counted at once (the server stops).
//
// Game thread only. Memory is bounded: at most kMaxAddresses addresses are
// told apart per kind and second; the rest are counted together.

#include <array>
#include <chrono>
#include <cstddef>
#include <map>
#include <string>
#include <string_view>

#include <spdlog/common.h>
#include <asio.hpp>

namespace devserver {

enum class RconEvent {
  Connected,
  Disconnected,
  Authenticated,
  LoginTimeout,
  Malformed,
  MadeRoom,
};

class RconDigest {
 public:
  static constexpr std::size_t kMaxAddresses = 16;

  explicit RconDigest(const asio::any_io_executor& executor,
                      std::chrono::milliseconds window = std::chrono::seconds(1));
  RconDigest(const RconDigest&) = delete;
  RconDigest& operator=(const RconDigest&) = delete;

  // `line` is the event's own log line (already escaped), written when no
  // line of its kind went out in the last window.
  void Note(RconEvent event, std::string_view address, std::string_view line);
  void Flush();

  // The summary line after "RCON: ", for a count and its addresses (most
  // first): "812 connections from 127.0.0.1 in the last second",
  // "3 logins from 127.0.0.1 (2), ::1 (1) in the last second".
  static std::string Summary(RconEvent event, std::size_t count,
                             const std::map<std::string, std::size_t>& byAddress,
                             std::size_t elsewhere);

 private:
  struct Kind {
    explicit Kind(const asio::any_io_executor& executor) : timer(executor) {}
    asio::steady_timer timer;
    bool open = false;  // a window runs: events are counted
    std::size_t count = 0;
    std::map<std::string, std::size_t> byAddress;
    std::size_t elsewhere = 0;  // beyond kMaxAddresses
  };
  static constexpr std::size_t kKinds = 6;

  void Arm(RconEvent event);
  void WriteSummary(RconEvent event);

  std::chrono::milliseconds window_;
  std::array<Kind, kKinds> kinds_;
};

}  // namespace devserver
