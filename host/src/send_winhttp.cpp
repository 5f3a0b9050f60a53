// Sending one request with WinHTTP (Windows), synchronously on the worker's
// thread. One session per worker; WinHTTP keeps its connections alive between
// requests to one server by itself. An abort closes the request's handle from
// the other thread, which makes the call under way fail at once.

#include <windows.h>
#include <winhttp.h>

#include <mutex>
#include <string_view>

#include "request_send.h"

namespace qbhost::detail {
namespace {

constexpr const char* kAborted = "Request aborted: its plug-in left or the service shut down";

std::wstring Wide(std::string_view utf8) {
  if (utf8.empty()) return {};
  const int length = static_cast<int>(utf8.size());
  const int units = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), length, nullptr, 0);
  std::wstring out(static_cast<std::size_t>(units), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), length, out.data(), units);
  return out;
}

std::string Utf8(std::wstring_view text) {
  if (text.empty()) return {};
  const int length = static_cast<int>(text.size());
  const int bytes =
      WideCharToMultiByte(CP_UTF8, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(bytes), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), length, out.data(), bytes, nullptr, nullptr);
  return out;
}

std::wstring QueryText(HINTERNET request, DWORD what) {
  DWORD bytes = 0;
  WinHttpQueryHeaders(request, what, WINHTTP_HEADER_NAME_BY_INDEX, WINHTTP_NO_OUTPUT_BUFFER, &bytes,
                      WINHTTP_NO_HEADER_INDEX);
  if (bytes == 0) return {};
  std::wstring text(bytes / sizeof(wchar_t), L'\0');
  if (!WinHttpQueryHeaders(request, what, WINHTTP_HEADER_NAME_BY_INDEX, text.data(), &bytes,
                           WINHTTP_NO_HEADER_INDEX)) {
    return {};
  }
  text.resize(bytes / sizeof(wchar_t));
  return text;
}

class WinHttpSender final : public Sender {
 public:
  WinHttpSender()
      : session_(WinHttpOpen(L"QuellmoorBridge stand-in host", WINHTTP_ACCESS_TYPE_NO_PROXY,
                             WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0)) {}
  ~WinHttpSender() override {
    if (session_ != nullptr) WinHttpCloseHandle(session_);
  }

  Outcome Send(const Job& job, std::chrono::milliseconds connectLeft) override {
    const Target& t = job.target;
    std::string_view host = t.host;
    if (host.size() > 2 && host.front() == '[') host = host.substr(1, host.size() - 2);
    HINTERNET connection =
        session_ == nullptr
            ? nullptr
            : WinHttpConnect(session_, Wide(host).c_str(), static_cast<INTERNET_PORT>(t.port), 0);
    if (connection == nullptr) return Failed(job, false);
    HINTERNET request =
        WinHttpOpenRequest(connection, L"POST", Wide(t.path).c_str(), nullptr, WINHTTP_NO_REFERER,
                           WINHTTP_DEFAULT_ACCEPT_TYPES, t.https ? WINHTTP_FLAG_SECURE : 0);
    Outcome out;
    {
      std::lock_guard lock(mutex_);
      if (request == nullptr || abort_ == job.id) {
        if (request != nullptr) WinHttpCloseHandle(request);
        WinHttpCloseHandle(connection);
        return request == nullptr ? Failed(job, false) : Outcome{false, kAborted, {}};
      }
      request_ = request;
      sending_ = job.id;
    }
    DWORD noRedirects = WINHTTP_DISABLE_REDIRECTS;
    WinHttpSetOption(request, WINHTTP_OPTION_DISABLE_FEATURE, &noRedirects, sizeof noRedirects);
    const int connectMs = static_cast<int>(connectLeft.count());
    WinHttpSetTimeouts(request, connectMs, connectMs, static_cast<int>(job.send * 1000),
                       static_cast<int>(job.receive * 1000));
    std::string headers;
    if (!job.contentType.empty()) headers += "Content-Type: " + job.contentType + "\r\n";
    for (const auto& h : job.headers) headers += h + "\r\n";
    const std::wstring wideHeaders = Wide(headers);
    const auto bodySize = static_cast<DWORD>(job.body.size());
    bool receiving = false;
    bool ok = WinHttpSendRequest(
        request, wideHeaders.empty() ? WINHTTP_NO_ADDITIONAL_HEADERS : wideHeaders.c_str(),
        static_cast<DWORD>(-1L), const_cast<char*>(job.body.data()), bodySize, bodySize, 0);
    if (ok) {
      receiving = true;
      ok = WinHttpReceiveResponse(request, nullptr);
    }
    if (ok) {
      DWORD status = 0;
      DWORD size = sizeof status;
      WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                          WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX);
      ReadHeaders(request, out);
      std::string body;
      char buffer[8192];
      DWORD read = 0;
      while ((ok = WinHttpReadData(request, buffer, sizeof buffer, &read)) && read > 0) {
        body.append(buffer, read);
      }
      out.success = ok && status >= 200 && status < 300;
      if (out.success) {
        out.text = std::move(body);
      } else if (ok) {
        out.text = StatusText(static_cast<int>(status),
                              Utf8(QueryText(request, WINHTTP_QUERY_STATUS_TEXT)));
      }
    }
    if (!ok) out = Failed(job, receiving);
    {
      std::lock_guard lock(mutex_);
      if (request_ != nullptr) WinHttpCloseHandle(request_);  // else the abort closed it
      request_ = nullptr;
      sending_ = 0;
    }
    WinHttpCloseHandle(connection);
    return out;
  }

  void Abort(std::uint64_t id) override {
    std::lock_guard lock(mutex_);
    abort_ = id;
    if (sending_ == id && request_ != nullptr) {
      WinHttpCloseHandle(request_);
      request_ = nullptr;
    }
  }

 private:
  static void ReadHeaders(HINTERNET request, Outcome& out) {
    // "HTTP/1.1 200 OK\r\nName: value\r\n...": the status line first.
    const std::string raw = Utf8(QueryText(request, WINHTTP_QUERY_RAW_HEADERS_CRLF));
    std::size_t at = raw.find("\r\n");
    while (at != std::string::npos && at + 2 < raw.size()) {
      const std::size_t end = raw.find("\r\n", at + 2);
      const std::string line = raw.substr(at + 2, end - at - 2);
      at = end;
      const std::size_t colon = line.find(':');
      if (colon == std::string::npos) continue;
      std::size_t value = colon + 1;
      while (value < line.size() && line[value] == ' ') ++value;
      AddHeader(out, line.substr(0, colon), line.substr(value));
    }
  }

  Outcome Failed(const Job& job, bool receiving) {
    const DWORD error = GetLastError();
    Outcome out;
    switch (error) {
      case ERROR_WINHTTP_CANNOT_CONNECT:
        out.text = ConnectFailedText(job.target);
        break;
      case ERROR_WINHTTP_TIMEOUT:
        out.text = receiving ? QuietTimeText(true, job.receive) : QuietTimeText(false, job.send);
        break;
      case ERROR_WINHTTP_OPERATION_CANCELLED:
      case ERROR_INVALID_HANDLE:
        out.text = kAborted;
        break;
      default:
        out.text = "Request failed: WinHTTP error " + std::to_string(error);
    }
    return out;
  }

  HINTERNET session_;
  std::mutex mutex_;  // request_ against Abort from another thread
  HINTERNET request_ = nullptr;
  std::uint64_t sending_ = 0;
  std::uint64_t abort_ = 0;
};

}  // namespace

std::unique_ptr<Sender> MakeSender() {
  return std::make_unique<WinHttpSender>();
}

}  // namespace qbhost::detail
