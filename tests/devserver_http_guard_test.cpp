// The dev server's HTTP side (the playground page and the webhook echo) under
// a hostile or careless peer on loopback: refused requests are answered and
// closed without their bodies being read, heads that trickle in cannot stop
// the page, what the page serves is bounded after escaping, the log file that
// holds the page's link is its owner's alone, and the link appears only once
// every port is bound. Each probe runs a few seconds at most; the memory
// probes stream their bodies and look at the server's resident memory.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "devserver/loopback_http.h"
#include "devserver/playground.h"
#include "devserver/webhook_echo.h"
#include "support/dev_process.h"
#include "support/dev_server_test.h"
#include "support/harness.h"
#include "support/text_shape.h"

namespace {

using json = nlohmann::json;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr long kMaxGrowthKib = 50 * 1024;

// A TCP connection to 127.0.0.1 whose every wait has a deadline.
class Connection {
 public:
  explicit Connection(std::uint16_t port) : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  }
  ~Connection() { ::close(fd_); }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  bool connected() const { return connected_; }
  // False once the peer has closed (or reset) the connection.
  bool Send(std::string_view data) {
    while (!data.empty()) {
      pollfd p{fd_, POLLOUT, 0};
      if (::poll(&p, 1, 2000) <= 0) return false;
      ssize_t n = ::send(fd_, data.data(), data.size(), MSG_NOSIGNAL);
      if (n <= 0) return false;
      data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
  }
  // Everything until the peer closes or `timeout` passes; `ended` says which.
  std::string ReadAll(std::chrono::milliseconds timeout, bool* ended = nullptr) {
    std::string data;
    auto deadline = Clock::now() + timeout;
    for (;;) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      pollfd p{fd_, POLLIN, 0};
      if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
      char buffer[4096];
      ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
      if (n <= 0) {
        if (ended) *ended = true;
        return data;
      }
      data.append(buffer, static_cast<std::size_t>(n));
    }
    if (ended) *ended = false;
    return data;
  }

 private:
  int fd_;
  bool connected_ = false;
};

int StatusOf(const std::string& answer) {
  return qbtest::AfterShape(answer, "HTTP/1.1 ### ") ? std::stoi(answer.substr(9, 3)) : 0;
}

class HttpGuard : public qbtest::DevServerTest {
 protected:
  // The dev server with the page and the echo; their ports from its output.
  void Start(std::vector<std::string> extra = {}) {
    extra.insert(extra.begin(), {"--webhook-echo", "0", "--ui", "0"});
    ASSERT_NO_FATAL_FAILURE(DevServerTest::Start(extra));
    auto echo = FindLine("Webhook echo listening on 127.0.0.1:");
    ASSERT_TRUE(echo);
    echoPort_ = static_cast<std::uint16_t>(std::stoi(echo->substr(echo->rfind(':') + 1)));
    auto link = FindLine("Playground at http://127.0.0.1:");
    ASSERT_TRUE(link);
    // "... at http://127.0.0.1:<port>/?token=<64 hex digits>"
    auto port = qbtest::NumberBetween(*link, "http://127.0.0.1:", "/?token=");
    ASSERT_TRUE(port) << *link;
    pagePort_ = static_cast<std::uint16_t>(*port);
    token_ = link->substr(link->find("/?token=") + 8);
    ASSERT_EQ(token_.size(), 64u) << *link;
    ASSERT_EQ(token_.find_first_not_of("0123456789abcdef"), std::string::npos) << *link;
  }

  void TearDown() override {
    if (server_ && !stopped_) {
      EXPECT_EQ(Stop(), 0);
    }
    DevServerTest::TearDown();
  }

  std::string PageHead(const std::string& method, const std::string& path, bool withToken) const {
    std::string host = "127.0.0.1:" + std::to_string(pagePort_);
    std::string head = method + " " + path + " HTTP/1.1\r\nHost: " + host + "\r\n";
    if (withToken) head += "X-Playground-Token: " + token_ + "\r\nOrigin: http://" + host + "\r\n";
    return head;
  }

  std::uint16_t pagePort_ = 0, echoPort_ = 0;
  std::string token_;
};

// ------------------------------------------------- refused before the body

struct BodyCase {
  const char* name;
  bool toPage;  // else the echo
  bool withToken;
  bool chunked;
  std::size_t declared;  // Content-Length, unless chunked
  int status;
};

