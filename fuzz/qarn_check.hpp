// A strict reader of the files this system writes, for the fuzz targets: it
// checks the framing byte by byte and returns each column's rows, so that
// two files can be compared row for row whatever their slicing.
#pragma once

#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace fuzz {

struct Table {
  std::vector<std::string> names;
  std::vector<uint8_t> types;
  std::vector<std::vector<std::string>> values;  // per column, each value's encoded bytes
  std::vector<std::vector<bool>> invalid;        // per column, per row
  std::vector<uint64_t> slice_rows;

  bool same_rows(const Table& other) const {
    return names == other.names && types == other.types && values == other.values &&
           invalid == other.invalid;
  }
};

class Reader {
 public:
  explicit Reader(std::span<const uint8_t> data) : data_(data) {}

  std::optional<Table> table() {
    Table t;
    if (!section(1) || !byte(1) || !byte(0) || !section(2)) return std::nullopt;
    if (!metadata(t)) return std::nullopt;
    while (pos_ + 3 <= data_.size() && data_[pos_ + 2] == 3) {
      if (!slice(t)) return std::nullopt;
    }
    if (!section(5) || pos_ != data_.size()) return std::nullopt;
    return t;
  }

 private:
  bool take(size_t n, const uint8_t*& out) {
    if (n > data_.size() - pos_) return false;
    out = data_.data() + pos_;
    pos_ += n;
    return true;
  }
  bool read_u8(uint8_t& v) {
    const uint8_t* p;
    if (!take(1, p)) return false;
    v = *p;
    return true;
  }
  bool byte(uint8_t expected) {
    uint8_t v;
    return read_u8(v) && v == expected;
  }
  bool count(uint32_t& n) {
    const uint8_t* p;
    if (!take(4, p)) return false;
    std::memcpy(&n, p, 4);
    return n <= 0x7FFFFFFF;
  }
  bool bytes(size_t n, std::string& out) {
    const uint8_t* p;
    if (!take(n, p)) return false;
    out.assign(reinterpret_cast<const char*>(p), n);
    return true;
  }
  bool name(std::string& out) {
    uint32_t n;
    return count(n) && bytes(n, out);
  }
  bool section(uint8_t id) { return byte(0x4E) && byte(0x7C) && byte(id); }

  static size_t width(uint8_t type) {
    switch (type) {
      case 1: return 1;
      case 2: case 4: return 4;
      case 3: case 5: return 8;
      default: return 0;
    }
  }

  bool unpacked(uint8_t type, std::string& out) {
    if (type == 0x0A || type == 0x0C) return name(out);
    return width(type) != 0 && bytes(width(type), out);
  }

  bool metadata(Table& t) {
    uint32_t properties, columns, definitions;
    std::string text;
    uint8_t type;
    if (!count(properties) || properties != 1) return false;
    if (!name(text) || text != "TableColumns" || !byte(2) || !byte(1) || !unpacked(2, text) || !byte(0)) {
      return false;
    }
    uint32_t declared;
    std::memcpy(&declared, text.data(), 4);
    if (!count(columns) || columns != declared || !count(definitions)) return false;
    // Name and DataType, and LogicalType where a column holds dates or times.
    if (columns == 0 ? definitions != 0 : definitions != 2 && definitions != 3) return false;
    if (columns > 0) {
      if (!name(text) || text != "Name" || !byte(0x0A) || !byte(0)) return false;
      if (!name(text) || text != "DataType" || !byte(0x0C) || !byte(0)) return false;
    }
    if (definitions == 3 && (!name(text) || text != "LogicalType" || !byte(0x0A) || !byte(0))) return false;
    bool any_logical = false;
    for (uint32_t c = 0; c < columns; ++c) {
      std::string column_name, data_type;
      if (!byte(1) || !name(column_name) || !byte(1) || !name(data_type) || data_type.size() != 1) return false;
      type = static_cast<uint8_t>(data_type[0]);
      if (type != 1 && type != 2 && type != 3 && type != 4 && type != 5 && type != 0x0A) return false;
      if (definitions == 3) {
        uint8_t present;
        if (!read_u8(present) || present > 1) return false;
        if (present == 1) {
          if (type != 3 || !name(text)) return false;
          if (text != "date32[day]" && text != "timestamp[us]" && text != "timestamp[us, tz=UTC]") return false;
          any_logical = true;
        }
      }
      t.names.push_back(column_name);
      t.types.push_back(type);
    }
    if (definitions == 3 && !any_logical) return false;
    t.values.resize(columns);
    t.invalid.resize(columns);
    return true;
  }

  bool packed_length(uint32_t& n) {
    n = 0;
    for (int shift = 0; shift < 35; shift += 7) {
      uint8_t b;
      if (!read_u8(b)) return false;
      n |= uint32_t{b & 0x7Fu} << shift;
      if ((b & 0x80) == 0) return true;
    }
    return false;
  }

  bool slice(Table& t) {
    uint32_t columns;
    if (!section(3) || !count(columns) || columns != t.types.size()) return false;
    std::optional<uint32_t> rows;
    for (uint32_t c = 0; c < columns; ++c) {
      uint32_t n, properties;
      if (!section(4) || !byte(1) || !byte(t.types[c]) || !count(n)) return false;
      if (rows && *rows != n) return false;
      rows = n;
      if (!column_values(t, c, n) || !count(properties) || properties > 1) return false;
      std::vector<bool> bits(n, false);
      if (properties == 1) {
        std::string text;
        uint32_t bit_count;
        const uint8_t* packed;
        if (!name(text) || text != "IsInvalid" || !byte(3) || !byte(1) || !count(bit_count)) return false;
        if (bit_count != n || !take((n + 7) / 8, packed)) return false;
        bool any = false;
        for (uint32_t i = 0; i < n; ++i) any |= bits[i] = (packed[i / 8] >> (7 - i % 8)) & 1;
        if (!any || (n % 8 != 0 && (packed[n / 8] & (0xFF >> (n % 8))) != 0)) return false;
      }
      t.invalid[c].insert(t.invalid[c].end(), bits.begin(), bits.end());
    }
    if (!rows || *rows == 0) return false;  // this system never writes an empty slice
    t.slice_rows.push_back(*rows);
    return true;
  }

  bool column_values(Table& t, uint32_t c, uint32_t n) {
    const uint8_t type = t.types[c];
    std::string value;
    if (type != 0x0A) {
      for (uint32_t i = 0; i < n; ++i) {
        if (!bytes(width(type), value)) return false;
        if (type == 1 && static_cast<uint8_t>(value[0]) > 1) return false;
        t.values[c].push_back(value);
      }
      return true;
    }
    uint32_t total;
    if (!count(total)) return false;
    const size_t end = pos_ + total;
    for (uint32_t i = 0; i < n; ++i) {
      uint32_t length;
      if (!packed_length(length) || !bytes(length, value)) return false;
      t.values[c].push_back(value);
    }
    return pos_ == end;
  }

  std::span<const uint8_t> data_;
  size_t pos_ = 0;
};

}  // namespace fuzz
