// The texts that stand for a missing value: a field equal to one of them,
// once unquoted, is read as an empty field.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace csv {

class NullValues {
 public:
  NullValues() = default;
  // An empty text among them changes nothing: empty fields are empty.
  explicit NullValues(std::vector<std::string> texts) {
    for (std::string& text : texts) {
      if (text.empty()) continue;
      if (text.size() < 64) sizes_ |= uint64_t{1} << text.size();
      else long_texts_ = true;
      const auto first = static_cast<uint8_t>(text[0]);
      first_bytes_[first / 64] |= uint64_t{1} << (first % 64);
      texts_.push_back(std::move(text));
    }
  }

  [[nodiscard]] bool empty() const noexcept { return texts_.empty(); }

  // Most fields are told apart by their length or first byte alone.
  [[nodiscard]] bool matches(std::string_view field) const noexcept {
    if (field.empty()) return false;
    if (field.size() < 64 ? ((sizes_ >> field.size()) & 1) == 0 : !long_texts_) return false;
    const auto first = static_cast<uint8_t>(field[0]);
    if (((first_bytes_[first / 64] >> (first % 64)) & 1) == 0) return false;
    for (const std::string& text : texts_) {
      if (field == text) return true;
    }
    return false;
  }

 private:
  std::vector<std::string> texts_;
  uint64_t sizes_ = 0;             // bit n: a text of n bytes is among them
  uint64_t first_bytes_[4] = {};  // bit b: a text starts with byte b
  bool long_texts_ = false;
};

}  // namespace csv
