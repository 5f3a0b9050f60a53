// Sending one request with WinHTTP (Windows), synchronously on the worker's
// thread, one session per worker (WinHTTP keeps connections alive by itself).
// An abort closes the request's handle from the other thread, which makes the
// call under way fail at once, a connect included; it waits for nothing.

#include <windows.h>
#include <winhttp.h>

#include <mutex>
#include <sstream>

#include "request_send.h"

namespace qbhost::detail {
namespace {

constexpr const char* kAborted = "Request aborted: its plug-in left or the service shut down";

std::wstring Wide(std::string_view utf8) {
  const std::u16string units = Utf8ToUtf16(utf8);
  return {units.begin(), units.end()};
}

std::string QueryText(HINTERNET request, DWORD what) {
  DWORD bytes = 0;
  WinHttpQueryHeaders(request, what, WINHTTP_HEADER_NAME_BY_INDEX, WINHTTP_NO_OUTPUT_BUFFER, &bytes,
                      WINHTTP_NO_HEADER_INDEX);
  std::wstring text(bytes / sizeof(wchar_t), L'\0');
  if (bytes == 0 || !WinHttpQueryHeaders(request, what, WINHTTP_HEADER_NAME_BY_INDEX, text.data(),
                                         &bytes, WINHTTP_NO_HEADER_INDEX)) {
    return {};
  }
  text.resize(bytes / sizeof(wchar_t));
  return Utf16ToUtf8({reinterpret_cast<const char16_t*>(text.data()), text.size()});
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
    const bool bracketed = t.host.size() > 2 && t.host.front() == '[';
    const std::string host = bracketed ? t.host.substr(1, t.host.size() - 2) : t.host;
    HINTERNET connection =
        session_ == nullptr
            ? nullptr
            : WinHttpConnect(session_, Wide(host).c_str(), static_cast<INTERNET_PORT>(t.port), 0);
    HINTERNET request = connection == nullptr
                            ? nullptr
                            : WinHttpOpenRequest(connection, L"POST", Wide(t.path).c_str(), nullptr,
                                                 WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                                 t.https ? WINHTTP_FLAG_SECURE : 0);
    Outcome out;
    bool receiving = false;
    bool ok = false;
    {
      std::lock_guard lock(mutex_);
      if (request != nullptr && abort_ != job.id) {
        request_ = request;
        sending_ = job.id;
        ok = true;
      } else if (request != nullptr) {
        WinHttpCloseHandle(request);
        SetLastError(ERROR_WINHTTP_OPERATION_CANCELLED);
      }
    }
    if (ok) {
      DWORD noRedirects = WINHTTP_DISABLE_REDIRECTS;
      WinHttpSetOption(request, WINHTTP_OPTION_DISABLE_FEATURE, &noRedirects, sizeof noRedirects);
      const auto ms = static_cast<int>(connectLeft.count());
      WinHttpSetTimeouts(request, ms, ms, static_cast<int>(job.send * 1000),
                         static_cast<int>(job.receive * 1000));
      std::string headers;
      if (!job.contentType.empty()) headers += "Content-Type: " + job.contentType + "\r\n";
      for (const auto& h : job.headers) headers += h + "\r\n";
      const std::wstring wideHeaders = Wide(headers);
      const auto size = static_cast<DWORD>(job.body.size());
      ok = WinHttpSendRequest(
          request, wideHeaders.empty() ? WINHTTP_NO_ADDITIONAL_HEADERS : wideHeaders.c_str(),
          static_cast<DWORD>(wideHeaders.empty() ? 0 : -1L), const_cast<char*>(job.body.data()),
          size, size, 0);
      receiving = ok;
      ok = ok && WinHttpReceiveResponse(request, nullptr);
    }
    if (ok) {
      DWORD status = 0;
      DWORD size = sizeof status;
      WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                          WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX);
      // "HTTP/1.1 200 OK\r\nName: value\r\n...": the header lines after the first.
      std::istringstream lines(QueryText(request, WINHTTP_QUERY_RAW_HEADERS_CRLF));
      std::string line;
      std::getline(lines, line);
      while (std::getline(lines, line)) {
        const std::size_t colon = line.find(':');
        if (colon != std::string::npos)
          AddHeader(out, line.substr(0, colon), line.substr(colon + 1));
      }
      std::string body;
      char buffer[8192];
      DWORD read = 0;
      while ((ok = WinHttpReadData(request, buffer, sizeof buffer, &read)) && read > 0) {
        KeepPart(body, {buffer, read});  // the rest is read and dropped
      }
      out.success = ok && status >= 200 && status < 300;
      out.text = out.success ? std::move(body)
                             : StatusText(static_cast<int>(status),
                                          QueryText(request, WINHTTP_QUERY_STATUS_TEXT));
    }
    if (!ok) out = Failed(job, receiving);
    std::lock_guard lock(mutex_);
    if (request_ != nullptr) WinHttpCloseHandle(request_);  // else an abort closed it
    request_ = nullptr;
    sending_ = 0;
    if (connection != nullptr) WinHttpCloseHandle(connection);
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
  static Outcome Failed(const Job& job, bool receiving) {
    switch (const DWORD error = GetLastError()) {
      case ERROR_WINHTTP_CANNOT_CONNECT:
        return {false, ConnectFailedText(job.target), {}};
      case ERROR_WINHTTP_TIMEOUT:
        return {false, QuietTimeText(receiving, receiving ? job.receive : job.send), {}};
      case ERROR_WINHTTP_OPERATION_CANCELLED:
      case ERROR_INVALID_HANDLE:
        return {false, kAborted, {}};
      default:
        return {false, "Request failed: WinHTTP error " + std::to_string(error), {}};
    }
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
