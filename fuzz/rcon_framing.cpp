// The dev server's RCON framing on any byte stream: never a crash, and the same
// packets and the same verdict however the stream is cut into reads.

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "devserver/rcon_framing.h"

namespace {

struct Result {
  std::vector<devserver::RconFrame> frames;
  bool failed = false;
};

Result Decode(std::string_view stream, std::size_t chunk) {
  devserver::RconDecoder decoder;
  Result result;
  for (std::size_t at = 0; at < stream.size(); at += chunk) {
    decoder.Feed(stream.substr(at, chunk));
    while (auto frame = decoder.Next()) result.frames.push_back(std::move(*frame));
  }
  result.failed = decoder.failed();
  return result;
}

bool Same(const Result& a, const Result& b) {
  if (a.failed != b.failed || a.frames.size() != b.frames.size()) return false;
  for (std::size_t i = 0; i < a.frames.size(); ++i) {
    const auto& x = a.frames[i];
    const auto& y = b.frames[i];
    if (x.id != y.id || x.type != y.type || x.body != y.body) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  // The first byte picks how the rest is cut into reads.
  const std::size_t chunk = static_cast<std::size_t>(data[0] % 13) + 1;
  const std::string_view stream(reinterpret_cast<const char*>(data + 1), size - 1);
  const Result whole = Decode(stream, stream.size() + 1);
  for (const auto& frame : whole.frames) {
    if (frame.body.size() > devserver::RconDecoder::kMaxSize - 10) std::abort();
  }
  if (!Same(whole, Decode(stream, chunk))) std::abort();
  return 0;
}
