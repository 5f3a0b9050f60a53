// The dev server's bounds in-process: the console's hand-over queue and the
// digest of RCON connection lines.

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "devserver/rcon_digest.h"
#include "devserver/stdin_reader.h"
#include "qbhost/standin.h"
#include "support/capture_sink.h"

namespace {

using Item = devserver::StdinReader::Item;

class Pipe {
 public:
  Pipe() {
    if (pipe2(fds_, O_CLOEXEC) != 0) throw std::runtime_error("pipe2");
  }
  ~Pipe() {
    CloseWrite();
    close(fds_[0]);
  }
  int read() const { return fds_[0]; }
  int write() const { return fds_[1]; }
  void CloseWrite() {
    if (fds_[1] >= 0) close(fds_[1]);
    fds_[1] = -1;
  }
  void Write(const std::string& data) {
    std::size_t done = 0;
    while (done < data.size()) {
      ssize_t n = ::write(fds_[1], data.data() + done, data.size() - done);
      if (n <= 0) throw std::runtime_error("write");
      done += static_cast<std::size_t>(n);
    }
  }

 private:
  int fds_[2] = {-1, -1};
};

// Waits (bounded) until `take` returns something other than None.
Item Next(devserver::StdinReader& reader) {
  for (auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
       std::chrono::steady_clock::now() < end;) {
    Item item = reader.Take();
    if (item.kind != Item::Kind::None) return item;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return {};
}

TEST(ConsoleQueue, AFullQueueHoldsTheWriterBackAndLosesNothing) {
  Pipe pipe;
  std::atomic<int> announced{0};
  devserver::StdinReader reader(
      pipe.read(), [&] { ++announced; }, 8);
  reader.Start();
  // Nobody takes lines: once the queue and the pipe are full, writing blocks.
  fcntl(pipe.write(), F_SETFL, O_NONBLOCK);
  int written = 0;
  std::string pending;
  for (auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
       std::chrono::steady_clock::now() < end;) {
    if (pending.empty()) pending = "chat Anna flood " + std::to_string(written) + "\n";
    ssize_t n = ::write(pipe.write(), pending.data(), pending.size());
    if (n < 0) break;  // the pipe is full: the reader stopped reading
    pending.erase(0, static_cast<std::size_t>(n));
    if (pending.empty()) ++written;
  }
  ASSERT_EQ(errno, EAGAIN) << "the pipe never filled up";
  // The pipe can fill before the reader thread has run at all: wait for it to
  // have queued what it could and announced it.
  for (auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
       announced.load() == 0 && std::chrono::steady_clock::now() < end;) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_EQ(announced.load(), 1);  // one announcement until the consumer sees None
  // Everything arrives, in order, once it is taken.
  fcntl(pipe.write(), F_SETFL, 0);
  std::thread rest([&] { pipe.Write(pending + "last\n"); });
  for (int i = 0; i < written; ++i) {
    Item item = Next(reader);
    ASSERT_EQ(item.kind, Item::Kind::Line);
    ASSERT_EQ(item.line, "chat Anna flood " + std::to_string(i));
  }
  Item tail = Next(reader);
  if (!pending.empty()) tail = Next(reader);  // the line cut by the full pipe
  EXPECT_EQ(tail.line, "last");
  rest.join();
  reader.Stop();
}

TEST(ConsoleQueue, StopWakesAReaderThatWaitsForRoom) {
  Pipe pipe;
  devserver::StdinReader reader(
      pipe.read(), [] {}, 1);
  reader.Start();
  pipe.Write("eins\nzwei\ndrei\n");
  EXPECT_EQ(Next(reader).line, "eins");  // "zwei" queued, "drei" waits for room
  reader.Stop();                         // returns: the test would hang otherwise
}

TEST(ConsoleQueue, AnEndlessLineIsCutAndTheInputEndsAfterItsLastLine) {
  Pipe pipe;
  devserver::StdinReader reader(pipe.read(), [] {});
  reader.Start();
  std::thread writer([&] {
    pipe.Write(std::string(devserver::StdinReader::kMaxLine + 5000, 'a') + "\nnext\r\nno end");
    pipe.CloseWrite();
  });
  Item cut = Next(reader);
  EXPECT_EQ(cut.kind, Item::Kind::Line);
  EXPECT_EQ(cut.line.size(), devserver::StdinReader::kMaxLine);
  EXPECT_EQ(Next(reader).line, "next");
  EXPECT_EQ(Next(reader).line, "no end");
  EXPECT_EQ(Next(reader).kind, Item::Kind::End);
  EXPECT_EQ(reader.Take().kind, Item::Kind::None);
  writer.join();
}

// ------------------------------------------------------------------ digest

TEST(RconDigest, SummaryNamesCountAndAddresses) {
  using devserver::RconDigest;
  using devserver::RconEvent;
  EXPECT_EQ(RconDigest::Summary(RconEvent::Connected, 812, {{"127.0.0.1", 812}}, 0),
            "812 connections from 127.0.0.1 in the last second");
  EXPECT_EQ(RconDigest::Summary(RconEvent::Authenticated, 1, {{"::1", 1}}, 0),
            "1 login from ::1 in the last second");
  EXPECT_EQ(RconDigest::Summary(RconEvent::Malformed, 5, {{"10.0.0.1", 1}, {"10.0.0.2", 3}}, 1),
            "5 malformed packets from 10.0.0.2 (3), 10.0.0.1 (1), other addresses (1) in the last "
            "second: connections closed");
}

TEST(RconDigest, AStreamOfEventsBecomesOneLinePerWindow) {
  auto sink = std::make_shared<qbtest::CaptureSink>();
  qbhost::SetLogSinks({sink});
  asio::io_context io;
  devserver::RconDigest digest(io.get_executor(), std::chrono::milliseconds(50));
  using devserver::RconEvent;
  for (int i = 0; i < 40; ++i) {
    digest.Note(RconEvent::Connected, i % 4 == 0 ? "10.0.0.9" : "127.0.0.1",
                "RCON client #" + std::to_string(i) + " connected");
  }
  digest.Note(RconEvent::Disconnected, "127.0.0.1", "RCON client #0 disconnected");
  auto texts = [&] {
    std::vector<std::string> out;
    for (const auto& line : sink->Texts()) out.push_back(line.substr(line.find(": ") + 2));
    return out;
  };
  EXPECT_THAT(texts(),
              ::testing::ElementsAre("RCON client #0 connected", "RCON client #0 disconnected"));
  io.run_for(std::chrono::milliseconds(200));  // the window ends, then one stays quiet
  EXPECT_THAT(texts(), ::testing::ElementsAre(
                           "RCON client #0 connected", "RCON client #0 disconnected",
                           "RCON: 39 connections from 127.0.0.1 (30), 10.0.0.9 (9) in the last "
                           "second"));
  // After a quiet window the next event is written as it is again; Flush
  // writes what is counted at once.
  digest.Note(RconEvent::Connected, "127.0.0.1", "RCON client #40 connected");
  digest.Note(RconEvent::Connected, "127.0.0.1", "RCON client #41 connected");
  digest.Flush();
  auto last = texts();
  ASSERT_EQ(last.size(), 5u);
  EXPECT_EQ(last[3], "RCON client #40 connected");
  EXPECT_EQ(last[4], "RCON: 1 connection from 127.0.0.1 in the last second");
  io.run_for(std::chrono::milliseconds(100));
  EXPECT_EQ(sink->Texts().size(), 5u);
  qbhost::SetLogSinks({});
}

}  // namespace
