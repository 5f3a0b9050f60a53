// Chat relay: not wired to players yet; a relay over the current world that
// shows nothing.

#include <stdexcept>

#include "host_internal.h"

namespace qbhost::detail {
namespace {
class NullRelay final : public AsaApi::ChatRelay {
 public:
  using ChatRelay::ChatRelay;
  ~NullRelay() override = default;
  void SendToPlayer(AShooterPlayerController*, const FString&, const FString&) override {}
};
}  // namespace

std::shared_ptr<AsaApi::ChatRelay> MakeChatRelay(const FString& /*libraryPath*/) {
  UWorld* world = AsaApi::GetApiUtils().CurrentWorld();
  if (world == nullptr) throw std::logic_error("chat relay requested without a world");
  return std::make_shared<NullRelay>(world);
}
}  // namespace qbhost::detail
