#include "devserver/auth_throttle.h"

#include <algorithm>

namespace devserver {
namespace {

constexpr auto kForgetAfter = std::chrono::minutes(10);
// Addresses remembered at most; beyond it the oldest record goes first.
constexpr std::size_t kMaxAddresses = 4096;

}  // namespace

AuthThrottle::AuthThrottle(int tries, std::chrono::milliseconds delay)
    : tries_(std::max(1, tries)), delay_(delay) {}

AuthThrottle::Clock::duration AuthThrottle::Wait(const std::string& address,
                                                 Clock::time_point now) {
  auto it = addresses_.find(address);
  if (it == addresses_.end() || it->second.failures < tries_) return Clock::duration::zero();
  Record& r = it->second;
  const Clock::time_point turn = std::max(now, r.nextTurn);
  r.nextTurn = turn + delay_;
  return turn - now;
}

bool AuthThrottle::Failed(const std::string& address, Clock::time_point now) {
  Prune(now);
  Record& r = addresses_[address];
  ++r.failures;
  r.lastFailure = now;
  if (r.failures != tries_) return false;
  r.nextTurn = std::max(r.nextTurn, now + delay_);
  return true;
}

void AuthThrottle::Succeeded(const std::string& address) {
  addresses_.erase(address);
}

void AuthThrottle::Prune(Clock::time_point now) {
  std::erase_if(addresses_, [now](const auto& entry) {
    return now - entry.second.lastFailure > kForgetAfter && entry.second.nextTurn <= now;
  });
  while (addresses_.size() >= kMaxAddresses) {
    auto oldest = std::min_element(addresses_.begin(), addresses_.end(), [](auto& a, auto& b) {
      return a.second.lastFailure < b.second.lastFailure;
    });
    addresses_.erase(oldest);
  }
}

}  // namespace devserver
