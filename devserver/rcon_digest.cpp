#include "devserver/rcon_digest.h"

#include <algorithm>
#include <vector>

#include "qbhost/standin.h"

namespace devserver {
namespace {

spdlog::level::level_enum LevelOf(RconEvent event) {
  switch (event) {
    case RconEvent::Connected:
    case RconEvent::Disconnected:
    case RconEvent::Authenticated:
      return spdlog::level::info;
    case RconEvent::LoginTimeout:
    case RconEvent::Malformed:
    case RconEvent::MadeRoom:
      break;
  }
  return spdlog::level::warn;
}

}  // namespace

RconDigest::RconDigest(const asio::any_io_executor& executor, std::chrono::milliseconds window)
    : window_(window), kinds_{Kind(executor), Kind(executor), Kind(executor),
                              Kind(executor), Kind(executor), Kind(executor)} {}

std::string RconDigest::Summary(RconEvent event, std::size_t count,
                                const std::map<std::string, std::size_t>& byAddress,
                                std::size_t elsewhere) {
  std::vector<std::pair<std::string, std::size_t>> sorted(byAddress.begin(), byAddress.end());
  std::stable_sort(sorted.begin(), sorted.end(),
                   [](const auto& a, const auto& b) { return a.second > b.second; });
  std::string from;
  if (sorted.size() == 1 && elsewhere == 0) {
    from = sorted.front().first;
  } else {
    for (const auto& [address, n] : sorted) {
      if (!from.empty()) from += ", ";
      from += address + " (" + std::to_string(n) + ")";
    }
    if (elsewhere > 0) {
      if (!from.empty()) from += ", ";
      from += "other addresses (" + std::to_string(elsewhere) + ")";
    }
  }
  const std::string n = std::to_string(count);
  const std::string when = " in the last second";
  switch (event) {
    case RconEvent::Connected:
      return n + (count == 1 ? " connection" : " connections") + " from " + from + when;
    case RconEvent::Disconnected:
      return n + (count == 1 ? " disconnection" : " disconnections") + " from " + from + when;
    case RconEvent::Authenticated:
      return n + (count == 1 ? " login" : " logins") + " from " + from + when;
    case RconEvent::LoginTimeout:
      return n + (count == 1 ? " client" : " clients") + " from " + from +
             " did not log in in time" + when + ": connections closed";
    case RconEvent::Malformed:
      return n + (count == 1 ? " malformed packet" : " malformed packets") + " from " + from +
             when + ": connections closed";
    case RconEvent::MadeRoom:
      return n + (count == 1 ? " client" : " clients") + " from " + from +
             " closed before logging in" + when + ", to make room for new clients";
  }
  return n;
}

void RconDigest::Note(RconEvent event, std::string_view address, std::string_view line) {
  Kind& kind = kinds_[static_cast<std::size_t>(event)];
  if (!kind.open) {
    qbhost::HostLogger()->log(LevelOf(event), "{}", line);
    kind.open = true;
    Arm(event);
    return;
  }
  ++kind.count;
  auto it = kind.byAddress.find(std::string(address));
  if (it != kind.byAddress.end()) {
    ++it->second;
  } else if (kind.byAddress.size() < kMaxAddresses) {
    kind.byAddress.emplace(address, 1);
  } else {
    ++kind.elsewhere;
  }
}

void RconDigest::Arm(RconEvent event) {
  Kind& kind = kinds_[static_cast<std::size_t>(event)];
  kind.timer.expires_after(window_);
  kind.timer.async_wait([this, event](asio::error_code ec) {
    if (ec) return;  // flushed or gone; `this` may be gone too
    Kind& k = kinds_[static_cast<std::size_t>(event)];
    if (k.count == 0) {
      k.open = false;
      return;
    }
    WriteSummary(event);
    Arm(event);
  });
}

void RconDigest::WriteSummary(RconEvent event) {
  Kind& kind = kinds_[static_cast<std::size_t>(event)];
  if (kind.count == 0) return;
  qbhost::HostLogger()->log(LevelOf(event), "RCON: {}",
                            Summary(event, kind.count, kind.byAddress, kind.elsewhere));
  kind.count = 0;
  kind.byAddress.clear();
  kind.elsewhere = 0;
}

void RconDigest::Flush() {
  for (std::size_t i = 0; i < kKinds; ++i) {
    kinds_[i].timer.cancel();
    WriteSummary(static_cast<RconEvent>(i));
    kinds_[i].open = false;
  }
}

}  // namespace devserver
