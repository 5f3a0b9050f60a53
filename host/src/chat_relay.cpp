// The chat relay and the game's own showing of a player's chat line: each
// delivered line lands in the player's inbox and goes to the delivery
// listener. A controller that has left, or one the host never made, receives
// nothing.

#include <mutex>
#include <stdexcept>
#include <utility>

#include "engine_objects.h"
#include "host_internal.h"

namespace qbhost {
namespace {

std::function<void(AShooterPlayerController*, const ReceivedLine&)>& Listener() {
  static std::function<void(AShooterPlayerController*, const ReceivedLine&)> listener;
  return listener;
}

std::mutex relayPathMutex;
std::string relayPath;  // named by the latest ChatRelayFor

void Deliver(AShooterPlayerController* target, ReceivedLine line) {
  // A move of at most kInboxLimit - 1 small strings per line: cheap next to
  // printing the line, and the inbox stays a plain vector.
  if (target->inbox.size() >= kInboxLimit) {
    target->inbox.erase(target->inbox.begin(),
                        target->inbox.begin() +
                            static_cast<std::ptrdiff_t>(target->inbox.size() - kInboxLimit + 1));
  }
  target->inbox.push_back(line);
  if (auto listener = Listener()) listener(target, line);
}

class Relay final : public AsaApi::ChatRelay {
 public:
  using ChatRelay::ChatRelay;
  ~Relay() override = default;

  void SendToPlayer(AShooterPlayerController* controller, const FString& sender,
                    const FString& message) override {
    AShooterPlayerController* target = detail::FindController(controller);
    if (target == nullptr || target->departed) return;
    // The host's own conversion: at most count units, up to the first NUL.
    Deliver(target, {ToUtf8(sender), ToUtf8(message)});
  }
};

}  // namespace

bool PlayerChat(AShooterPlayerController* speaker, std::string_view senderName,
                std::string_view text, int mode, bool commandExecuted) {
  AShooterPlayerController& target = detail::Known(speaker, "PlayerChat");
  HostString line(text);
  const bool suppressed = DispatchChat(speaker, line.ptr(), mode, 0, false, commandExecuted);
  if (suppressed || commandExecuted) return suppressed;
  for (AShooterPlayerController* player : LivePlayers(target.world)) {
    Deliver(player, {std::string(senderName), std::string(text)});
  }
  return false;
}

std::vector<ReceivedLine> Inbox(AShooterPlayerController* controller) {
  return detail::Known(controller, "Inbox").inbox;
}

void ForgetInbox(AShooterPlayerController* controller) {
  std::vector<ReceivedLine>().swap(
      detail::Known(controller, "ForgetInbox").inbox);  // the memory too, not just the lines
}

std::string LastChatRelayPath() {
  std::lock_guard lock(relayPathMutex);
  return relayPath;
}

void SetDeliveryListener(
    std::function<void(AShooterPlayerController*, const ReceivedLine&)> listener) {
  Listener() = std::move(listener);
}

namespace detail {

std::shared_ptr<AsaApi::ChatRelay> MakeChatRelay(const FString& libraryPath) {
  {
    std::string path = ToUtf8(libraryPath);
    std::lock_guard lock(relayPathMutex);
    relayPath = std::move(path);
  }
  UWorld* world = AsaApi::GetApiUtils().CurrentWorld();
  if (world == nullptr) {
    throw std::logic_error(
        "ChatRelayFor: there is no current world yet; a relay needs one (SetCurrentWorld)");
  }
  return std::make_shared<Relay>(world);
}

}  // namespace detail
}  // namespace qbhost
