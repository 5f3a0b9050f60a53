#pragma once

// Lenient Base64 (RFC 4648 standard alphabet) for the say command's payload.
//
// Line feeds, carriage returns, spaces and "=" are skipped wherever they stand;
// any other byte outside the alphabet (tab, "-", "_", bytes from 0x80 up)
// makes the whole input invalid, and then nothing is returned. Padding and
// length are not checked: leftover bits of fewer than 8 are dropped.
//
//   "QQ==" -> "\x41"      "QQ" -> "\x41"      "QR==" -> "\x41"
//   "Q"    -> ""          "QQ==QQ==" -> "\x41\x04\x10"
//   "Q\tQ" -> nullopt     "Q-Q" -> nullopt

#include <optional>
#include <string>
#include <string_view>

namespace qb {

std::optional<std::string> DecodeBase64(std::string_view text);

}  // namespace qb
