#include "qarn/value.hpp"

namespace qarn {

namespace {

constexpr std::array<uint8_t, 24> kKindTypeIds = {
    0x01, 0x01, 0x02, 0x02, 0x03, 0x03, 0x04, 0x04, 0x05, 0x05, 0x06, 0x06,
    0x07, 0x07, 0x08, 0x08, 0x09, 0x09, 0x0A, 0x0A, 0x0C, 0x0C, 0x0D, 0x0D};

constexpr size_t type_index(TypeId type) noexcept {
  for (size_t i = 0; i < kAllTypes.size(); ++i) {
    if (kAllTypes[i] == type) return i;
  }
  return 0;
}

}  // namespace

uint8_t type_id(const ValueObject& value) noexcept {
  const size_t kind = type_index(value.type()) * 2 + (value.is_single() ? 0 : 1);
  return kKindTypeIds[kind];
}

bool is_single(const ValueObject& value) noexcept { return value.is_single(); }

ValueObject ValueObject::single_int(int32_t value) {
  ValueObject object(TypeId::Int, Shape::Single);
  object.push(value);
  return object;
}

ValueObject ValueObject::single_string(std::string_view value) {
  ValueObject object(TypeId::String, Shape::Single);
  object.var_.append(value.data(), value.size());
  return object;
}

ValueObject ValueObject::single_bytes(std::span<const uint8_t> value) {
  ValueObject object(TypeId::Bytes, Shape::Single);
  object.var_.append(value.data(), value.size());
  return object;
}

}  // namespace qarn
