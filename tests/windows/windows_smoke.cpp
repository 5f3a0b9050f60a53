// Smoke test of the plug-in's Windows code paths: QuellmoorBridge.dll is laid
// into a server root whose path holds a space and a non-ASCII letter, loaded
// with LoadLibraryW over the stand-in host's core, driven through the host's
// registry and released again. Its chat request goes out through the stand-in's
// request service (WinHTTP) to a receiver on 127.0.0.1 in this program. Every
// check prints one line; the exit code is non-zero when any check failed.
//
//   windows_smoke <path of the built QuellmoorBridge.dll>
//
// Wide-character Windows functions throughout: a narrow path would pass
// through the ANSI code page and could hide what this test is for.

// winsock2.h first: windows.h would otherwise bring the old winsock.h.
#include <winsock2.h>

#include <windows.h>

#include <cctype>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <type_traits>
#include <vector>

#include "qbhost/engine.h"
#include "qbhost/rcon.h"
#include "qbhost/requests.h"
#include "qbhost/standin.h"
#include "support/base64_encode.h"
#include "support/capture_sink.h"

namespace {

static_assert(std::is_same_v<EngineChar, wchar_t>, "engine text is wchar_t on Windows");

namespace fs = std::filesystem;

constexpr qbhost::PluginId kPlugin = 1;
constexpr const char* kToken = "t0ken-42";

int checks = 0;
int failures = 0;

bool Check(bool ok, std::string_view what) {
  ++checks;
  std::printf("%s %.*s\n", ok ? "ok  " : "FAIL", static_cast<int>(what.size()), what.data());
  if (!ok) ++failures;
  return ok;
}

std::string Convert(std::wstring_view text, UINT codePage) {
  if (text.empty()) return {};
  const int length = static_cast<int>(text.size());
  const int bytes =
      WideCharToMultiByte(codePage, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(bytes), '\0');
  WideCharToMultiByte(codePage, 0, text.data(), length, out.data(), bytes, nullptr, nullptr);
  return out;
}

std::string Utf8(std::wstring_view text) {
  return Convert(text, CP_UTF8);
}

std::wstring Wide(std::string_view utf8) {
  if (utf8.empty()) return {};
  const int length = static_cast<int>(utf8.size());
  const int units = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), length, nullptr, 0);
  std::wstring out(static_cast<std::size_t>(units), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), length, out.data(), units);
  return out;
}

// A webhook receiver on 127.0.0.1: one request per connection, answered with
// 200 and "Connection: close"; keeps what arrived.
class Receiver {
 public:
  struct Post {
    std::string path;
    std::string head;  // request line and headers
    std::string body;
  };

  Receiver() {
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) throw std::runtime_error("WSAStartup failed");
    listener_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int size = sizeof address;
    if (listener_ == INVALID_SOCKET ||
        bind(listener_, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
        listen(listener_, 16) != 0 ||
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
      throw std::runtime_error("cannot listen on 127.0.0.1: " + std::to_string(WSAGetLastError()));
    }
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { Serve(); });
  }
  ~Receiver() {
    closesocket(listener_);  // ends accept()
    thread_.join();
    WSACleanup();
  }
  Receiver(const Receiver&) = delete;
  Receiver& operator=(const Receiver&) = delete;

  std::string BaseUrl() const { return "http://127.0.0.1:" + std::to_string(port_) + "/hook"; }
  std::vector<Post> Posts() {
    std::lock_guard lock(mutex_);
    return posts_;
  }

 private:
  void Serve() {
    for (;;) {
      const SOCKET peer = accept(listener_, nullptr, nullptr);
      if (peer == INVALID_SOCKET) return;
      std::string in;
      char buffer[4096];
      std::size_t headEnd = std::string::npos;
      std::size_t length = 0;
      for (;;) {
        const int got = recv(peer, buffer, sizeof buffer, 0);
        if (got <= 0) break;
        in.append(buffer, static_cast<std::size_t>(got));
        if (headEnd == std::string::npos && (headEnd = in.find("\r\n\r\n")) != std::string::npos) {
          std::string head = in.substr(0, headEnd);
          for (char& c : head) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
          const auto at = head.find("content-length:");
          if (at != std::string::npos) length = std::stoul(head.substr(at + 15));
        }
        if (headEnd != std::string::npos && in.size() >= headEnd + 4 + length) break;
      }
      if (headEnd != std::string::npos) {
        Post post{in.substr(in.find(' ') + 1, in.find(' ', in.find(' ') + 1) - in.find(' ') - 1),
                  in.substr(0, headEnd + 2), in.substr(headEnd + 4)};
        std::lock_guard lock(mutex_);
        posts_.push_back(std::move(post));
      }
      const std::string answer =
          "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok";
      send(peer, answer.data(), static_cast<int>(answer.size()), 0);
      shutdown(peer, SD_SEND);
      closesocket(peer);
    }
  }

  SOCKET listener_ = INVALID_SOCKET;
  int port_ = 0;
  std::thread thread_;
  std::mutex mutex_;
  std::vector<Post> posts_;
};

