#include "devserver/playground.h"

#include <sys/random.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <ctime>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "devserver/loopback_http.h"
#include "devserver/playground_files.h"
#include "qbhost/escape.h"
#include "qbhost/sinks.h"

namespace devserver {
namespace {

using nlohmann::json;

// Only the page's own files; no inline script, style or handler runs.
constexpr const char* kCsp =
    "default-src 'none'; script-src 'self'; style-src 'self'; connect-src 'self'; "
    "img-src 'self'; base-uri 'none'; form-action 'self'; frame-ancestors 'none'";
constexpr const char* kTokenHeader = "X-Playground-Token";

// Records hold text from anywhere (console escapes, plug-ins): serialising
// must never throw on bytes that are not UTF-8.
std::string Dump(const json& value) {
  return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

// What the first character of `text` costs once serialised: JSON escapes
// quotes, backslashes and control bytes (most of these as \u00XX).
std::size_t SerialisedCost(std::string_view text, std::size_t& length) {
  const auto c = static_cast<unsigned char>(text[0]);
  length = 1;
  if (c == '"' || c == '\\' || c == '\b' || c == '\f' || c == '\n' || c == '\r' || c == '\t') {
    return 2;
  }
  if (c < 0x20) return 6;
  if (c < 0x80) return 1;
  // A byte that starts no well-formed sequence becomes U+FFFD, three bytes.
  char32_t cp = 0;
  length = qbhost::DecodeUtf8(text, cp);
  if (length == 0) {
    length = 1;
    return 3;
  }
  return length;
}

// Keeps as much of `text` as serialises to at most `limit` bytes, cut at a
// character boundary, and says how much is missing. Bounding the serialised
// size, not the raw one, matters: a control byte takes six.
std::string Clip(std::string_view text, std::size_t limit = PlaygroundRecords::kMaxField) {
  std::size_t cost = 0;
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t length = 0;
    std::size_t next = SerialisedCost(text.substr(at), length);
    if (cost + next > limit) break;
    cost += next;
    at += length;
  }
  if (at == text.size()) return std::string(text);
  return std::string(text.substr(0, at)) + "\u2026 (" + std::to_string(text.size() - at) +
         " more bytes)";
}

std::string ClipName(std::string_view text) {
  return Clip(text, PlaygroundRecords::kMaxName);
}

std::string LocalTime() {
  auto now = std::chrono::system_clock::now();
  std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()) % 1000;
  std::tm tm{};
  localtime_r(&seconds, &tm);
  char text[32];
  std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03d", tm.tm_hour, tm.tm_min, tm.tm_sec,
                static_cast<int>(ms.count()));
  return text;
}

std::string Base64(std::string_view bytes) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 2 < bytes.size(); i += 3) {
    auto n = static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i])) << 16 |
             static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8 |
             static_cast<unsigned char>(bytes[i + 2]);
    out += kAlphabet[n >> 18 & 63];
    out += kAlphabet[n >> 12 & 63];
    out += kAlphabet[n >> 6 & 63];
    out += kAlphabet[n & 63];
  }
  if (std::size_t rest = bytes.size() - i; rest > 0) {
    auto n = static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i])) << 16;
    if (rest == 2) n |= static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8;
    out += kAlphabet[n >> 18 & 63];
    out += kAlphabet[n >> 12 & 63];
    out += rest == 2 ? kAlphabet[n >> 6 & 63] : '=';
    out += '=';
  }
  return out;
}

// Compares without stopping at the first difference, so the time of a wrong
// guess says nothing about how much of it was right.
bool SameText(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  unsigned char diff = 0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    diff |= static_cast<unsigned char>(a[i] ^ b[i]);
  }
  return diff == 0;
}

void Deny(HttpResponse& res, const std::string& why) {
  res.status = 403;
  res.SetContent("Forbidden: " + why + "\n", "text/plain; charset=utf-8");
}

void Answer(HttpResponse& res, int status, const json& body) {
  res.status = status;
  res.SetContent(Dump(body), "application/json; charset=utf-8");
}

