#pragma once

// Line checks that a few lines of code do as well as <regex>, which costs a
// test file far more to compile than everything else it includes.
//
//   AfterShape("24/05/01 10:30 [info] hallo", "##/##/## ##:## [info] ") -> "hallo"
//   HasShape("2024-05-01", "####-##-##")                                -> true
//   NumberBetween("RCON: 12 connections from x", "RCON: ", " connections") -> 12

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace qbtest {

inline bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

// The rest of `text` after a start of the shape `shape`, in which "#" stands
// for one digit and every other character for itself; nullopt when `text`
// does not start that way.
inline std::optional<std::string_view> AfterShape(std::string_view text, std::string_view shape) {
  if (text.size() < shape.size()) return std::nullopt;
  for (std::size_t i = 0; i < shape.size(); ++i) {
    if (shape[i] == '#' ? !IsDigit(text[i]) : text[i] != shape[i]) return std::nullopt;
  }
  return text.substr(shape.size());
}

// Whether all of `text` has the shape `shape` (see AfterShape).
inline bool HasShape(std::string_view text, std::string_view shape) {
  auto rest = AfterShape(text, shape);
  return rest && rest->empty();
}

// The decimal number that stands in `text` between the first `before` and an
// `after` that follows it at once; nullopt when there is none.
inline std::optional<unsigned long> NumberBetween(std::string_view text, std::string_view before,
                                                  std::string_view after) {
  std::size_t at = text.find(before);
  if (at == std::string_view::npos) return std::nullopt;
  text.remove_prefix(at + before.size());
  std::size_t digits = 0;
  while (digits < text.size() && digits < 18 && IsDigit(text[digits])) ++digits;
  if (digits == 0 || text.substr(digits, after.size()) != after) return std::nullopt;
  return std::stoul(std::string(text.substr(0, digits)));
}

}  // namespace qbtest
