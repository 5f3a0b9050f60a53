// DecodeBase64 beside OpenSSL's EVP_DecodeBlock on the same text (3 KB and
// 48 KB of Base64). OpenSSL writes into a buffer allocated once outside the
// loop; our decoder allocates its result string inside it.

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include "bridge/base64.h"
#include "support/base64_encode.h"

using namespace qb;

namespace {

std::string Payload(std::int64_t base64Bytes) {
  std::mt19937 rng(42);
  std::string raw(static_cast<std::size_t>(base64Bytes / 4 * 3), '\0');
  for (auto& c : raw) c = static_cast<char>(rng());
  return qbtest::EncodeBase64(raw);
}

void BM_DecodeBase64(benchmark::State& state) {
  const std::string text = Payload(state.range(0));
  for (auto _ : state) {
    auto out = DecodeBase64(text);
    benchmark::DoNotOptimize(out->data());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
}
BENCHMARK(BM_DecodeBase64)->Arg(3 * 1024)->Arg(48 * 1024);

void BM_OpenSslDecodeBlock(benchmark::State& state) {
  const std::string text = Payload(state.range(0));
  std::vector<unsigned char> out(text.size());
  for (auto _ : state) {
    int n = EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(text.data()),
                            static_cast<int>(text.size()));
    benchmark::DoNotOptimize(n);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
}
BENCHMARK(BM_OpenSslDecodeBlock)->Arg(3 * 1024)->Arg(48 * 1024);

}  // namespace
