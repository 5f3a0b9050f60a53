#pragma once

// The HTTP/1.1 messages of the dev server's loopback servers (the playground
// page and the webhook echo): a request as its handlers see it, the answer
// they fill in, and the two conversions between them and the bytes on the
// connection. Small on purpose: one request per connection, bodies only with a
// Content-Length, no chunked coding, no keep-alive (see loopback_http.h).
//
//   ParseRequestHead("GET /api/state?since=3&t=a%20b HTTP/1.1\r\nHost: x\r\n")
//     -> {method "GET", path "/api/state", params {{"since","3"},{"t","a b"}},
//         headers {{"Host","x"}}}
//   ParseRequestHead("GET /\r\n")  -> error "malformed request line"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace devserver {

using HttpFields = std::vector<std::pair<std::string, std::string>>;

struct HttpRequest {
  std::string method;   // "GET"
  std::string target;   // "/api/state?since=3", as sent
  std::string path;     // "/api/state", percent-decoded
  std::string version;  // "HTTP/1.1" or "HTTP/1.0"
  HttpFields headers;   // in the order sent, names as sent
  HttpFields params;    // the query's, decoded ("+" is a space)
  std::string body;

  // Header names are compared without regard to case.
  std::string Header(std::string_view name) const;  // the first value, or ""
  std::size_t HeaderCount(std::string_view name) const;
  bool HasHeader(std::string_view name) const { return HeaderCount(name) > 0; }
  std::string Param(std::string_view name) const;  // the first value, or ""
};

struct HttpResponse {
  int status = 200;
  // Besides Content-Length and Connection, which the server writes itself.
  HttpFields headers;
  std::string body;

  // Sets the body and its Content-Type.
  void SetContent(std::string content, std::string_view type);
  void SetHeader(std::string_view name, std::string value);
};

// A request head: the request line and the header lines, each ended by CRLF,
// without the empty line that ends the head. Bytes that HTTP does not allow
// there (a bare CR or LF, other control bytes, a folded header line, a
// target that is not a path) make it malformed: nullopt, and `error` says why.
std::optional<HttpRequest> ParseRequestHead(std::string_view head, std::string& error);

// "%41+b" -> "A+b"; with `plusIsSpace` (a query) -> "A b". A "%" not followed
// by two hex digits stays as it is.
std::string PercentDecode(std::string_view text, bool plusIsSpace);

// The head of an answer: status line, `response`'s headers, then those of
// `defaults` that it does not set itself, Content-Length (of the body, also
// for a HEAD request, whose body is not sent) and "Connection: close".
std::string ResponseHead(const HttpResponse& response, const HttpFields& defaults);

// "Not Found" for 404; "Status" for a code it does not know.
std::string_view ReasonPhrase(int status);

}  // namespace devserver
