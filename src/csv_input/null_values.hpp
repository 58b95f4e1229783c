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
  explicit NullValues(std::vector<std::string> texts) : texts_(std::move(texts)) {
    for (const std::string& text : texts_) {
      if (text.size() < 64) sizes_ |= uint64_t{1} << text.size();
      else long_texts_ = true;
    }
  }

  [[nodiscard]] bool empty() const noexcept { return texts_.empty(); }

  // Most fields are told apart by their length alone.
  [[nodiscard]] bool matches(std::string_view field) const noexcept {
    if (field.size() < 64 ? ((sizes_ >> field.size()) & 1) == 0 : !long_texts_) return false;
    for (const std::string& text : texts_) {
      if (field == text) return true;
    }
    return false;
  }

 private:
  std::vector<std::string> texts_;
  uint64_t sizes_ = 0;  // bit n: a text of n bytes is among them
  bool long_texts_ = false;
};

}  // namespace csv
