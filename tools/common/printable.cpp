#include "printable.hpp"

#include <cstddef>
#include <cstdio>

namespace tools {

namespace {

// The length of the valid UTF-8 sequence that starts `text`, or 0.
std::size_t Utf8Length(std::string_view text) {
  const auto byte = [text](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(0);
  if (lead < 0x80) {
    return 1;
  }
  std::size_t length = 4;
  unsigned char low = 0x80;  // the second byte's bounds exclude overlong forms and surrogates
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    low = lead == 0xE0 ? 0xA0 : 0x80;
    high = lead == 0xED ? 0x9F : 0xBF;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    low = lead == 0xF0 ? 0x90 : 0x80;
    high = lead == 0xF4 ? 0x8F : 0xBF;
  } else {
    return 0;
  }
  if (text.size() < length || byte(1) < low || byte(1) > high) {
    return 0;
  }
  for (std::size_t i = 2; i < length; ++i) {
    if (byte(i) < 0x80 || byte(i) > 0xBF) {
      return 0;
    }
  }
  return length;
}

}  // namespace

std::string Printable(std::string_view text, std::string_view alsoEscaped) {
  std::string shown;
  shown.reserve(text.size());
  while (!text.empty()) {
    const std::size_t length = Utf8Length(text);
    const char first = text.front();
    const auto byte = static_cast<unsigned char>(first);
    if (length == 0 || byte < 0x20 || byte == 0x7F || first == '\\' || first == '|' ||
        alsoEscaped.find(first) != std::string_view::npos) {
      char escaped[5];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
      shown += escaped;
      text.remove_prefix(1);
    } else {
      shown += text.substr(0, length);
      text.remove_prefix(length);
    }
  }
  return shown;
}

}  // namespace tools
