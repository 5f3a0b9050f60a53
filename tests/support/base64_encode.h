#pragma once

// Standard Base64 with "=" padding, for building test payloads.

#include <cstdint>
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

}  // namespace qbtest
