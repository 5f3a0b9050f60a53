#include "bridge/base64.h"

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>

#if defined(_MSC_VER)
#include <stdlib.h>
#endif

namespace qb {

namespace {

using DecodeTable = std::array<std::int32_t, 256>;

// Alphabet symbols hold their 6-bit value, every other byte -1.
DecodeTable BuildTable() {
  DecodeTable table;
  table.fill(-1);
  const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  for (std::int32_t value = 0; value < 64; ++value) {
    table[static_cast<unsigned char>(alphabet[value])] = value;
  }
  return table;
}

// Built on the first decoding; the function-local static makes concurrent
// first calls wait for the one that builds it.
const DecodeTable& Table() {
  static const DecodeTable table = BuildTable();
  return table;
}

// Layout and padding bytes, recognised before the table is consulted. They are
// outside the alphabet, so the table marks them -1 as well.
bool IsSkipped(unsigned char byte) {
  return byte == '\n' || byte == '\r' || byte == ' ' || byte == '=';
}

// Stores the three bytes of a group (the low 24 bits of `group`, most
// significant first) with one 4-byte store; the fourth byte lands in slack
// that the next write or the final resize takes care of.
void PutGroup(char* out, std::uint32_t group) {
  std::uint32_t word = group << 8;
  if constexpr (std::endian::native == std::endian::little) {
#if defined(_MSC_VER)
    word = _byteswap_ulong(word);
#else
    word = __builtin_bswap32(word);
#endif
  }
  std::memcpy(out, &word, sizeof word);
}

}  // namespace

std::optional<std::string> DecodeBase64(std::string_view text) {
  const DecodeTable& table = Table();
  const auto* in = reinterpret_cast<const unsigned char*>(text.data());
  const auto* const end = in + text.size();

  // Every symbol carries 6 bits, so the output is at most 3/4 of the input;
  // one more byte is slack for PutGroup.
  std::string out(text.size() / 4 * 3 + text.size() % 4 * 3 / 4 + 1, '\0');
  char* o = out.data();

  // The accumulator wraps as an unsigned 32-bit value: an emitted byte only
  // ever depends on its lowest 12 bits. `pending` (bits not yet emitted, less
  // 8) reads -2, 4, 2, 0 after the symbols of a group and is back at -8 once
  // the fourth has emitted its byte.
  std::uint32_t acc = 0;
  int pending = -8;
  for (;;) {
    // At a group boundary no earlier bit is still pending, so four alphabet
    // symbols in a row can be decoded together. Any skipped or invalid byte
    // among them (all marked -1) leaves the group to the symbol-wise rule.
    if (pending == -8) {
      while (end - in >= 4) {
        const std::int32_t a = table[in[0]];
        const std::int32_t b = table[in[1]];
        const std::int32_t c = table[in[2]];
        const std::int32_t d = table[in[3]];
        if ((a | b | c | d) < 0) break;
        acc = static_cast<std::uint32_t>(a << 18 | b << 12 | c << 6 | d);
        PutGroup(o, acc);
        o += 3;
        in += 4;
      }
    }
    if (in == end) break;

    const unsigned char byte = *in++;
    if (IsSkipped(byte)) continue;
    const std::int32_t value = table[byte];
    if (value < 0) return std::nullopt;
    acc = (acc << 6) + static_cast<std::uint32_t>(value);
    pending += 6;
    if (pending >= 0) {
      *o++ = static_cast<char>(acc >> pending);
      pending -= 8;
    }
  }
  out.resize(static_cast<std::size_t>(o - out.data()));
  return out;
}

}  // namespace qb
