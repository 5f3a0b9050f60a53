#include "devserver/http_message.h"

#include <algorithm>

namespace devserver {
namespace {

bool SameName(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
           return lower(x) == lower(y);
         });
}

std::string First(const HttpFields& fields, std::string_view name, bool anyCase) {
  for (const auto& [key, value] : fields) {
    if (anyCase ? SameName(key, name) : key == name) return value;
  }
  return {};
}

// RFC 9110's token characters: method and header names.
bool IsToken(std::string_view text) {
  static constexpr std::string_view kExtra = "!#$%&'*+-.^_`|~";
  return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
           kExtra.find(c) != std::string_view::npos;
  });
}

// Control bytes other than the tab (and DEL) never belong in a head; a CR or
// LF inside a line would let a peer smuggle a header past a check.
bool HasControl(std::string_view text, bool tabAllowed) {
  return std::any_of(text.begin(), text.end(), [tabAllowed](char c) {
    auto b = static_cast<unsigned char>(c);
    return (b < 0x20 && !(tabAllowed && b == '\t')) || b == 0x7F;
  });
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void ParseQuery(std::string_view query, HttpFields& params) {
  while (!query.empty()) {
    std::string_view pair = query.substr(0, query.find('&'));
    query.remove_prefix(std::min(query.size(), pair.size() + 1));
    if (pair.empty()) continue;
    std::size_t eq = pair.find('=');
    std::string_view key = pair.substr(0, eq);
    std::string_view value = eq == std::string_view::npos ? "" : pair.substr(eq + 1);
    params.emplace_back(PercentDecode(key, true), PercentDecode(value, true));
  }
}

}  // namespace

std::string HttpRequest::Header(std::string_view name) const {
  return First(headers, name, true);
}

std::size_t HttpRequest::HeaderCount(std::string_view name) const {
  return static_cast<std::size_t>(std::count_if(
      headers.begin(), headers.end(), [name](const auto& h) { return SameName(h.first, name); }));
}

std::string HttpRequest::Param(std::string_view name) const {
  return First(params, name, false);
}

void HttpResponse::SetContent(std::string content, std::string_view type) {
  body = std::move(content);
  SetHeader("Content-Type", std::string(type));
}

void HttpResponse::SetHeader(std::string_view name, std::string value) {
  for (auto& [key, old] : headers) {
    if (SameName(key, name)) {
      old = std::move(value);
      return;
    }
  }
  headers.emplace_back(std::string(name), std::move(value));
}

std::string PercentDecode(std::string_view text, bool plusIsSpace) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && HexDigit(text[i + 1]) >= 0 &&
        HexDigit(text[i + 2]) >= 0) {
      out += static_cast<char>(HexDigit(text[i + 1]) * 16 + HexDigit(text[i + 2]));
      i += 2;
    } else if (plusIsSpace && text[i] == '+') {
      out += ' ';
    } else {
      out += text[i];
    }
  }
  return out;
}

std::optional<HttpRequest> ParseRequestHead(std::string_view head, std::string& error) {
  auto fail = [&error](const char* why) {
    error = why;
    return std::nullopt;
  };
  std::vector<std::string_view> lines;
  while (!head.empty()) {
    std::size_t end = head.find("\r\n");
    if (end == std::string_view::npos) return fail("a head line without CRLF");
    lines.push_back(head.substr(0, end));
    head.remove_prefix(end + 2);
  }
  if (lines.empty()) return fail("no request line");

  HttpRequest req;
  std::string_view line = lines[0];
  std::size_t first = line.find(' ');
  std::size_t second = first == std::string_view::npos ? first : line.find(' ', first + 1);
  if (second == std::string_view::npos || line.find(' ', second + 1) != std::string_view::npos) {
    return fail("malformed request line");
  }
  req.method = line.substr(0, first);
  req.target = line.substr(first + 1, second - first - 1);
  req.version = line.substr(second + 1);
  if (!IsToken(req.method)) return fail("malformed method");
  // Origin form only ("/path?query"): the servers are addressed directly,
  // never as a proxy.
  if (req.target.empty() || req.target[0] != '/' || HasControl(req.target, false)) {
    return fail("the target must be a path");
  }
  if (req.version != "HTTP/1.1" && req.version != "HTTP/1.0") return fail("not HTTP/1.0 or 1.1");
  std::string_view target = req.target;
  std::size_t query = target.find('?');
  req.path = PercentDecode(target.substr(0, query), false);
  if (query != std::string_view::npos) ParseQuery(target.substr(query + 1), req.params);

  for (std::size_t i = 1; i < lines.size(); ++i) {
    line = lines[i];
    std::size_t colon = line.find(':');
    // A line that starts with white space continues the one before it
    // (obsolete folding): no name before the colon is a token then.
    if (colon == std::string_view::npos || !IsToken(line.substr(0, colon))) {
      return fail("malformed header line");
    }
    std::string_view value = Trim(line.substr(colon + 1));
    if (HasControl(value, true)) return fail("a control byte in a header value");
    req.headers.emplace_back(line.substr(0, colon), value);
  }
  return req;
}

std::string_view ReasonPhrase(int status) {
  switch (status) {
    case 100:
      return "Continue";
    case 200:
      return "OK";
    case 400:
      return "Bad Request";
    case 403:
      return "Forbidden";
    case 404:
      return "Not Found";
    case 411:
      return "Length Required";
    case 413:
      return "Content Too Large";
    case 431:
      return "Request Header Fields Too Large";
    case 500:
      return "Internal Server Error";
    case 503:
      return "Service Unavailable";
    default:
      return "Status";
  }
}

std::string ResponseHead(const HttpResponse& response, const HttpFields& defaults) {
  std::string head = "HTTP/1.1 " + std::to_string(response.status) + " " +
                     std::string(ReasonPhrase(response.status)) + "\r\n";
  auto own = [](std::string_view name) {
    return SameName(name, "Content-Length") || SameName(name, "Connection");
  };
  auto add = [&head](const std::string& name, const std::string& value) {
    head += name + ": " + value + "\r\n";
  };
  for (const auto& [name, value] : response.headers) {
    if (!own(name)) add(name, value);
  }
  for (const auto& [name, value] : defaults) {
    bool set = std::any_of(response.headers.begin(), response.headers.end(),
                           [&name](const auto& h) { return SameName(h.first, name); });
    if (!set && !own(name)) add(name, value);
  }
  add("Content-Length", std::to_string(response.body.size()));
  add("Connection", "close");
  return head + "\r\n";
}

}  // namespace devserver