TEST_F(HttpGuard, ARefusedBodyIsNeverReadAndItsConnectionCloses) {
  Start();
  const BodyCase cases[] = {
      {"page, no token, 200 MB declared", true, false, false, 200u << 20, 403},
      {"page, token, 200 MB declared", true, true, false, 200u << 20, 413},
      {"page, token, chunked", true, true, true, 0, 411},
      {"echo, 50 MB declared", false, false, false, 50u << 20, 413},
      {"echo, chunked", false, false, true, 0, 411},
  };
  const std::string chunk(64 * 1024, 'A');
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string head = c.toPage ? PageHead("POST", "/api/join", c.withToken)
                                : "POST /plugin/chat HTTP/1.1\r\nHost: 127.0.0.1\r\n";
    head += "Content-Type: text/plain\r\n";
    head += c.chunked ? "Transfer-Encoding: chunked\r\n"
                      : "Content-Length: " + std::to_string(c.declared) + "\r\n";
    head += "\r\n";
    Connection conn(c.toPage ? pagePort_ : echoPort_);
    ASSERT_TRUE(conn.connected());
    const long before = server_->ResidentKib();
    // The body streams while the answer is awaited, as a browser sends it.
    std::atomic<std::size_t> sent{0};
    std::thread body([&] {
      if (!conn.Send(head)) return;
      const std::size_t total = c.chunked ? 200u << 20 : c.declared;
      std::string piece = c.chunked ? "10000\r\n" + chunk + "\r\n" : chunk;
      while (sent < total && conn.Send(piece)) sent += chunk.size();
    });
    bool ended = false;
    std::string answer = conn.ReadAll(5s, &ended);
    body.join();
    const long growth = server_->ResidentKib() - before;
    server_->Lines();  // keeps the server's output pipe flowing

    EXPECT_EQ(StatusOf(answer), c.status) << answer.substr(0, 200);
    EXPECT_NE(answer.find("Connection: close\r\n"), std::string::npos) << answer.substr(0, 300);
    EXPECT_TRUE(ended) << "the connection stayed open after the answer";
    EXPECT_LT(sent.load(), std::size_t{50} << 20) << "the server took the body in";
    EXPECT_LT(growth, kMaxGrowthKib) << "resident memory grew by " << growth << " KiB";
  }
  // One line for each refusal at the echo.
  auto lines = server_->Lines();
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [](const std::string& l) {
                            return l.find("WEBHOOK POST /plugin/chat refused=") == 0;
                          }),
            2);
}

TEST_F(HttpGuard, TheEchosBodyLimitCanBeSetAndLongBodiesArePrintedClipped) {
  Start({"--webhook-echo-max-body", "100000"});
  auto post = [&](std::size_t size) {
    Connection conn(echoPort_);
    conn.Send("POST /plugin/chat HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: " +
              std::to_string(size) + "\r\n\r\n" + std::string(size, 'x'));
    return StatusOf(conn.ReadAll(5s));
  };
  EXPECT_EQ(post(100000), 200);
  auto line = server_->Expect("WEBHOOK POST /plugin/chat");
  ASSERT_TRUE(line);
  EXPECT_EQ(*line, "WEBHOOK POST /plugin/chat bearer=no left_out=" +
                       std::to_string(100000 - devserver::kPrintedBody) +
                       " body=" + std::string(devserver::kPrintedBody, 'x'));
  EXPECT_EQ(post(100001), 413);
  line = server_->Expect("WEBHOOK POST /plugin/chat");
  ASSERT_TRUE(line);
  EXPECT_EQ(*line,
            "WEBHOOK POST /plugin/chat refused=413 body of 100001 bytes is over the limit of "
            "100000 bytes");
}

// ------------------------------------------------------- trickling heads

