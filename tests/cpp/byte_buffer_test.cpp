// The output buffer's one-block reservation: it must never lose what the
// buffer holds, and a refusal must leave a buffer that still grows.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "common/byte_buffer.hpp"

namespace {

using common::ByteBuffer;

constexpr size_t kLarge = size_t{64} << 20;

// Storage from malloc that can be told to refuse the reservation, as the
// interpreter's allocator does when the address space runs out.
class TestStorage final : public common::BufferStorage {
 public:
  explicit TestStorage(bool refuse_reservation) : refuse_(refuse_reservation) {}

  uint8_t* resize(uint8_t* data, size_t capacity) override {
    void* grown = std::realloc(data, capacity);
    if (grown == nullptr) throw std::bad_alloc();
    return static_cast<uint8_t*>(grown);
  }
  uint8_t* replace_empty(uint8_t* data, size_t capacity) noexcept override {
    std::free(data);
    ++replacements;
    return refuse_ ? nullptr : static_cast<uint8_t*>(std::malloc(capacity));
  }
  void release(uint8_t* data) noexcept override { std::free(data); }

  int replacements = 0;

 private:
  bool refuse_;
};

std::string pattern(size_t size) {
  std::string text(size, '\0');
  for (size_t i = 0; i < size; ++i) text[i] = static_cast<char>('a' + i % 23);
  return text;
}

}  // namespace

TEST(ByteBuffer, ReservationThenGrowthPastItKeepsEveryByte) {
  for (const bool with_storage : {false, true}) {
    TestStorage storage(false);
    ByteBuffer out = with_storage ? ByteBuffer(storage) : ByteBuffer();
    out.reserve_output(kLarge);
    EXPECT_GE(out.capacity(), kLarge);
    const std::string text = pattern(kLarge + 12345);  // beyond the reservation
    for (size_t at = 0; at < text.size(); at += 100000) {
      const size_t n = std::min<size_t>(100000, text.size() - at);
      out.prefault(n);
      out.append(text.data() + at, n);
    }
    ASSERT_EQ(out.view(), text);
  }
}

// Only an empty buffer takes a reservation, and only a large one; a refused
// reservation leaves an empty buffer that grows as usual.
TEST(ByteBuffer, ReservationIsTakenOnlyWhenEmptyAndLarge) {
  struct Case {
    size_t held;
    size_t wanted;
    bool refuse;
    int replacements;
  };
  const Case cases[] = {{0, kLarge, false, 1}, {0, kLarge, true, 1}, {5, kLarge, false, 0},
                        {0, 4096, false, 0},   {0, 0, false, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.held << " " << c.wanted << " " << c.refuse);
    TestStorage storage(c.refuse);
    ByteBuffer out(storage);
    const std::string held = pattern(c.held);
    out.append(held);
    out.reserve_output(c.wanted);
    EXPECT_EQ(storage.replacements, c.replacements);
    EXPECT_EQ(out.view(), held);
    out.append(std::string_view("tail"));
    EXPECT_EQ(out.view(), held + "tail");
  }
}
