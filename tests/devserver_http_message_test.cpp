// The dev server's own HTTP request parser and answer head: what a head must
// look like to be taken, what it turns into, and what every answer says.

#include <gtest/gtest.h>

#include <string>

#include "devserver/http_message.h"

namespace {

using devserver::HttpFields;
using devserver::ParseRequestHead;

TEST(HttpRequestHead, AWellFormedHeadBecomesARequest) {
  std::string error;
  auto req = ParseRequestHead(
      "GET /a%2Fb+c?since=3&t=a%20b+c&flag&=x&since=4 HTTP/1.1\r\n"
      "Host: 127.0.0.1:8080\r\n"
      "x-playground-token: \t t0ken \t\r\n"
      "Content-Length: 1\r\n"
      "content-length: 2\r\n"
      "Empty:\r\n",
      error);
  ASSERT_TRUE(req) << error;
  EXPECT_EQ(req->method, "GET");
  EXPECT_EQ(req->target, "/a%2Fb+c?since=3&t=a%20b+c&flag&=x&since=4");
  EXPECT_EQ(req->path, "/a/b+c") << "a path keeps its plus";
  EXPECT_EQ(req->version, "HTTP/1.1");
  EXPECT_EQ(req->params,
            (HttpFields{{"since", "3"}, {"t", "a b c"}, {"flag", ""}, {"", "x"}, {"since", "4"}}));
  EXPECT_EQ(req->Param("since"), "3");
  EXPECT_EQ(req->Param("none"), "");
  EXPECT_EQ(req->Header("X-Playground-Token"), "t0ken");
  EXPECT_EQ(req->Header("HOST"), "127.0.0.1:8080");
  EXPECT_EQ(req->HeaderCount("Content-Length"), 2u);
  EXPECT_TRUE(req->HasHeader("empty"));
  EXPECT_EQ(req->Header("Empty"), "");
  EXPECT_FALSE(req->HasHeader("Origin"));
  EXPECT_TRUE(req->body.empty());
}

TEST(HttpRequestHead, WhatHttpDoesNotAllowIsRefused) {
  const struct {
    const char* name;
    std::string head;
  } cases[] = {
      {"empty", ""},
      {"no version", "GET /\r\n"},
      {"two spaces", "GET  / HTTP/1.1\r\n"},
      {"trailing space", "GET / HTTP/1.1 \r\n"},
      {"absolute target", "GET http://x/ HTTP/1.1\r\n"},
      {"asterisk", "OPTIONS * HTTP/1.1\r\n"},
      {"HTTP/2", "GET / HTTP/2.0\r\n"},
      {"method not a token", "G(T / HTTP/1.1\r\n"},
      {"control byte in the target", std::string("GET /\x01 HTTP/1.1\r\n")},
      {"folded header", "GET / HTTP/1.1\r\nA: b\r\n c\r\n"},
      {"no colon", "GET / HTTP/1.1\r\nNo colon\r\n"},
      {"space in the name", "GET / HTTP/1.1\r\nBad Name: x\r\n"},
      {"space before the colon", "GET / HTTP/1.1\r\nHost : x\r\n"},
      {"bare LF", "GET / HTTP/1.1\r\nA: b\nC: d\r\n"},
      {"bare CR", "GET / HTTP/1.1\r\nA: b\rC: d\r\n"},
      {"NUL in a value", std::string("GET / HTTP/1.1\r\nA: b\0c\r\n", 25)},
      {"no CRLF at the end", "GET / HTTP/1.1\r\nA: b"},
  };
  for (const auto& c : cases) {
    std::string error;
    EXPECT_FALSE(ParseRequestHead(c.head, error)) << c.name;
    EXPECT_FALSE(error.empty()) << c.name;
  }
  // Bytes above 0x7F are text (UTF-8 or not): the owner judges them.
  std::string error;
  EXPECT_TRUE(ParseRequestHead("GET /\xC3\xA4 HTTP/1.0\r\nA: \xC2\xB2\r\n", error)) << error;
}

TEST(HttpRequestHead, PercentDecoding) {
  const struct {
    const char* text;
    bool plusIsSpace;
    const char* decoded;
  } cases[] = {
      {"%41+b", false, "A+b"}, {"%41+b", true, "A b"}, {"%zz%4", true, "%zz%4"},
      {"%", false, "%"},       {"a%2", false, "a%2"},  {"%e2%82%AC", false, "\xE2\x82\xAC"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(devserver::PercentDecode(c.text, c.plusIsSpace), c.decoded) << c.text;
  }
  EXPECT_EQ(devserver::PercentDecode("%00", false), std::string("\0", 1));
}

TEST(HttpResponseHead, TheServerOwnsLengthAndConnection) {
  devserver::HttpResponse res;
  res.status = 404;
  res.SetContent("nix", "text/plain");
  res.SetHeader("content-type", "text/html");  // replaces, whatever its case
  res.SetHeader("Connection", "keep-alive");   // not the owner's to say
  res.SetHeader("Content-Length", "99");
  res.SetHeader("X-Own", "1");
  const HttpFields defaults{{"X-Own", "default"}, {"Cache-Control", "no-store"}};
  EXPECT_EQ(devserver::ResponseHead(res, defaults),
            "HTTP/1.1 404 Not Found\r\n"
            "Content-Type: text/html\r\n"
            "X-Own: 1\r\n"
            "Cache-Control: no-store\r\n"
            "Content-Length: 3\r\n"
            "Connection: close\r\n\r\n");
  EXPECT_EQ(devserver::ReasonPhrase(299), "Status");
}

}  // namespace
