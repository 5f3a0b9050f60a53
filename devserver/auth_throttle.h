#pragma once

// Slows down password guessing from one address. Pure: the caller passes the
// time, so tests need no clock.
//
// Each address has a count of wrong passwords. Once it reaches `tries`, every
// further login from that address (right or wrong: a guesser must not learn
// the answer early) is answered in turn, one per `delay`, over all of its
// connections. A right password clears the count; so do 10 minutes without a
// wrong one.
//
//   tries 3, delay 1 s: wrong at 0 s, 0 s, 0 s -> Wait(0 s) = 1 s, Wait(0 s) = 2 s

#include <chrono>
#include <cstddef>
#include <map>
#include <string>

namespace devserver {

class AuthThrottle {
 public:
  using Clock = std::chrono::steady_clock;

  AuthThrottle(int tries, std::chrono::milliseconds delay);

  // How long a login from `address` arriving at `now` waits before it is
  // answered; reserves that turn.
  Clock::duration Wait(const std::string& address, Clock::time_point now);
  // A wrong password from `address`. True when this one made the address
  // throttled (for a log line once per occurrence).
  bool Failed(const std::string& address, Clock::time_point now);
  void Succeeded(const std::string& address);

  std::size_t tracked() const { return addresses_.size(); }

 private:
  struct Record {
    int failures = 0;
    Clock::time_point lastFailure;
    Clock::time_point nextTurn;
  };
  void Prune(Clock::time_point now);

  int tries_;
  Clock::duration delay_;
  std::map<std::string, Record> addresses_;
};

}  // namespace devserver
