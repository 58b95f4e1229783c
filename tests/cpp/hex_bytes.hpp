// Building test files from hexadecimal text: "4e 7c 01" and the like.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace testing_bytes {

// The bytes that `text` spells in hexadecimal, spaces ignored.
inline std::vector<uint8_t> hex(const std::string& text) {
  std::vector<uint8_t> out;
  std::string digits;
  for (char c : text) {
    if (c != ' ') digits += c;
  }
  for (size_t i = 0; i + 1 < digits.size(); i += 2) {
    out.push_back(static_cast<uint8_t>(std::stoi(digits.substr(i, 2), nullptr, 16)));
  }
  return out;
}

}  // namespace testing_bytes
