#include "plugin/library_path.h"

#if defined(_WIN32)

#include <windows.h>

namespace qb {

std::string OwnLibraryPath() {
  // FROM_ADDRESS | UNCHANGED_REFCOUNT: the module that holds this function,
  // without pinning it.
  HMODULE module = nullptr;
  GetModuleHandleExA(
      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
      reinterpret_cast<LPCSTR>(&OwnLibraryPath), &module);
  wchar_t path[260] = {};
  GetModuleFileNameW(module, path, 260);
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, path, -1, nullptr, 0, nullptr, nullptr);
  if (bytes <= 1) return {};
  std::string out(static_cast<std::size_t>(bytes), '\0');
  WideCharToMultiByte(CP_UTF8, 0, path, -1, out.data(), bytes, nullptr, nullptr);
  out.resize(static_cast<std::size_t>(bytes - 1));  // without the terminator
  return out;
}

}  // namespace qb

#else

#include <dlfcn.h>

#include <filesystem>
#include <system_error>

namespace qb {

namespace {

// dladdr names the object that holds this function (QuellmoorBridge.so when
// loaded as a plug-in, the executable when linked in) by the name it was
// opened with, which may be relative to the working directory of that moment.
std::string AbsoluteLoadedName() noexcept {
  try {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&AbsoluteLoadedName), &info) == 0 ||
        info.dli_fname == nullptr) {
      return {};
    }
    std::error_code ec;
    const std::filesystem::path path = std::filesystem::absolute(info.dli_fname, ec);
    return ec ? std::string(info.dli_fname) : path.string();
  } catch (...) {  // exhausted memory while the library loads: no path
    return {};
  }
}

// Made absolute while the library is being loaded: the server may change its
// working directory later, and a relative name would then point elsewhere.
const std::string loadedPath = AbsoluteLoadedName();

}  // namespace

std::string OwnLibraryPath() {
  return loadedPath;
}

}  // namespace qb

#endif
