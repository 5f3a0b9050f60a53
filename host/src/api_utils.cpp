// API utilities (ready state, current world, chat relay) and the server's
// current directory, both settable by the harness.

#include <atomic>
#include <filesystem>
#include <mutex>
#include <string>

#include "host_internal.h"
#include "qbhost/standin.h"

#if defined(_WIN32)
#include <windows.h>
#endif

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

std::mutex currentDirMutex;
std::string currentDir;  // set by the harness; empty: the process's

// The process's current directory as a narrow string. On Windows a narrow
// path is in the ANSI code page, as every narrow Windows function and the C++
// library's narrow file functions read it; a letter that code page cannot
// hold becomes "?" there, which a narrow contract cannot avoid.
std::string ProcessDir() {
#if defined(_WIN32)
  std::wstring wide(GetCurrentDirectoryW(0, nullptr), L'\0');
  wide.resize(GetCurrentDirectoryW(static_cast<DWORD>(wide.size()), wide.data()));
  if (wide.empty()) return {};
  const int length = static_cast<int>(wide.size());
  const int bytes =
      WideCharToMultiByte(CP_ACP, 0, wide.data(), length, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(bytes), '\0');
  WideCharToMultiByte(CP_ACP, 0, wide.data(), length, out.data(), bytes, nullptr, nullptr);
  return out;
#else
  return std::filesystem::current_path().string();
#endif
}

}  // namespace

void SetReadyState(int state) {
  TheApiUtils().readyState_ = state;
}
void SetCurrentWorld(UWorld* world) {
  TheApiUtils().world_ = world;
}

void SetCurrentDir(std::string dir) {
  std::lock_guard lock(currentDirMutex);
  currentDir = std::move(dir);
}

}  // namespace qbhost

AsaApi::IApiUtils& AsaApi::GetApiUtils() {
  return qbhost::TheApiUtils();
}

std::string AsaApi::Tools::GetCurrentDir() {
  std::lock_guard lock(qbhost::currentDirMutex);
  return qbhost::currentDir.empty() ? qbhost::ProcessDir() : qbhost::currentDir;
}
