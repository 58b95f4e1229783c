// The format writer on what the Python surface cannot reach: every value
// type and encoding, extra column properties, and each limit check (reached
// with a lowered limit instead of gigabytes of data).
#include <gtest/gtest.h>

#include "hex_bytes.hpp"

#include <cstring>
#include <string>
#include <vector>

#include "qarn/packed_length.hpp"
#include "qarn/writer.hpp"
#include "qarn/format_error.hpp"
#include "qarn/metadata_writer.hpp"
#include "qarn/slice_writer.hpp"
#include "qarn/value.hpp"

using namespace qarn;

namespace {

using testing_bytes::hex;

std::vector<uint8_t> bytes_of(const ByteBuffer& buffer) {
  return {buffer.data(), buffer.data() + buffer.size()};
}

std::vector<uint8_t> ascii(const std::string& text) { return {text.begin(), text.end()}; }

std::vector<uint8_t> cat(std::initializer_list<std::vector<uint8_t>> parts) {
  std::vector<uint8_t> out;
  for (const auto& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

ValueObject int_array(std::initializer_list<int32_t> values) {
  ValueObject object(TypeId::Int, Shape::Array);
  for (int32_t v : values) object.push(v);
  return object;
}

ValueObject string_array(std::initializer_list<std::string> values) {
  ValueObject object(TypeId::String, Shape::Array);
  for (const auto& v : values) object.var().append(v.data(), v.size());
  return object;
}

template <class Write>
std::vector<uint8_t> written(Write write) {
  ByteBuffer out;
  Writer writer(out);
  const WriteStatus status = write(writer);
  EXPECT_FALSE(status.has_value()) << (status ? message(*status) : "");
  return bytes_of(out);
}

template <class Write>
std::string failure(uint64_t limit, Write write) {
  ByteBuffer out;
  Writer writer(out, limit);
  const WriteStatus status = write(writer);
  return status ? message(*status) : "ok";
}

}  // namespace

TEST(PackedLength, EncodesSevenBitGroupsLeastSignificantFirst) {
  const std::pair<uint64_t, std::string> cases[] = {
      {0, "00"},         {127, "7f"},          {128, "8001"},
      {300, "ac02"},     {16383, "ff7f"},      {16384, "808001"},
      {0x1FFFFF, "ffff7f"}, {0x200000, "80808001"}, {0x10000000, "8080808001"},
      {0x7FFFFFFF, "ffffffff07"},
  };
  for (const auto& [n, expected] : cases) {
    uint8_t encoded[kMaxPackedLengthBytes];
    const size_t size = encode_packed_length(encoded, n);
    EXPECT_EQ(std::vector<uint8_t>(encoded, encoded + size), hex(expected)) << n;
    EXPECT_EQ(packed_length_size(n), size) << n;
    const uint8_t* p = encoded;
    EXPECT_EQ(decode_packed_length(p), n);
    EXPECT_EQ(p, encoded + size);
    p = encoded;
    uint64_t read = 0;
    EXPECT_EQ(read_packed_length_within(p, encoded + size, read), PackedLengthRead::Ok);
    EXPECT_EQ(read, n);
    p = encoded;
    EXPECT_EQ(read_packed_length_within(p, encoded + size - 1, read), PackedLengthRead::Truncated) << n;
  }
  // Six bytes, and five that exceed the largest count, are not lengths of a file.
  for (const char* bad : {"808080808001", "ffffffff0f"}) {
    const std::vector<uint8_t> bytes = hex(bad);
    const uint8_t* p = bytes.data();
    uint64_t read = 0;
    EXPECT_EQ(read_packed_length_within(p, p + bytes.size(), read), PackedLengthRead::Invalid) << bad;
  }
}

TEST(Framing, SectionHeaderVersionNameAndCount) {
  EXPECT_EQ(written([](Writer& w) {
              w.write_section_header(SectionId::FileHeader);
              w.write_version(1, 0);
              w.write_section_header(SectionId::TableEnd);
              w.write_count(0x01020304);
              return w.write_name("");
            }),
            hex("4e7c01 0100 4e7c05 04030201 00000000"));
}

TEST(ValueTypes, TypeIdTableCoversAllTwentyFourKinds) {
  const uint8_t ids[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 0x0A, 0x0C, 0x0D};
  for (size_t i = 0; i < kAllTypes.size(); ++i) {
    EXPECT_EQ(type_id(ValueObject(kAllTypes[i], Shape::Single)), ids[i]);
    EXPECT_EQ(type_id(ValueObject(kAllTypes[i], Shape::Array)), ids[i]);
    EXPECT_TRUE(is_single(ValueObject(kAllTypes[i], Shape::Single)));
    EXPECT_FALSE(is_single(ValueObject(kAllTypes[i], Shape::Array)));
  }
}

TEST(ValueTypes, PlainArraysOfEveryFixedWidthType) {
  struct Case {
    TypeId type;
    std::vector<uint8_t> value;  // one value as held
    std::string expected;        // encoding, type, count, values
  };
  const Case cases[] = {
      {TypeId::Bool, {0x01}, "01 01 02000000 01 01"},
      {TypeId::Int, hex("ffffffff"), "01 02 02000000 ffffffff ffffffff"},
      {TypeId::Long, hex("0100000000000000"), "01 03 02000000 0100000000000000 0100000000000000"},
      {TypeId::Float, hex("0000c03f"), "01 04 02000000 0000c03f 0000c03f"},
      {TypeId::Double, hex("000000000000f83f"), "01 05 02000000 000000000000f83f 000000000000f83f"},
      {TypeId::Unnamed06, hex("0102030405060708"), "01 06 02000000 0102030405060708 0102030405060708"},
      {TypeId::Unnamed09, hex("ffffffffffffff7f"), "01 09 02000000 ffffffffffffff7f ffffffffffffff7f"},
      {TypeId::Unnamed0D, hex("000102030405060708090a0b0c0d0e0f"),
       "01 0d 02000000 000102030405060708090a0b0c0d0e0f 000102030405060708090a0b0c0d0e0f"},
  };
  for (const Case& c : cases) {
    EncodedArray array = PlainArray{ValueObject(c.type, Shape::Array)};
    std::get<PlainArray>(array).values.fixed().append(c.value.data(), c.value.size());
    std::get<PlainArray>(array).values.fixed().append(c.value.data(), c.value.size());
    EXPECT_EQ(written([&](Writer& w) { return write_encoded_array(w, array); }), hex(c.expected))
        << static_cast<int>(c.type);
  }
}

TEST(ValueTypes, BoolArrayPlainAndDoubleBitsAsHeld) {
  EncodedArray bools = PlainArray{ValueObject(TypeId::Bool, Shape::Array)};
  std::get<PlainArray>(bools).values.push(uint8_t{0});
  std::get<PlainArray>(bools).values.push(uint8_t{1});
  EXPECT_EQ(written([&](Writer& w) { return write_encoded_array(w, bools); }), hex("01 01 02000000 00 01"));

  EncodedArray doubles = PlainArray{ValueObject(TypeId::Double, Shape::Array)};
  const uint64_t payload_nan = 0x7FF0000000000001, negative_zero = 0x8000000000000000;
  double d;
  std::memcpy(&d, &payload_nan, 8);
  std::get<PlainArray>(doubles).values.push(d);
  std::memcpy(&d, &negative_zero, 8);
  std::get<PlainArray>(doubles).values.push(d);
  EXPECT_EQ(written([&](Writer& w) { return write_encoded_array(w, doubles); }),
            hex("01 05 02000000 010000000000f07f 0000000000000080"));
}

TEST(ValueTypes, StringAndBytesArraysArePackedWithTotalSize) {
  EncodedArray strings = PlainArray{string_array({"x", ""})};
  EXPECT_EQ(written([&](Writer& w) { return write_encoded_array(w, strings); }),
            hex("01 0a 02000000 03000000 0178 00"));

  EncodedArray bytes = PlainArray{ValueObject(TypeId::Bytes, Shape::Array)};
  const std::string long_value(128, 'q');
  std::get<PlainArray>(bytes).values.var().append(long_value.data(), long_value.size());
  EXPECT_EQ(written([&](Writer& w) { return write_encoded_array(w, bytes); }),
            cat({hex("01 0c 01000000 82000000 8001"), ascii(long_value)}));

  EncodedArray single = PlainArray{ValueObject::single_string("ab")};
  EXPECT_EQ(written([&](Writer& w) { return write_encoded_array(w, single); }),
            hex("01 0a 01000000 03000000 02 6162"));

  EncodedArray empty = PlainArray{ValueObject(TypeId::String, Shape::Array)};
  EXPECT_EQ(written([&](Writer& w) { return write_encoded_array(w, empty); }),
            hex("01 0a 00000000 00000000"));
}

TEST(ValueTypes, SingleFixedValueWritesCountOne) {
  EncodedArray single = PlainArray{ValueObject::single_int(7)};
  EXPECT_EQ(written([&](Writer& w) { return write_encoded_array(w, single); }),
            hex("01 02 01000000 07000000"));
}

TEST(Encodings, RunLengthArray) {
  RunLengthArray runs{int_array({7, 9}), {}};
  runs.run_bytes.push_back(2);
  runs.run_bytes.push_back(0);
  EXPECT_EQ(written([&](Writer& w) { return write_encoded_array(w, EncodedArray{std::move(runs)}); }),
            hex("02 02 04000000 02000000 0200 02000000 07000000 09000000"));

  RunLengthArray strings{string_array({"ab"}), {}};
  strings.run_bytes.push_back(255);
  EXPECT_EQ(written([&](Writer& w) { return write_encoded_array(w, EncodedArray{std::move(strings)}); }),
            hex("02 0a 00010000 01000000 ff 01000000 03000000 02 6162"));
}

TEST(Encodings, BitArraysPackMostSignificantFirst) {
  const std::pair<std::vector<uint8_t>, std::string> cases[] = {
      {{0, 0, 1, 0, 0, 0, 0, 0, 0, 0}, "03 01 0a000000 2000"},
      {{1, 1, 1, 1, 1, 1, 1, 1}, "03 01 08000000 ff"},
      {{1, 1, 1, 1, 1, 1, 1, 1, 1}, "03 01 09000000 ff80"},
      {{0, 0, 0, 0, 0, 0, 0, 0, 1}, "03 01 09000000 0080"},
      {{0, 1, 1, 1}, "03 01 04000000 70"},
      {{}, "03 01 00000000"},
  };
  for (const auto& [flags, expected] : cases) {
    const BitArray bits = pack_bits(flags);
    EXPECT_EQ(written([&](Writer& w) { return write_bit_array(w, bits); }), hex(expected)) << expected;
  }
}

TEST(ColumnSlices, PropertiesInFixedOrder) {
  ColumnSlice column;
  column.values = PlainArray{string_array({"x", ""})};
  column.is_invalid = pack_bits(std::vector<uint8_t>{0, 1});
  column.error_code = PlainArray{int_array({0, 3})};
  column.has_replaced_value = pack_bits(std::vector<uint8_t>{1, 0});
  column.further_properties.push_back({"Z", PlainArray{int_array({1, 2})}});
  EXPECT_EQ(written([&](Writer& w) { return write_column_slice(w, column); }),
            cat({hex("4e7c04 010a 02000000 03000000 0178 00 04000000"),
                 hex("09000000"), ascii("IsInvalid"), hex("0301 02000000 40"),
                 hex("09000000"), ascii("ErrorCode"), hex("0102 02000000 00000000 03000000"),
                 hex("10000000"), ascii("HasReplacedValue"), hex("0301 02000000 80"),
                 hex("01000000"), ascii("Z"), hex("0102 02000000 01000000 02000000")}));
}

TEST(ColumnSlices, TableSliceCountsItsColumns) {
  std::vector<ColumnSlice> columns(2);
  columns[0].values = PlainArray{int_array({5})};
  columns[1].values = PlainArray{string_array({"a"})};
  EXPECT_EQ(written([&](Writer& w) { return write_table_slice(w, columns); }),
            hex("02000000 4e7c04 0102 01000000 05000000 00000000"
                " 4e7c04 010a 01000000 02000000 0161 00000000"));
}

namespace {

TableMetadata two_columns_with_extras() {
  TableMetadata metadata;
  metadata.properties.push_back({"P", ValueObject::single_int(2), ValueObject::single_int(9)});
  ColumnMetadata a{"a", TypeId::String, {}};
  a.extra_properties.push_back({"Unit", ValueObject::single_string("m"), ValueObject::single_string("?")});
  a.extra_properties.push_back({"Name", ValueObject::single_string("shadowed"), std::nullopt});
  ColumnMetadata b{"b", TypeId::Int, {}};
  b.extra_properties.push_back({"Scale", ValueObject::single_int(3), std::nullopt});
  b.extra_properties.push_back({"Unit", ValueObject::single_int(1), std::nullopt});
  metadata.columns.push_back(std::move(a));
  metadata.columns.push_back(std::move(b));
  return metadata;
}

}  // namespace

TEST(TableMetadata, DefinitionsKeepFirstAppearanceAndTheirType) {
  const TableMetadata metadata = two_columns_with_extras();
  const auto definitions = column_property_definitions(metadata.columns);
  ASSERT_EQ(definitions.size(), 4u);
  EXPECT_EQ(definitions[0].name, "Name");
  EXPECT_EQ(definitions[1].name, "DataType");
  EXPECT_EQ(definitions[2].name, "Unit");
  EXPECT_EQ(definitions[2].type_id, 0x0A);  // from the first column, not the second
  EXPECT_EQ(definitions[3].name, "Scale");
  EXPECT_EQ(column_property_value(metadata.columns[0], "Name")->var().packed().view(), "\x01" "a");
  EXPECT_FALSE(column_property_value(metadata.columns[0], "Scale").has_value());
  EXPECT_FALSE(column_property_value(metadata.columns[0], "name").has_value());
}

TEST(TableMetadata, WholeSectionWithExtrasAndDefaults) {
  EXPECT_EQ(
      written([](Writer& w) { return write_table_metadata(w, two_columns_with_extras()); }),
      cat({hex("01000000 01000000 50 02 01 02000000 01 09000000"),  // P = 2, default 9
           hex("02000000 04000000"),                                // 2 columns, 4 definitions
           hex("04000000"), ascii("Name"), hex("0a 00"),
           hex("08000000"), ascii("DataType"), hex("0c 00"),
           hex("04000000"), ascii("Unit"), hex("0a 01 01000000 3f"),
           hex("05000000"), ascii("Scale"), hex("02 00"),
           // column a: Name, DataType, Unit, no Scale
           hex("01 01000000 61  01 01000000 0a  01 01000000 6d  00"),
           // column b: its own int Unit is written as it is
           hex("01 01000000 62  01 01000000 02  01 01000000  01 03000000")}));
}

TEST(TableMetadata, NoColumnsMeansNoDefinitions) {
  TableMetadata metadata;
  EXPECT_EQ(written([&](Writer& w) { return write_table_metadata(w, metadata); }),
            hex("00000000 00000000 00000000"));
}

TEST(FormatErrors, EveryKindHasItsText) {
  const std::pair<FormatError, std::string> cases[] = {
      {{FormatErrorKind::InvalidBytes}, "invalid bytes"},
      {{FormatErrorKind::InvalidInt}, "invalid int"},
      {{FormatErrorKind::InvalidLong}, "invalid long"},
      {{FormatErrorKind::InvalidFloat}, "invalid float"},
      {{FormatErrorKind::InvalidDouble}, "invalid double"},
      {{FormatErrorKind::InvalidString}, "invalid string"},
      {{FormatErrorKind::InvalidBool}, "invalid bool"},
      {{FormatErrorKind::InvalidSectionId, 9}, "invalid section id 9"},
      {{FormatErrorKind::InvalidSectionId, 255}, "invalid section id 255"},
      {{FormatErrorKind::WrongSectionId, 3, 5}, "wrong section id, expected TableSlice, got TableEnd"},
      {{FormatErrorKind::WrongSectionId, 1, 4}, "wrong section id, expected FileHeader, got ColumnSlice"},
      {{FormatErrorKind::WrongSectionId, 2, 2}, "wrong section id, expected TableMetadata, got TableMetadata"},
      {{FormatErrorKind::MagicNumberMismatch}, "magic number mismatch"},
      {{FormatErrorKind::UnsupportedVersion, 2, 0}, "unsupported version 2.0"},
      {{FormatErrorKind::UnsupportedVersion, 1, 0}, "unsupported version 1.0"},
      {{FormatErrorKind::UnsupportedVersion, 10, 255}, "unsupported version 10.255"},
      {{FormatErrorKind::InvalidSize}, "invalid size"},
      {{FormatErrorKind::MetadataValueArrayLength}, "metadata value array length must be zero or one"},
      {{FormatErrorKind::InvalidValueType}, "invalid value type"},
      {{FormatErrorKind::UnknownTypeId}, "unknown type id"},
      {{FormatErrorKind::InvalidObject}, "invalid object"},
      {{FormatErrorKind::InvalidMetadata}, "invalid metadata"},
      {{FormatErrorKind::ColumnCountMismatch}, "column count mismatch"},
      {{FormatErrorKind::InvalidEncoding}, "invalid encoding"},
      {{FormatErrorKind::StringTooLong}, "string too long"},
      {{FormatErrorKind::BytesTooLong}, "bytes too long"},
      {{FormatErrorKind::TooManyColumns}, "too many columns"},
      {{FormatErrorKind::TooManyMetadata}, "too many metadata"},
      {{FormatErrorKind::TooManyProperties}, "too many properties"},
      {{FormatErrorKind::TooManyValuesInArray}, "too many values in array"},
      {{FormatErrorKind::InvalidRunLengthEncodedObject}, "invalid run-length encoded object"},
  };
  for (const auto& [error, text] : cases) EXPECT_EQ(message(error), text);
}

// Each limit check, reached with a limit of 4 instead of 2^31 - 1.
TEST(Limits, EachCheckReportsItsKind) {
  constexpr uint64_t kLimit = 4;
  const auto plain = [](ValueObject values) { return EncodedArray{PlainArray{std::move(values)}}; };

  EXPECT_EQ(failure(kLimit, [](Writer& w) { return w.write_name("12345"); }), "string too long");
  EXPECT_EQ(failure(kLimit, [](Writer& w) { return w.write_name("1234"); }), "ok");

  // Value arrays: the element count, then each element, then the packed total.
  EXPECT_EQ(failure(kLimit, [&](Writer& w) { return write_encoded_array(w, plain(int_array({1, 2, 3, 4, 5}))); }),
            "too many values in array");
  EXPECT_EQ(failure(kLimit, [&](Writer& w) { return write_encoded_array(w, plain(int_array({1, 2, 3, 4}))); }), "ok");
  EXPECT_EQ(failure(kLimit, [&](Writer& w) { return write_encoded_array(w, plain(string_array({"12345"}))); }),
            "string too long");
  EXPECT_EQ(failure(kLimit, [&](Writer& w) { return write_encoded_array(w, plain(string_array({"12", "1"}))); }),
            "too many values in array");  // 3 + 2 packed bytes
  EXPECT_EQ(failure(kLimit, [&](Writer& w) { return write_encoded_array(w, plain(string_array({"123"}))); }), "ok");
  // Elements are checked in order: whichever limit is passed first is reported.
  EXPECT_EQ(failure(kLimit, [&](Writer& w) { return write_encoded_array(w, plain(string_array({"123", "12345"}))); }),
            "string too long");
  EXPECT_EQ(failure(kLimit, [&](Writer& w) { return write_encoded_array(w, plain(string_array({"1", "12", "12345"}))); }),
            "too many values in array");
  ValueObject long_bytes(TypeId::Bytes, Shape::Array);
  long_bytes.var().append("12345", 5);
  EXPECT_EQ(failure(kLimit, [&](Writer& w) { return write_encoded_array(w, plain(std::move(long_bytes))); }),
            "bytes too long");

  // Bit arrays and run-length arrays.
  EXPECT_EQ(failure(kLimit, [](Writer& w) { return write_bit_array(w, pack_bits(std::vector<uint8_t>(5, 1))); }),
            "bytes too long");
  const auto runs = [](std::vector<uint8_t> run_bytes, ValueObject values) {
    RunLengthArray array{std::move(values), {}};
    array.run_bytes.append(run_bytes.data(), run_bytes.size());
    return EncodedArray{std::move(array)};
  };
  EXPECT_EQ(failure(kLimit, [&](Writer& w) { return write_encoded_array(w, runs({4}, int_array({1}))); }),
            "too many values in array");  // one run of five
  EXPECT_EQ(failure(kLimit, [&](Writer& w) { return write_encoded_array(w, runs({0, 0, 0, 0, 0}, int_array({1}))); }),
            "too many values in array");  // five represented values come first
  EXPECT_EQ(failure(kLimit, [&](Writer& w) { return write_encoded_array(w, runs({3}, int_array({1, 2, 3, 4, 5}))); }),
            "too many values in array");

  // Column slices and table slices.
  ColumnSlice many_properties;
  many_properties.values = PlainArray{int_array({})};
  for (int i = 0; i < 5; ++i) many_properties.further_properties.push_back({"p", PlainArray{int_array({})}});
  EXPECT_EQ(failure(kLimit, [&](Writer& w) { return write_column_slice(w, many_properties); }),
            "too many properties");
  ColumnSlice long_property_name;
  long_property_name.values = PlainArray{int_array({})};
  long_property_name.further_properties.push_back({"12345", PlainArray{int_array({})}});
  EXPECT_EQ(failure(kLimit, [&](Writer& w) { return write_column_slice(w, long_property_name); }),
            "string too long");
  ColumnSlice long_is_invalid;
  long_is_invalid.values = PlainArray{int_array({})};
  long_is_invalid.is_invalid = pack_bits(std::vector<uint8_t>(5, 0));
  // "IsInvalid" is nine bytes long, so the name fails before its bits.
  EXPECT_EQ(failure(kLimit, [&](Writer& w) { return write_column_slice(w, long_is_invalid); }), "string too long");
  EXPECT_EQ(failure(9, [&](Writer& w) {
              long_is_invalid.is_invalid = pack_bits(std::vector<uint8_t>(10, 0));
              return write_column_slice(w, long_is_invalid);
            }),
            "bytes too long");
  std::vector<ColumnSlice> five_columns(5);
  for (auto& c : five_columns) c.values = PlainArray{int_array({})};
  EXPECT_EQ(failure(kLimit, [&](Writer& w) { return write_table_slice(w, five_columns); }), "too many columns");

  // Table metadata: properties, columns, definitions, names and values.
  TableMetadata many_properties_table;
  for (int i = 0; i < 5; ++i) many_properties_table.properties.push_back({"p", ValueObject::single_int(1), std::nullopt});
  EXPECT_EQ(failure(kLimit, [&](Writer& w) { return write_table_metadata(w, many_properties_table); }),
            "too many metadata");
  TableMetadata many_columns;
  for (int i = 0; i < 5; ++i) many_columns.columns.push_back({"c", TypeId::Int, {}});
  EXPECT_EQ(failure(kLimit, [&](Writer& w) { return write_table_metadata(w, many_columns); }), "too many columns");
  TableMetadata many_definitions;
  many_definitions.columns.push_back({"c", TypeId::Int, {}});
  for (const char* n : {"x", "y", "z"}) {
    many_definitions.columns[0].extra_properties.push_back({n, ValueObject::single_int(1), std::nullopt});
  }
  EXPECT_EQ(failure(kLimit, [&](Writer& w) { return write_table_metadata(w, many_definitions); }), "too many metadata");
  TableMetadata long_column_name;  // "DataType" fits a limit of 8; the column's name does not
  long_column_name.columns.push_back({"123456789", TypeId::Int, {}});
  EXPECT_EQ(failure(8, [&](Writer& w) { return write_table_metadata(w, long_column_name); }), "string too long");
  long_column_name.columns[0].name = "12345678";
  EXPECT_EQ(failure(8, [&](Writer& w) { return write_table_metadata(w, long_column_name); }), "ok");
  TableMetadata long_bytes_value;
  long_bytes_value.properties.push_back(
      {"p", ValueObject::single_bytes(std::vector<uint8_t>{1, 2, 3, 4, 5}), std::nullopt});
  EXPECT_EQ(failure(kLimit, [&](Writer& w) { return write_table_metadata(w, long_bytes_value); }), "bytes too long");
}