class RecordsSink final : public qbhost::TextSink {
 public:
  explicit RecordsSink(std::shared_ptr<PlaygroundRecords> records) : records_(std::move(records)) {}

 protected:
  void WriteLine(spdlog::level::level_enum level, std::string_view line) override {
    records_->Log(level, line);
  }

 private:
  std::shared_ptr<PlaygroundRecords> records_;
};

// A request's JSON field as text: absent is empty, another type is an error.
std::string TextField(const json& body, const char* key) {
  auto it = body.find(key);
  if (it == body.end() || it->is_null()) return {};
  if (!it->is_string()) throw std::invalid_argument(std::string(key) + " must be text");
  return it->get<std::string>();
}

}  // namespace

// ------------------------------------------------------------------ records

PlaygroundRecords::PlaygroundRecords(std::size_t perRegion) : perRegion_(perRegion) {}

void PlaygroundRecords::AddLocked(Region& region, std::string text) {
  region.push_back(std::make_shared<const Entry>(Entry{seq_, std::move(text)}));
  while (region.size() > perRegion_) region.pop_front();
}

void PlaygroundRecords::PlayerJoined(std::string_view name, std::string_view character,
                                     bool hasState) {
  std::lock_guard lock(mutex_);
  players_.push_back({std::string(name), std::string(character), hasState});
  playersSeq_ = ++seq_;
}

void PlaygroundRecords::PlayerLeft(std::string_view name) {
  std::lock_guard lock(mutex_);
  auto it = std::find_if(players_.begin(), players_.end(),
                         [&](const Player& p) { return p.name == name; });
  if (it == players_.end()) return;
  players_.erase(it);
  playersSeq_ = ++seq_;
}

void PlaygroundRecords::AddReceivedLocked(const HeldLine& line) {
  ++seq_;
  AddLocked(chat_, Dump({{"seq", seq_},
                         {"kind", "received"},
                         {"to", ClipName(line.to)},
                         {"from", ClipName(line.from)},
                         {"text", Clip(line.text)}}));
}

void PlaygroundRecords::Received(std::string_view to, std::string_view from,
                                 std::string_view text) {
  std::lock_guard lock(mutex_);
  HeldLine line{std::string(to), std::string(from), std::string(text)};
  if (!holding_) {
    AddReceivedLocked(line);
    return;
  }
  held_.push_back(std::move(line));
  while (held_.size() > perRegion_) held_.pop_front();
}

void PlaygroundRecords::BeginSaid() {
  std::lock_guard lock(mutex_);
  // Lines held by a chat that never ended (it threw) are not lost.
  for (const auto& line : held_) AddReceivedLocked(line);
  held_.clear();
  holding_ = true;
}

void PlaygroundRecords::EndSaid(std::string_view player, std::string_view text, int mode,
                                bool command, bool suppressed) {
  std::lock_guard lock(mutex_);
  ++seq_;
  AddLocked(chat_, Dump({{"seq", seq_},
                         {"kind", "said"},
                         {"player", ClipName(player)},
                         {"text", Clip(text)},
                         {"mode", mode},
                         {"command", command},
                         {"suppressed", suppressed}}));
  for (const auto& line : held_) AddReceivedLocked(line);
  held_.clear();
  holding_ = false;
}

void PlaygroundRecords::Webhook(const WebhookRequest& request) {
  std::string time = LocalTime();
  std::lock_guard lock(mutex_);
  ++seq_;
  AddLocked(webhooks_, Dump({{"seq", seq_},
                             {"time", time},
                             {"method", ClipName(request.method)},
                             {"path", ClipName(request.path)},
                             {"bearer", HasBearer(request.authorization)},
                             {"body", Clip(request.body)}}));
}

void PlaygroundRecords::Log(spdlog::level::level_enum level, std::string_view line) {
  auto name = spdlog::level::to_string_view(level);
  std::lock_guard lock(mutex_);
  ++seq_;
  AddLocked(log_, Dump({{"seq", seq_},
                        {"level", std::string(name.data(), name.size())},
                        {"text", Clip(line)}}));
}