TEST_F(HttpGuard, HeadsThatTrickleInCannotStopThePage) {
  Start();
  // Sixteen peers that send one header line every 200 ms and never finish.
  std::vector<std::unique_ptr<Connection>> slow;
  for (int i = 0; i < 16; ++i) {
    slow.push_back(std::make_unique<Connection>(pagePort_));
    ASSERT_TRUE(slow.back()->Send(PageHead("GET", "/api/state", true)));
  }
  std::atomic<bool> stop{false};
  std::thread trickle([&] {
    for (int n = 0; !stop; ++n) {
      for (auto& c : slow) c->Send("X-Slow-" + std::to_string(n) + ": x\r\n");
      std::this_thread::sleep_for(200ms);
    }
  });
  const auto started = Clock::now();
  // The page's own requests meanwhile.
  Clock::duration slowest{};
  for (int i = 0; i < 6; ++i) {
    Connection own(pagePort_);
    auto sentAt = Clock::now();
    ASSERT_TRUE(own.Send(PageHead("GET", "/api/state?since=0", true) + "\r\n"));
    std::string answer = own.ReadAll(5s);
    slowest = std::max(slowest, Clock::now() - sentAt);
    EXPECT_EQ(StatusOf(answer), 200) << answer.substr(0, 200);
    std::this_thread::sleep_for(150ms);
  }
  EXPECT_LT(slowest, 2s) << "the page's slowest answer took "
                         << std::chrono::duration_cast<std::chrono::milliseconds>(slowest).count()
                         << " ms";
  // The deadline for a request's head closes every trickling peer.
  const auto deadline = devserver::HttpLimits{}.readDeadline;
  for (auto& c : slow) {
    bool ended = false;
    c->ReadAll(std::chrono::duration_cast<std::chrono::milliseconds>(deadline + 2s -
                                                                     (Clock::now() - started)),
               &ended);
    EXPECT_TRUE(ended) << "a trickling head was still open after the deadline";
  }
  stop = true;
  trickle.join();
}

// ------------------------------------------------ the log file, the link

