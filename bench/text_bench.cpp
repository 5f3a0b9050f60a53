// ToUtf8 / ToFString at 20 and 500 units: the inline buffer covers the short
// case; the long one borrows an engine-heap block.

#include <string>

#include <benchmark/benchmark.h>

#include "game/engine.h"
#include "qbhost/standin.h"

using namespace qb;

namespace {

std::string Text(std::size_t units) {
  std::string out;
  const std::string pattern =
      "Hallo Gr\xc3\xbc\xc3\x9f"
      "e ";  // 11 units, 13 bytes
  while (qbhost::Utf8ToUtf16(out).size() + 11 <= units) out += pattern;
  while (qbhost::Utf8ToUtf16(out).size() < units) out += 'x';
  return out;
}

void BM_ToUtf8(benchmark::State& state) {
  qbhost::HostString source(Text(static_cast<std::size_t>(state.range(0))));
  for (auto _ : state) {
    std::string out = ToUtf8(source.get());
    benchmark::DoNotOptimize(out.data());
  }
}
BENCHMARK(BM_ToUtf8)->Arg(20)->Arg(500);

void BM_ToFString(benchmark::State& state) {
  const std::string text = Text(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) {
    FString out = ToFString(text);
    benchmark::DoNotOptimize(out.data);
  }
}
BENCHMARK(BM_ToFString)->Arg(20)->Arg(500);

// Baseline: the host's own conversion into a std::string, no engine heap.
void BM_HostUtf16ToUtf8(benchmark::State& state) {
  const std::u16string source = qbhost::Utf8ToUtf16(Text(static_cast<std::size_t>(state.range(0))));
  for (auto _ : state) {
    std::string out = qbhost::Utf16ToUtf8(source);
    benchmark::DoNotOptimize(out.data());
  }
}
BENCHMARK(BM_HostUtf16ToUtf8)->Arg(20)->Arg(500);

}  // namespace
