// API utilities (ready state, current world, chat relay) and the server's
// current directory, both settable by the harness.

#include <atomic>
#include <filesystem>
#include <mutex>
#include <string>

#include "host_internal.h"
#include "qbhost/standin.h"

namespace qbhost {
namespace {

class ApiUtils final : public AsaApi::IApiUtils {
 public:
  UWorld* CurrentWorld() override { return world_.load(); }
  int ReadyState() override { return readyState_.load(); }
  std::shared_ptr<AsaApi::ChatRelay> ChatRelayFor(const FString& libraryPath) override {
    return detail::MakeChatRelay(libraryPath);
  }

  std::atomic<UWorld*> world_{nullptr};
  std::atomic<int> readyState_{0};
};

ApiUtils& TheApiUtils() {
  static ApiUtils utils;
  return utils;
}

struct CurrentDir {
  std::mutex mutex;
  std::string dir;
};

CurrentDir& TheCurrentDir() {
  static CurrentDir state;
  return state;
}

}  // namespace

void SetReadyState(int state) {
  TheApiUtils().readyState_ = state;
}
void SetCurrentWorld(UWorld* world) {
  TheApiUtils().world_ = world;
}

void SetCurrentDir(std::string dir) {
  auto& state = TheCurrentDir();
  std::lock_guard lock(state.mutex);
  state.dir = std::move(dir);
}

}  // namespace qbhost

AsaApi::IApiUtils& AsaApi::GetApiUtils() {
  return qbhost::TheApiUtils();
}

std::string AsaApi::Tools::GetCurrentDir() {
  auto& state = qbhost::TheCurrentDir();
  std::lock_guard lock(state.mutex);
  if (state.dir.empty()) return std::filesystem::current_path().string();
  return state.dir;
}