TEST_F(HttpGuard, TheLogFileWithTheLinkIsReadableByItsOwnerAlone) {
  // Left readable by everybody, as an earlier version created it.
  fs::create_directories(root_->path() / "logs");
  const fs::path log = root_->path() / "logs" / "devserver.log";
  std::ofstream(log) << "earlier run\n";
  fs::permissions(log, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                           fs::perms::others_read);
  Start();
  struct stat st {};
  ASSERT_EQ(::stat(log.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  std::ifstream in(log);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_NE(text.find("earlier run"), std::string::npos) << "the log is appended to";
  EXPECT_NE(text.find("Playground at http://127.0.0.1:"), std::string::npos);
}

TEST_F(HttpGuard, APortInUseIsOneErrorAndNoLink) {
  // A port of the test's own, listening, for each listener in turn.
  int taken = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  ASSERT_EQ(::bind(taken, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(taken, 1), 0);
  ::getsockname(taken, reinterpret_cast<sockaddr*>(&address), &size);
  const std::string port = std::to_string(ntohs(address.sin_port));
  const struct {
    const char* option;
    const char* says;
  } cases[] = {{"--webhook-echo", "the webhook echo cannot listen on 127.0.0.1:"},
               {"--rcon-port", "RCON cannot listen on 127.0.0.1:"},
               {"--ui", "the playground cannot listen on 127.0.0.1:"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.option);
    std::vector<std::string> args{"--root",
                                  root_->path().string(),
                                  "--rcon-password",
                                  "pw",
                                  "--rcon-port",
                                  "0",
                                  "--webhook-echo",
                                  "0",
                                  "--ui",
                                  "0",
                                  c.option,
                                  port};
    qbtest::ChildProcess server(QB_DEVSERVER_PATH, args);
    auto code = server.WaitExit();
    ASSERT_TRUE(code);
    EXPECT_EQ(*code, 1);
    auto lines = server.Lines();
    std::vector<std::string> errors;
    for (const auto& line : lines) {
      EXPECT_EQ(line.find("Playground at"), std::string::npos) << line;
      if (line.find(" error: ") != std::string::npos) errors.push_back(line);
    }
    ASSERT_EQ(errors.size(), 1u) << ::testing::PrintToString(lines);
    EXPECT_NE(errors[0].find(c.says + port), std::string::npos) << errors[0];
  }
  ::close(taken);
}

// ------------------------------------------- what the page serves, bounded

TEST(PlaygroundAnswers, EntriesAreBoundedAfterEscapingAndAnswersComeInPages) {
  devserver::PlaygroundRecords records;
  // Control bytes take six bytes each once escaped.
  const std::string controls(64 * 1024, '\x01');
  for (int i = 0; i < 300; ++i) records.Webhook({"POST", std::string(5000, '\x02'), "", controls});
  records.Log(spdlog::level::info, std::string(20000, '"'));

  std::size_t entries = 0, pages = 0;
  std::uint64_t since = 0;
  for (;;) {
    std::string text = records.Since(since);
    ++pages;
    EXPECT_LE(text.size(), devserver::PlaygroundRecords::kMaxAnswer + 20 * 1024 + 64 * 1024);
    json state = json::parse(text);
    for (const char* region : {"chat", "webhooks", "log"}) {
      for (const auto& entry : state[region]) {
        ++entries;
        EXPECT_LE(entry.dump().size(), 20u * 1024);
      }
    }
    ASSERT_GT(state["seq"].get<std::uint64_t>(), since);
    since = state["seq"];
    if (!state.value("more", false)) break;
    ASSERT_LT(pages, 100u);
  }
  EXPECT_EQ(entries, 301u) << "every entry once, none twice";
  EXPECT_GE(pages, 2u);

  json first = json::parse(records.Since(0));
  std::string body = first["webhooks"][0]["body"];
  EXPECT_NE(body.find("more bytes)"), std::string::npos);
  EXPECT_EQ(body.find_first_not_of('\x01'), (devserver::PlaygroundRecords::kMaxField / 6));
}

// In-process: the routine itself, with limits small enough to reach.
TEST(LoopbackHttpServer, ConnectionsBeyondTheBoundAreClosedAndStopEndsTheRest) {
  devserver::HttpLimits limits;
  limits.maxConnections = 2;
  limits.readDeadline = 10s;  // longer than the test: Stop must end them
  devserver::HttpService service;
  service.handle = [](const devserver::HttpRequest&, devserver::HttpResponse& res) {
    res.SetContent("hi", "text/plain");
  };
  devserver::LoopbackHttpServer server(service, limits);
  const std::uint16_t port = server.Start(0, "the test server");
  Connection first(port), second(port);
  ASSERT_TRUE(first.connected() && second.connected());
  // Accepted in order: when the third is taken, the first two are served.
  Connection third(port);
  bool ended = false;
  EXPECT_EQ(third.ReadAll(2s, &ended), "");
  EXPECT_TRUE(ended) << "a connection over the bound was kept";

  // A request on a kept connection is answered, and its connection closes.
  ASSERT_TRUE(first.Send("GET / HTTP/1.1\r\nHost: x\r\n\r\n"));
  std::string answer = first.ReadAll(2s, &ended);
  EXPECT_EQ(StatusOf(answer), 200);
  EXPECT_NE(answer.find("Connection: close\r\n"), std::string::npos);
  EXPECT_TRUE(ended);

  const auto stopping = Clock::now();
  server.Stop();
  EXPECT_LT(Clock::now() - stopping, 2s) << "Stop waited for an idle connection's deadline";
  second.ReadAll(1s, &ended);
  EXPECT_TRUE(ended);
  devserver::LoopbackHttpServer again(service);
  EXPECT_EQ(again.Start(port, "the same port again"), port) << "Stop released the port";
}

// What the server itself answers from a head, before any handler runs, and
// the parts of HTTP it takes on itself.
TEST(LoopbackHttpServer, AnswersFromTheHeadAndTheBodyItRead) {
  devserver::HttpLimits limits;
  limits.maxHead = 1024;
  limits.maxBody = 100;
  devserver::HttpService service;
  service.handle = [](const devserver::HttpRequest& req, devserver::HttpResponse& res) {
    if (req.path == "/throw") throw std::runtime_error("handler failed");
    res.SetContent("got " + req.method + " " + req.body, "text/plain");
  };
  service.headers = {{"X-Default", "d"}};
  devserver::LoopbackHttpServer server(service, limits);
  const std::uint16_t port = server.Start(0, "the test server");
  const struct {
    const char* name;
    std::string request;
    int status;
    const char* body;  // the answer's, after its head
  } cases[] = {
      {"a head over the limit", "GET / HTTP/1.1\r\nX: " + std::string(1100, 'x') + "\r\n\r\n", 431,
       "the request head is over 1024 bytes\n"},
      {"malformed", "GET / HTTP/2.0\r\n\r\n", 400, "not HTTP/1.0 or 1.1\n"},
      {"POST without a length", "POST / HTTP/1.1\r\n\r\n", 411, "a Content-Length is needed\n"},
      {"a body over the limit", "POST / HTTP/1.1\r\nContent-Length: 101\r\n\r\n", 413,
       "body of 101 bytes is over the limit of 100 bytes\n"},
      {"a handler that throws", "GET /throw HTTP/1.1\r\n\r\n", 500, "handler failed\n"},
      {"HEAD: the length, no body", "HEAD / HTTP/1.1\r\n\r\n", 200, ""},
      {"a body in pieces", "POST / HTTP/1.0\r\nContent-Length: 5\r\n\r\nab", 200, "got POST abcde"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Connection conn(port);
    ASSERT_TRUE(conn.Send(c.request));
    if (c.request.ends_with("ab")) {
      std::this_thread::sleep_for(50ms);  // the rest arrives later, as a slow peer sends it
      conn.Send("cde");
    }
    bool ended = false;
    std::string answer = conn.ReadAll(2s, &ended);
    EXPECT_EQ(StatusOf(answer), c.status) << answer;
    EXPECT_TRUE(ended);
    EXPECT_NE(answer.find("X-Default: d\r\n"), std::string::npos) << answer;
    EXPECT_NE(answer.find("Connection: close\r\n"), std::string::npos) << answer;
    const std::size_t end = answer.find("\r\n\r\n");
    ASSERT_NE(end, std::string::npos) << answer;
    EXPECT_EQ(answer.substr(end + 4), c.body);
  }
  // HEAD says how long its body would be.
  Connection head(port);
  head.Send("HEAD / HTTP/1.1\r\n\r\n");
  EXPECT_NE(head.ReadAll(2s).find("Content-Length: 9\r\n"), std::string::npos);

  // Expect: 100-continue gets the interim answer before the body is sent.
  Connection expect(port);
  ASSERT_TRUE(expect.Send("PUT / HTTP/1.1\r\nContent-Length: 3\r\nExpect: 100-continue\r\n\r\n"));
  EXPECT_EQ(expect.ReadAll(300ms), "HTTP/1.1 100 Continue\r\n\r\n");
  ASSERT_TRUE(expect.Send("abc"));
  std::string answer = expect.ReadAll(2s);
  EXPECT_EQ(StatusOf(answer), 200) << answer;
  EXPECT_TRUE(answer.ends_with("got PUT abc")) << answer;
}

TEST(WebhookLine, ClipsLongBodiesAtACharacterBoundary) {
  const std::size_t n = devserver::kPrintedBody;
  const struct {
    std::string body;
    std::string line;
  } cases[] = {
      {std::string(n, 'a'), "WEBHOOK POST /p bearer=no body=" + std::string(n, 'a')},
      {std::string(n + 1, 'a'), "WEBHOOK POST /p bearer=no left_out=1 body=" + std::string(n, 'a')},
      // "ä" (two bytes) across the cut goes whole to the bytes left out.
      {std::string(n - 1, 'a') + "\xC3\xA4",
       "WEBHOOK POST /p bearer=no left_out=2 body=" + std::string(n - 1, 'a')},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(devserver::WebhookLine({"POST", "/p", "", c.body}), c.line);
  }
}

TEST(BodyRefusal, IsJudgedFromTheHead) {
  const struct {
    const char* method;
    std::vector<std::pair<std::string, std::string>> headers;
    int status;  // 0: accepted
  } cases[] = {
      {"POST", {{"Content-Length", "10"}}, 0},
      {"POST", {{"Content-Length", "100"}}, 0},
      {"POST", {{"Content-Length", "101"}}, 413},
      {"POST", {{"Content-Length", "99999999999999999999999"}}, 400},
      {"POST", {{"Content-Length", "\xC2\xB2"}}, 400},
      {"POST", {{"Content-Length", "-1"}}, 400},
      {"POST", {{"Content-Length", "1"}, {"Content-Length", "1"}}, 400},
      {"POST", {}, 411},
      {"DELETE", {}, 411},
      {"POST", {{"Transfer-Encoding", "chunked"}}, 411},
      {"GET", {}, 0},
      {"GET", {{"Transfer-Encoding", "chunked"}}, 411},
  };
  for (const auto& c : cases) {
    devserver::HttpRequest req;
    req.method = c.method;
    for (const auto& [name, value] : c.headers) req.headers.emplace_back(name, value);
    auto refusal = devserver::BodyRefusal(req, 100);
    EXPECT_EQ(refusal ? refusal->status : 0, c.status)
        << c.method << " " << ::testing::PrintToString(c.headers);
  }
}

}  // namespace
