#pragma once

// Standard Base64 with "=" padding, for building test payloads, and the
// lenient decoding rule written a second time, on its own, for the decoder's
// tests to compare against.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace qbtest {

inline std::string EncodeBase64(std::string_view bytes) {
  const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  auto at = [&](std::size_t i) {
    return i < bytes.size() ? static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i])) : 0u;
  };
  std::string out;
  for (std::size_t i = 0; i < bytes.size(); i += 3) {
    const std::uint32_t group = at(i) << 16 | at(i + 1) << 8 | at(i + 2);
    const std::size_t symbols = bytes.size() - i >= 3 ? 4 : bytes.size() - i + 1;
    for (std::size_t k = 0; k < 4; ++k) {
      out.push_back(k < symbols ? alphabet[(group >> (18 - 6 * k)) & 63] : '=');
    }
  }
  return out;
}

inline std::optional<std::string> ReferenceDecodeBase64(std::string_view text) {
  const std::string_view alphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::uint32_t acc = 0;
  int pending = -8;
  std::string out;
  for (const char c : text) {
    if (c == '\n' || c == '\r' || c == ' ' || c == '=') continue;
    const auto value = alphabet.find(c);
    if (value == std::string_view::npos) return std::nullopt;
    acc = (acc << 6) + static_cast<std::uint32_t>(value);
    if ((pending += 6) >= 0) {
      out.push_back(static_cast<char>((acc >> pending) & 0xFF));
      pending -= 8;
    }
  }
  return out;
}

}  // namespace qbtest