void PlaygroundRecords::Append(std::string& out, const Region& region) {
  out += '[';
  for (std::size_t i = 0; i < region.size(); ++i) {
    if (i > 0) out += ',';
    out += region[i]->json;
  }
  out += ']';
}

std::string PlaygroundRecords::Since(std::uint64_t since) const {
  // Copy the (shared, immutable) entries under the lock; build the text
  // outside it, so that writers never wait for a large answer.
  Region chat, webhooks, log;
  std::vector<Player> players;
  std::size_t playerCount = 0;
  bool withPlayers = false;
  std::uint64_t seq = 0;
  {
    std::lock_guard lock(mutex_);
    if (since > seq_) since = 0;
    seq = seq_;
    auto newer = [since](const Region& region, Region& out) {
      auto first = std::partition_point(region.begin(), region.end(),
                                        [since](const auto& e) { return e->seq <= since; });
      out.assign(first, region.end());
    };
    newer(chat_, chat);
    newer(webhooks_, webhooks);
    newer(log_, log);
    withPlayers = playersSeq_ > since || since == 0;
    if (withPlayers) {
      playerCount = players_.size();
      auto shown = std::min(players_.size(), perRegion_);
      players.assign(players_.begin(), players_.begin() + static_cast<std::ptrdiff_t>(shown));
    }
  }
  // Oldest first over the three regions until the budget is spent.
  std::size_t taken[3] = {0, 0, 0};
  Region* regions[3] = {&chat, &webhooks, &log};
  bool more = false;
  for (std::size_t spent = 0;;) {
    int next = -1;
    for (int r = 0; r < 3; ++r) {
      if (taken[r] < regions[r]->size() &&
          (next < 0 || (*regions[r])[taken[r]]->seq < (*regions[next])[taken[next]]->seq)) {
        next = r;
      }
    }
    if (next < 0) break;
    const Entry& entry = *(*regions[next])[taken[next]];
    if (spent > 0 && spent + entry.json.size() > kMaxAnswer) {
      more = true;
      seq = entry.seq - 1;
      break;
    }
    spent += entry.json.size();
    ++taken[next];
  }
  for (int r = 0; r < 3; ++r) regions[r]->resize(taken[r]);

  std::string out = "{\"seq\":" + std::to_string(seq);
  if (more) out += ",\"more\":true";
  if (withPlayers) {
    json list = json::array();
    for (const auto& p : players) {
      list.push_back({{"name", ClipName(p.name)},
                      {"character", ClipName(p.character)},
                      {"hasState", p.hasState}});
    }
    out += ",\"players\":" + Dump(list) + ",\"playerCount\":" + std::to_string(playerCount);
  }
  out += ",\"chat\":";
  Append(out, chat);
  out += ",\"webhooks\":";
  Append(out, webhooks);
  out += ",\"log\":";
  Append(out, log);
  out += '}';
  return out;
}

// ------------------------------------------------------------------ helpers

std::string RandomToken() {
  unsigned char bytes[32];
  std::size_t filled = 0;
  while (filled < sizeof bytes) {
    ssize_t got = getrandom(bytes + filled, sizeof bytes - filled, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      throw std::runtime_error(std::string("no random bytes from the OS: ") + std::strerror(errno));
    }
    filled += static_cast<std::size_t>(got);
  }
  static constexpr char kHex[] = "0123456789abcdef";
  std::string token;
  for (unsigned char b : bytes) {
    token += kHex[b >> 4];
    token += kHex[b & 15];
  }
  return token;
}

std::string SayPayload(std::string_view sender, std::string_view message) {
  json payload = {{"sender", std::string(sender)}, {"message", std::string(message)}};
  return Base64(payload.dump());
}

// ------------------------------------------------------------------ server

