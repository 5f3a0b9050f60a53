// Differential: the decoder's verdict and bytes equal the plain byte-at-a-time
// rule for any input.

#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "bridge/base64.h"
#include "support/base64_encode.h"

using namespace qb;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  if (DecodeBase64(text) != qbtest::ReferenceDecodeBase64(text)) std::abort();
  return 0;
}
