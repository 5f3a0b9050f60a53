#include "bridge/base64.h"

#include <array>
#include <cstdint>

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

// Layout and padding, recognised before the table is consulted.
bool IsSkipped(unsigned char byte) {
  return byte == '\n' || byte == '\r' || byte == ' ' || byte == '=';
}

}  // namespace

std::optional<std::string> DecodeBase64(std::string_view text) {
  const DecodeTable& table = Table();
  std::string out(text.size() / 4 * 3 + 2, '\0');  // every symbol carries 6 bits
  std::size_t size = 0;
  // `acc` collects the symbols' bits and may wrap: an emitted byte only ever
  // depends on its lowest 12 bits. `pending` is the number of bits not yet
  // emitted, less 8: after the symbols of a group it reads -2, 4, 2, 0.
  std::uint32_t acc = 0;
  int pending = -8;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (IsSkipped(byte)) continue;
    const std::int32_t value = table[byte];
    if (value < 0) return std::nullopt;  // no partial output
    acc = (acc << 6) + static_cast<std::uint32_t>(value);
    pending += 6;
    if (pending >= 0) {
      out[size++] = static_cast<char>(acc >> pending);
      pending -= 8;
    }
  }
  out.resize(size);  // fewer than 8 bits left over are dropped
  return out;
}

}  // namespace qb