Playground::Playground(PlaygroundGame game, std::string token)
    : game_(std::move(game)), token_(std::move(token)) {}

Playground::~Playground() {
  Stop();
}

std::shared_ptr<spdlog::sinks::sink> Playground::LogSink() const {
  return std::make_shared<RecordsSink>(records_);
}

std::string Playground::Url() const {
  return "http://127.0.0.1:" + std::to_string(port_) + "/?token=" + token_;
}

bool Playground::Allowed(const HttpRequest& req, HttpResponse& res) const {
  // A page elsewhere can make the browser send requests here, and a DNS name
  // that it controls can point at 127.0.0.1: only our own names count.
  const std::string port = std::to_string(port_);
  const std::string host = req.Header("Host");
  if (host != "127.0.0.1:" + port && host != "localhost:" + port) {
    Deny(res, "Host must be 127.0.0.1:" + port + " or localhost:" + port);
    return false;
  }
  std::string token = req.Header(kTokenHeader);
  if (token.empty()) token = req.Param("token");
  if (!SameText(token, token_)) {
    Deny(res, "missing or wrong token (open the link the dev server printed)");
    return false;
  }
  if (req.method == "GET" || req.method == "HEAD") return true;
  if (req.method != "POST") {
    Deny(res, "only GET and POST");
    return false;
  }
  if (req.Header("Origin") != "http://" + host) {
    Deny(res, "changes need this page's own Origin");
    return false;
  }
  return true;
}

bool Playground::OnGame(const std::function<std::string()>& action, std::string& result,
                        HttpResponse& res) {
  struct Slot {
    bool done = false;
    std::string result;
  };
  auto slot = std::make_shared<Slot>();
  auto waits = waits_;
  {
    std::lock_guard lock(waits->mutex);
    if (waits->stopping) {
      Answer(res, 503, {{"error", "the dev server is stopping"}});
      return false;
    }
  }
  game_.post([slot, waits, action] {
    std::string text;
    try {
      text = action();
    } catch (const std::exception& e) {
      text = std::string("ERROR ") + e.what();
    }
    {
      std::lock_guard lock(waits->mutex);
      slot->result = std::move(text);
      slot->done = true;
    }
    waits->cv.notify_all();
  });
  std::unique_lock lock(waits->mutex);
  waits->cv.wait_for(lock, kGameWait, [&] { return slot->done || waits->stopping; });
  if (!slot->done) {
    Answer(res, 503,
           {{"error", waits->stopping ? "the dev server is stopping"
                                      : "the game loop did not answer within " +
                                            std::to_string(kGameWait.count()) + " s"}});
    return false;
  }
  result = slot->result;
  return true;
}

void Playground::Action(const std::string& what, const HttpRequest& req, HttpResponse& res) {
  std::function<std::string()> action;
  try {
    json body = req.body.empty() ? json::object() : json::parse(req.body);
    if (!body.is_object()) throw std::invalid_argument("the body must be a JSON object");
    if (what == "join" || what == "leave" || what == "chat") {
      ConsoleCommand c;
      c.player = TextField(body, "player");
      if (c.player.empty()) throw std::invalid_argument("player is missing");
      if (what == "join") {
        c.kind = ConsoleCommand::Kind::Join;
        c.character = TextField(body, "character");
      } else if (what == "leave") {
        c.kind = ConsoleCommand::Kind::Leave;
      } else {
        c.kind = ConsoleCommand::Kind::Chat;
        c.text = TextField(body, "text");
        auto mode = body.value("mode", json(0));
        if (mode.is_string()) {
          std::string m = mode.get<std::string>();
          mode = m.size() == 1 && m[0] >= '0' && m[0] <= '9' ? json(m[0] - '0') : json(m);
        }
        if (!mode.is_number_integer() || mode.get<int>() < 0 || mode.get<int>() > 3) {
          throw std::invalid_argument("mode must be 0, 1, 2 or 3");
        }
        c.mode = mode.get<int>();
        auto command = body.value("command", json(false));
        if (!command.is_boolean()) throw std::invalid_argument("command must be true or false");
        c.commandExecuted = command.get<bool>();
      }
      action = [run = game_.command, c] { return run(c); };
    } else if (what == "say") {
      std::string line =
          "quellmoorsay " + SayPayload(TextField(body, "sender"), TextField(body, "message"));
      action = [run = game_.rcon, line] { return run(line); };
    } else {
      action = game_.reload;
    }
  } catch (const std::exception& e) {
    Answer(res, 400, {{"error", e.what()}});
    return;
  }
  std::string reply;
  if (OnGame(action, reply, res)) Answer(res, 200, {{"reply", reply}});
}

