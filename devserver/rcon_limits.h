#pragma once

// The limits of the dev server's RCON server: what a misbehaving client (one
// that never logs in, never reads its replies, guesses passwords, or a flood
// of them) may cost. Each has a command-line option (options.h); the defaults
// leave room for every real admin tool and script.

#include <chrono>
#include <cstddef>

namespace devserver {

struct RconLimits {
  // Clients connected at once; a client beyond it is accepted and closed at
  // once (--rcon-max-connections).
  std::size_t maxConnections = 16;
  // A client that has not logged in this long after connecting is closed
  // (--rcon-login-timeout-ms).
  std::chrono::milliseconds loginTimeout{30'000};
  // Reply bytes a client has not taken yet: above pauseUnread the server stops
  // reading (and running) its requests until it has taken them all
  // (--rcon-max-unread); above closeUnread it is closed
  // (--rcon-close-unread).
  std::size_t pauseUnread = 1 << 20;
  std::size_t closeUnread = 8 << 20;
  // Wrong passwords on one connection before it is closed; as many from one
  // address (over any connections) make every further login from it wait its
  // turn, one answer per authDelay (--rcon-auth-tries, --rcon-auth-delay-ms).
  int authTries = 3;
  std::chrono::milliseconds authDelay{1'000};
  // After a failed accept (e.g. no file descriptors left) the server waits
  // this long before it accepts again (--rcon-accept-retry-ms).
  std::chrono::milliseconds acceptRetry{500};
};

}  // namespace devserver
