#include "http_transfer.h"

#include <algorithm>
#include <cctype>
#include <new>

#include "qbhost/escape.h"

namespace qbhost::detail {
namespace {

constexpr long kDefaultConnect = 10;
constexpr long kDefaultReceive = 30;
constexpr long kDefaultSend = 30;
constexpr std::size_t kMaxKeptBody = 1 << 20;

std::string_view Trim(std::string_view s) {
  const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  while (!s.empty() && blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && blank(s.back())) s.remove_suffix(1);
  return s;
}

std::string Lower(std::string_view s) {
  std::string out(s);
  std::transform(out.begin(), out.end(), out.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return out;
}

}  // namespace

void Transfer::Assign(PluginId owner, std::string_view url, std::string_view body,
                      std::string_view contentType, std::vector<std::string>&& headers,
                      Timeouts timeouts, Clock::time_point handedOver) {
  owner_ = owner;
  handedOver_ = handedOver;
  timeouts_ = Effective(timeouts);
  // An empty content type removes libcurl's form default instead of sending one.
  constexpr std::string_view kContentType = "Content-Type:";
  const std::size_t headerSize =
      kContentType.size() + (contentType.empty() ? 0 : 1 + contentType.size());
  texts_.clear();
  texts_.reserve(url.size() + 1 + headerSize + 1 + body.size());
  texts_.append(url).push_back('\0');
  texts_.append(kContentType);
  if (!contentType.empty()) texts_.append(" ").append(contentType);
  texts_.push_back('\0');
  texts_.append(body);
  urlSize_ = url.size();
  headerAt_ = urlSize_ + 1;
  bodyAt_ = headerAt_ + headerSize + 1;
  headers_ = std::move(headers);
}

bool Transfer::QueueTimeSpent(Clock::time_point now, Outcome& failure) const {
  const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(now - handedOver_);
  if (waited < std::chrono::seconds(timeouts_.connect)) return false;
  failure.text = "Connection timed out: waited " + std::to_string(waited.count()) +
                 " ms in the queue, the connect timeout is " + std::to_string(timeouts_.connect) +
                 " s";
  return true;
}

Transfer::Wire::~Wire() {
  curl_slist_free_all(headerList);
}

Timeouts Transfer::Effective(Timeouts requested) {
  return {requested.connect > 0 ? requested.connect : kDefaultConnect,
          requested.receive > 0 ? requested.receive : kDefaultReceive,
          requested.send > 0 ? requested.send : kDefaultSend};
}

bool Transfer::Attach(CURL* easy, std::unique_ptr<Wire> wire, Outcome& failure) {
  wire_ = std::move(wire);
  Wire& w = *wire_;
  const auto now = Clock::now();
  if (QueueTimeSpent(now, failure)) return false;
  const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(now - handedOver_);
  // libcurl takes the URL as a C string: a NUL inside would silently cut it.
  if (std::string_view(url(), urlSize_).find('\0') != std::string_view::npos) {
    failure.text = "URL rejected: it contains a NUL byte";
    return false;
  }
  auto append = [&w](const char* line) {
    curl_slist* grown = curl_slist_append(w.headerList, line);
    if (grown == nullptr) throw std::bad_alloc();
    w.headerList = grown;
  };
  try {
    append(contentTypeHeader());
    for (const auto& h : headers_) append(h.c_str());
    append("Expect:");
  } catch (const std::bad_alloc&) {
    failure.text = curl_easy_strerror(CURLE_OUT_OF_MEMORY);
    return false;
  }

  w.easy = easy;
  const long total = timeouts_.connect + timeouts_.send + timeouts_.receive;
  // What is left of the limits: they run from the hand-over.
  const long connectLeftMs = timeouts_.connect * 1000L - static_cast<long>(waited.count());
  const long totalLeftMs = total * 1000L - static_cast<long>(waited.count());
  CURLcode rc = CURLE_OK;
  auto set = [&](CURLoption option, auto value) {
    if (rc == CURLE_OK) rc = curl_easy_setopt(easy, option, value);
  };
  set(CURLOPT_PRIVATE, static_cast<void*>(this));
  set(CURLOPT_URL, url());
  set(CURLOPT_PROTOCOLS_STR, "http,https");
  set(CURLOPT_NOSIGNAL, 1L);
  set(CURLOPT_POST, 1L);
  set(CURLOPT_POSTFIELDS, body());
  set(CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(bodySize()));
  set(CURLOPT_HTTPHEADER, w.headerList);
  set(CURLOPT_ERRORBUFFER, w.error);
  set(CURLOPT_WRITEFUNCTION, &Transfer::OnBody);
  set(CURLOPT_WRITEDATA, static_cast<void*>(this));
  set(CURLOPT_HEADERFUNCTION, &Transfer::OnHeader);
  set(CURLOPT_HEADERDATA, static_cast<void*>(this));
  set(CURLOPT_NOPROGRESS, 0L);
  set(CURLOPT_XFERINFOFUNCTION, &Transfer::OnProgress);
  set(CURLOPT_XFERINFODATA, static_cast<void*>(this));
  set(CURLOPT_CONNECTTIMEOUT_MS, connectLeftMs);
  set(CURLOPT_TIMEOUT_MS, totalLeftMs);
  // Never fires before the overall limit; it only makes libcurl revisit an
  // idle transfer every second, which runs OnProgress.
  set(CURLOPT_LOW_SPEED_LIMIT, 1L);
  set(CURLOPT_LOW_SPEED_TIME, total + 1);
  if (rc != CURLE_OK) {
    failure.text = w.error[0] != '\0' ? w.error : curl_easy_strerror(rc);
    w.easy = nullptr;
    return false;
  }
  // The first quiet window (connect + send) runs from the hand-over too.
  w.lastActivity = handedOver_;
  return true;
}

Outcome Transfer::Finish(CURLcode result) {
  Wire& w = *wire_;
  Outcome out;
  if (result != CURLE_OK) {
    if (!w.stalled.empty()) {
      out.text = std::move(w.stalled);
    } else if (w.error[0] != '\0') {
      out.text = EscapeText(w.error);
    } else {
      out.text = curl_easy_strerror(result);
    }
    return out;
  }
  long code = 0;
  curl_easy_getinfo(w.easy, CURLINFO_RESPONSE_CODE, &code);
  out.headers = std::move(w.headers);
  if (code >= 200 && code < 300) {
    out.success = true;
    out.text = std::move(w.response);
  } else {
    out.text = "HTTP " + std::to_string(code);
    // The reason phrase is the peer's text: it goes into log lines escaped.
    if (!w.reason.empty()) {
      out.text += ' ';
      out.text += EscapeText(w.reason);
    }
  }
  return out;
}

std::size_t Transfer::OnBody(char* data, std::size_t size, std::size_t count, void* self) {
  Wire& w = *static_cast<Transfer*>(self)->wire_;
  const std::size_t bytes = size * count;
  w.lastActivity = Clock::now();
  w.active = true;
  if (w.response.size() < kMaxKeptBody) {
    w.response.append(data, std::min(bytes, kMaxKeptBody - w.response.size()));
  }
  return bytes;
}

std::size_t Transfer::OnHeader(char* data, std::size_t size, std::size_t count, void* self) {
  auto& t = *static_cast<Transfer*>(self);
  const std::size_t bytes = size * count;
  t.wire_->lastActivity = Clock::now();
  t.wire_->active = true;
  t.HeaderLine(std::string_view(data, bytes));
  return bytes;
}

void Transfer::HeaderLine(std::string_view line) {
  line = Trim(line);
  if (line.empty()) return;
  if (line.starts_with("HTTP/")) {
    // A new answer (after an interim 1xx one): its headers replace the last.
    wire_->headers.clear();
    wire_->reason.clear();
    const auto codeStart = line.find(' ');
    const auto reasonStart =
        codeStart == std::string_view::npos ? codeStart : line.find(' ', codeStart + 1);
    if (reasonStart != std::string_view::npos) wire_->reason = Trim(line.substr(reasonStart + 1));
    return;
  }
  const auto colon = line.find(':');
  if (colon == std::string_view::npos) return;
  std::string name = Lower(Trim(line.substr(0, colon)));
  std::string_view value = Trim(line.substr(colon + 1));
  auto [it, inserted] = wire_->headers.try_emplace(std::move(name), value);
  if (!inserted) {
    it->second += ", ";
    it->second += value;
  }
}

int Transfer::OnProgress(void* self, curl_off_t /*dlTotal*/, curl_off_t /*dlNow*/,
                         curl_off_t /*ulTotal*/, curl_off_t ulNow) {
  auto& t = *static_cast<Transfer*>(self);
  Wire& w = *t.wire_;
  const auto now = Clock::now();
  if (ulNow != w.lastUp) {
    w.lastUp = ulNow;
    w.lastActivity = now;
    w.active = true;
    return 0;
  }
  const bool bodyOut = ulNow >= static_cast<curl_off_t>(t.bodySize());
  long quiet = bodyOut ? t.timeouts_.receive : t.timeouts_.send;
  if (!w.active) quiet += t.timeouts_.connect;
  if (now - w.lastActivity < std::chrono::seconds(quiet)) return 0;
  w.stalled = std::string("Operation timed out: no data ") + (bodyOut ? "received" : "sent") +
              " for " + std::to_string(bodyOut ? t.timeouts_.receive : t.timeouts_.send) + " s";
  return 1;
}

}  // namespace qbhost::detail