void Playground::Handle(const HttpRequest& req, HttpResponse& res) {
  const std::string& path = req.path;
  if (req.method == "POST") {
    static constexpr std::string_view kApi = "/api/";
    const std::string what = path.substr(0, kApi.size()) == kApi ? path.substr(kApi.size()) : "";
    if (what == "join" || what == "leave" || what == "chat" || what == "say" || what == "reload") {
      Action(what, req, res);
      return;
    }
  } else if (path == "/") {
    // The page passes the token on: the script reads it from a meta element,
    // the page's own files carry it in their addresses.
    std::string page(PlaygroundFile("index.html"));
    const std::string mark = "{{token}}";
    for (std::size_t at; (at = page.find(mark)) != std::string::npos;) {
      page.replace(at, mark.size(), token_);
    }
    res.SetContent(page, "text/html; charset=utf-8");
    return;
  } else if (path == "/api/state") {
    std::uint64_t since = 0;
    std::string text = req.Param("since");
    auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), since);
    if (!text.empty() && (ec != std::errc() || ptr != text.data() + text.size())) {
      Answer(res, 400, {{"error", "since must be a number"}});
      return;
    }
    res.SetContent(records_->Since(since), "application/json; charset=utf-8");
    return;
  } else {
    static constexpr struct {
      const char* path;
      const char* name;
      const char* type;
    } kFiles[] = {{"/playground.js", "playground.js", "text/javascript; charset=utf-8"},
                  {"/playground.css", "playground.css", "text/css; charset=utf-8"},
                  {"/favicon.svg", "favicon.svg", "image/svg+xml"}};
    for (const auto& f : kFiles) {
      if (path == f.path) {
        res.SetContent(std::string(PlaygroundFile(f.name)), f.type);
        return;
      }
    }
  }
  Answer(res, 404, {{"error", "no such page or action"}});
}

std::uint16_t Playground::Start(std::uint16_t port) {
  if (token_.empty()) token_ = RandomToken();
  HttpService service;
  service.headers = {{"Content-Security-Policy", kCsp},
                     {"X-Content-Type-Options", "nosniff"},
                     {"Referrer-Policy", "no-referrer"},
                     {"Cache-Control", "no-store"}};
  // Everything is judged from the head: a refused request's body is never
  // read (its connection closes with the answer).
  service.head = [this](const HttpRequest& req, HttpResponse& res) {
    if (!Allowed(req, res)) return true;
    // The page sends small JSON bodies with a Content-Length, never chunked.
    if (auto refusal = BodyRefusal(req, kMaxBody)) {
      Answer(res, refusal->status, {{"error", refusal->reason}});
      return true;
    }
    return false;
  };
  service.handle = [this](const HttpRequest& req, HttpResponse& res) { Handle(req, res); };
  HttpLimits limits;
  limits.maxBody = kMaxBody;
  server_ = std::make_unique<LoopbackHttpServer>(std::move(service), limits);
  try {
    port_ = server_->Start(port, "the playground");
  } catch (...) {
    server_.reset();
    throw;
  }
  return port_;
}

void Playground::Stop() {
  if (!server_) return;
  {
    std::lock_guard lock(waits_->mutex);
    waits_->stopping = true;
  }
  waits_->cv.notify_all();
  server_->Stop();
  server_.reset();
}

}  // namespace devserver