// The names in the export directory of a loaded module, read from its PE
// headers in memory; `functions` is the number of exported addresses (an
// export by ordinal alone has no name).
std::vector<std::string> ExportNames(HMODULE module, DWORD& functions) {
  const auto* base = reinterpret_cast<const unsigned char*>(module);
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& entry =
      nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
  functions = 0;
  if (entry.Size == 0) return {};
  const auto* directory =
      reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + entry.VirtualAddress);
  functions = directory->NumberOfFunctions;
  const auto* names = reinterpret_cast<const DWORD*>(base + directory->AddressOfNames);
  std::vector<std::string> out;
  for (DWORD i = 0; i < directory->NumberOfNames; ++i) {
    out.emplace_back(reinterpret_cast<const char*>(base + names[i]));
  }
  return out;
}

std::wstring ModulePath(HMODULE module) {
  std::wstring path(32768, L'\0');
  path.resize(GetModuleFileNameW(module, path.data(), static_cast<DWORD>(path.size())));
  return path;
}

bool HasLineEndingWith(qbtest::CaptureSink& sink, std::string_view tail) {
  for (const auto& line : sink.Texts()) {
    if (line.size() >= tail.size() &&
        line.compare(line.size() - tail.size(), tail.size(), tail) == 0) {
      return true;
    }
  }
  return false;
}

bool Contains(const std::vector<std::string>& list, std::string_view item) {
  for (const auto& entry : list) {
    if (entry == item) return true;
  }
  return false;
}

// The plug-in loaded as the host loads it: entries called inside its scope,
// its registrations and requests forgotten before the library is released.
class LoadedPlugin {
 public:
  explicit LoadedPlugin(const std::wstring& path) : module_(LoadLibraryW(path.c_str())) {
    if (module_ == nullptr) {
      throw std::runtime_error("LoadLibraryW failed with error " + std::to_string(GetLastError()));
    }
    init_ = reinterpret_cast<void (*)()>(
        reinterpret_cast<void*>(GetProcAddress(module_, "Plugin_Init")));
    unload_ = reinterpret_cast<void (*)()>(
        reinterpret_cast<void*>(GetProcAddress(module_, "Plugin_Unload")));
  }
  ~LoadedPlugin() { Free(); }
  LoadedPlugin(const LoadedPlugin&) = delete;
  LoadedPlugin& operator=(const LoadedPlugin&) = delete;

  HMODULE module() const { return module_; }
  bool HasEntries() const { return init_ != nullptr && unload_ != nullptr; }
  void Init() {
    if (!HasEntries()) throw std::runtime_error("Plugin_Init or Plugin_Unload is not exported");
    qbhost::PluginScope scope(kPlugin);
    init_();
  }
  void Unload() {
    if (!HasEntries()) throw std::runtime_error("Plugin_Init or Plugin_Unload is not exported");
    qbhost::PluginScope scope(kPlugin);
    unload_();
  }
  void Free() {
    if (module_ == nullptr) return;
    qbhost::ForgetPlugin(kPlugin);
    FreeLibrary(module_);
    module_ = nullptr;
  }

 private:
  HMODULE module_;
  void (*init_)() = nullptr;
  void (*unload_)() = nullptr;
};

void CheckRegistrations(const std::vector<qbhost::RegistryEvent>& events, bool added) {
  const qbhost::CommandKind kinds[] = {qbhost::CommandKind::Chat, qbhost::CommandKind::Rcon,
                                       qbhost::CommandKind::Timer};
  const char* ids[] = {"QuellmoorBridge_OnChatMessage", "quellmoorsay",
                       "QuellmoorBridge_Heartbeat"};
  bool ok = events.size() == 3;
  for (std::size_t i = 0; ok && i < 3; ++i) {
    ok = events[i].added == added && events[i].kind == kinds[i] && events[i].id == ids[i] &&
         (added || events[i].matched);
    std::printf("     %s %s\n", added ? "registered" : "removed", events[i].id.c_str());
  }
  Check(ok, added ? "Plugin_Init registers chat, RCON command and timer, in that order"
                  : "Plugin_Unload removes all three, in the same order");
}

void Run(const fs::path& built) {
  // The server root: a space and a non-ASCII letter in its path.
  wchar_t temp[MAX_PATH + 1] = {};
  GetTempPathW(MAX_PATH + 1, temp);
  const fs::path scratch =
      fs::path(temp) / (L"qb-windows-smoke-" + std::to_wstring(GetCurrentProcessId()));
  const fs::path root = scratch / L"Server \u00c4";
  struct Cleanup {
    fs::path dir;
    ~Cleanup() {
      std::error_code ignored;
      fs::remove_all(dir, ignored);
    }
  } cleanup{scratch};
  const fs::path pluginDir = root / L"ArkApi" / L"Plugins" / L"QuellmoorBridge";
  fs::create_directories(pluginDir);
  const fs::path dll = pluginDir / L"QuellmoorBridge.dll";
  if (!CopyFileW(built.c_str(), dll.c_str(), FALSE)) {
    throw std::runtime_error("cannot copy the plug-in into the server root");
  }
  Receiver receiver;
  const std::string baseUrl = receiver.BaseUrl();
  {
    std::ofstream config(pluginDir / L"config.json", std::ios::binary);
    config << R"({"webhookBaseUrl":")" << baseUrl << R"(","token":")" << kToken
           << R"(","map":"TheIsland_WP"})";
  }
  SetCurrentDirectoryW(root.c_str());
  std::printf("     server root: %s\n", Utf8(root.native()).c_str());

  // The host's side: a log that keeps every line, a world with one player.
  auto log = std::make_shared<qbtest::CaptureSink>();
  qbhost::SetLogSinks({log});
  UWorld* world = qbhost::CreateWorld();
  qbhost::SetCurrentWorld(world);
  qbhost::SetReadyState(1);
  AShooterPlayerController* player = qbhost::AddPlayer(world, {"Anna", "Thorgar", true});
  RCONClientConnection* rcon = qbhost::CreateRconConnection({});

  {
    LoadedPlugin plugin(dll);
    Check(plugin.HasEntries(), "LoadLibraryW loads the DLL, both entries found by name");
    DWORD functions = 0;
    const auto names = ExportNames(plugin.module(), functions);
    for (const auto& name : names) std::printf("     export: %s\n", name.c_str());
    Check(functions == 2 && names.size() == 2 && Contains(names, "Plugin_Init") &&
              Contains(names, "Plugin_Unload"),
          "the export table holds exactly Plugin_Init and Plugin_Unload");

    qbhost::ResetRegistry();
    plugin.Init();
    CheckRegistrations(qbhost::RegistryJournal(), true);
    Check(HasLineEndingWith(*log, "[QuellmoorBridge] Konfiguration geladen. Map: TheIsland_WP") &&
              HasLineEndingWith(*log, "[QuellmoorBridge] geladen (aktiv: true)."),
          "config.json read from the server root below the current directory");

    // Say: sender and message with umlauts, Base64 JSON over RCON.
    const std::string json = Utf8(L"{\"sender\":\"J\u00fcrgen\",\"message\":\"Gr\u00fc\u00dfe\"}");
    {
      qbhost::HostRconPacket packet(7, 2, "quellmoorsay " + qbtest::EncodeBase64(json));
      Check(qbhost::DispatchRcon(rcon, packet.get(), world, true), "the say command is matched");
    }
    const auto replies = qbhost::SentReplies(rcon);
    Check(replies.size() == 1 && replies[0].id == 7 && replies[0].body == "OK",
          "the say command answers \"OK\"");
    const auto inbox = qbhost::Inbox(player);
    Check(inbox.size() == 1 && Wide(inbox[0].sender) == L"J\u00fcrgen" &&
              Wide(inbox[0].text) == L"Gr\u00fc\u00dfe",
          "the player receives sender and message with their umlauts (through wchar_t)");
    const std::wstring ownPath = ModulePath(plugin.module());
    std::printf("     library path given to the chat relay: %s\n",
                qbhost::LastChatRelayPath().c_str());
    Check(!ownPath.empty() && Wide(qbhost::LastChatRelayPath()) == ownPath &&
              fs::path(ownPath) == dll,
          "the chat relay is asked for with the DLL's own full path");

    // Chat: one global line goes out through WinHTTP to the receiver.
    {
      qbhost::HostString text(Utf8(L"Gr\u00fc\u00dfe an alle"));
      Check(!qbhost::DispatchChat(player, text.ptr(), 0, 0, false, false),
            "the chat line is not suppressed");
    }
    Check(qbhost::WaitForRequests(std::chrono::seconds(20)), "the request is answered");
    const std::string body = Utf8(
        L"{\"map\":\"TheIsland_WP\",\"message\":\"Gr\u00fc\u00dfe an "
        L"alle\",\"sender\":\"Thorgar\"}");
    const auto posts = receiver.Posts();
    if (Check(posts.size() == 1, "one request arrived at the receiver on 127.0.0.1")) {
      const auto& post = posts[0];
      std::printf("     POST %s\n     body %s\n", post.path.c_str(), post.body.c_str());
      Check(post.path == "/hook/plugin/chat", "path <base>/plugin/chat");
      Check(post.head.find(std::string("\r\nAuthorization: Bearer ") + kToken + "\r\n") !=
                std::string::npos,
            "header Authorization: Bearer <token>");
      Check(post.body == body &&
                post.head.find("\r\nContent-Type: application/json\r\n") != std::string::npos,
            "compact JSON body with sorted keys, as application/json");
    }
    qbhost::Tick();  // the chat completion, and the first heartbeat
    Check(qbhost::WaitForRequests(std::chrono::seconds(20)), "the heartbeat is answered");
    qbhost::Tick();  // the heartbeat's completion
    Check(qbhost::PendingRequests() == 0, "completions delivered at the ticks");
    const auto all = receiver.Posts();
    Check(all.size() == 2 && all[1].path == "/hook/plugin/heartbeat",
          "the heartbeat arrived at <base>/plugin/heartbeat");
    bool failureLogged = false;
    for (const auto& line : log->Texts()) {
      if (line.find("fehlgeschlagen") != std::string::npos) {
        std::printf("     %s\n", line.c_str());
        failureLogged = true;
      }
    }
    Check(!failureLogged, "both completions report success (HTTP 200 read through WinHTTP)");

    const std::size_t journalBefore = qbhost::RegistryJournal().size();
    plugin.Unload();
    const auto journal = qbhost::RegistryJournal();
    CheckRegistrations(
        {journal.begin() + static_cast<std::ptrdiff_t>(journalBefore), journal.end()}, false);
    Check(qbhost::RegisteredIds(qbhost::CommandKind::Chat).empty() &&
              qbhost::RegisteredIds(qbhost::CommandKind::Rcon).empty() &&
              qbhost::RegisteredIds(qbhost::CommandKind::Timer).empty(),
          "nothing stays registered");
    plugin.Free();
    Check(GetModuleHandleW(dll.c_str()) == nullptr, "after FreeLibrary the module is gone");
  }

  // Loaded again without config.json: the warning names the path built from
  // the current directory with backslashes, in the ANSI code page that narrow
  // paths use on Windows.
  fs::remove(pluginDir / L"config.json");
  log->Clear();
  {
    LoadedPlugin plugin(dll);
    plugin.Init();
    const std::string expected =
        Convert(root.native(), CP_ACP) + "\\ArkApi\\Plugins\\QuellmoorBridge\\config.json";
    Check(HasLineEndingWith(*log, "[QuellmoorBridge] Keine config.json gefunden unter " + expected +
                                      " - Plugin bleibt inaktiv."),
          "without config.json the warning names "
          "<root>\\ArkApi\\Plugins\\QuellmoorBridge\\config.json");
    plugin.Unload();
  }
  Check(GetModuleHandleW(dll.c_str()) == nullptr, "released again");

  qbhost::ShutdownRequests();  // its workers end before the program does
  qbhost::DestroyRconConnection(rcon);
  qbhost::DestroyWorld(world);
  qbhost::SetLogSinks({});
  const auto heap = qbhost::Heap();
  Check(heap.liveBlocks == 0,
        "no live engine-heap blocks (" + std::to_string(heap.liveBlocks) + " left)");
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: windows_smoke <path of QuellmoorBridge.dll>\n");
    return 2;
  }
  try {
    Run(fs::path(argv[1]));
  } catch (const std::exception& e) {
    std::printf("FAIL %s\n", e.what());
    return 1;
  }
  if (failures == 0) {
    std::printf("passed: all %d checks\n", checks);
  } else {
    std::printf("FAILED: %d of %d checks\n", failures, checks);
  }
  return failures == 0 ? 0 : 1;
}
