// The strict reader: one row per kind of defect, each at the offset of the
// item that holds it, and the values it decodes from what the converter and
// the writer produce.
#include <gtest/gtest.h>

#include "hex_bytes.hpp"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "convert/driver.hpp"
#include "qarn/read_error.hpp"
#include "qarn/table_reader.hpp"

using namespace qarn;

namespace {

using testing_bytes::hex;

std::string ascii_hex(const std::string& text) {
  std::string out;
  char buffer[3];
  for (unsigned char c : text) {
    std::snprintf(buffer, sizeof buffer, "%02x", c);
    out += buffer;
  }
  return out;
}

// The converter's output for "a,b\nx,1\ny,2\n": 143 bytes.
const std::string kExample =
    "4e7c01 0100 4e7c02 01000000 0c000000" + ascii_hex("TableColumns") +
    "02 01 02000000 00 02000000 02000000 04000000" + ascii_hex("Name") + "0a00 08000000" +
    ascii_hex("DataType") +
    "0c00 01 01000000 61 01 01000000 0a 01 01000000 62 01 01000000 02"
    "4e7c03 02000000 4e7c04 010a 02000000 04000000 01780179 00000000"
    "4e7c04 0102 02000000 0100000002000000 00000000 4e7c05";

// A file of one column named "a" whose "DataType" value is `data_type`
// (its length and bytes), with the given table slice bodies (each after its
// section header). Its first column slice's values begin at byte 89.
std::string one_column_raw(const std::string& data_type, const std::vector<std::string>& slices) {
  std::string file = "4e7c01 0100 4e7c02 01000000 0c000000" + ascii_hex("TableColumns") +
                     "02 01 01000000 00 01000000 02000000 04000000" + ascii_hex("Name") +
                     "0a00 08000000" + ascii_hex("DataType") + "0c00 01 01000000 61 01 " +
                     data_type;
  for (const std::string& slice : slices) file += " 4e7c03 01000000 4e7c04 " + slice;
  return file + " 4e7c05";
}

std::string one_column(const std::string& type, const std::vector<std::string>& slices) {
  return one_column_raw("01000000" + type, slices);
}

std::vector<uint8_t> cut(std::vector<uint8_t> file, size_t length) {
  file.resize(length);
  return file;
}

std::string outcome(const std::vector<uint8_t>& file) {
  const ReadStatus status = validate_file(file);
  return status ? read_message(*status) : "ok";
}

std::vector<uint8_t> with(std::string base, size_t offset, const std::string& bytes,
                          size_t offset2 = 0, const std::string& bytes2 = "") {
  std::vector<uint8_t> file = hex(base);
  // std::copy: memcpy from an empty patch would be given a null pointer.
  const std::vector<uint8_t> patch = hex(bytes);
  std::copy(patch.begin(), patch.end(), file.begin() + static_cast<std::ptrdiff_t>(offset));
  const std::vector<uint8_t> patch2 = hex(bytes2);
  std::copy(patch2.begin(), patch2.end(), file.begin() + static_cast<std::ptrdiff_t>(offset2));
  return file;
}

std::vector<uint8_t> converted(const std::string& csv, uint64_t chunk_size = 10000) {
  ByteBuffer out;
  const auto failure = convert::convert_csv_to_qarn(
      std::span(reinterpret_cast<const uint8_t*>(csv.data()), csv.size()), chunk_size, 1000, out);
  EXPECT_FALSE(failure.has_value());
  return {out.data(), out.data() + out.size()};
}

struct Defect {
  const char* what;
  std::vector<uint8_t> file;
  const char* message;
};

}  // namespace

TEST(Reader, AcceptsTheWorkedExample) {
  ASSERT_EQ(hex(kExample).size(), 143u);
  EXPECT_EQ(outcome(hex(kExample)), "ok");
  EXPECT_EQ(hex(kExample), converted("a,b\nx,1\ny,2\n"));
}

TEST(Reader, ReportsEachDefectAtItsItem) {
  const std::string e = kExample;
  const Defect defects[] = {
      {"bytes after the table end", hex(e + "00"), "invalid size at byte 143"},
      {"missing table end", hex(e.substr(0, e.size() - 6)), "invalid size at byte 140"},
      {"file header magic", with(e, 0, "4e7d"), "magic number mismatch at byte 0"},
      {"metadata magic", with(e, 5, "00"), "magic number mismatch at byte 5"},
      {"file shorter than the magic number", hex("4f"), "invalid size at byte 0"},
      {"magic number then the file ends", hex("4e7c"), "invalid size at byte 0"},
      {"wrong magic number of two bytes", hex("4f7c"), "magic number mismatch at byte 0"},
      {"unknown section id", with(e, 2, "09"), "invalid section id 9 at byte 0"},
      {"section id zero", with(e, 0x5D, "00"), "invalid section id 0 at byte 91"},
      {"metadata first", with(e, 2, "02"),
       "wrong section id, expected FileHeader, got TableMetadata at byte 0"},
      {"header twice", with(e, 7, "01"),
       "wrong section id, expected TableMetadata, got FileHeader at byte 5"},
      {"column slice at the top", with(e, 0x5D, "04"),
       "wrong section id, expected TableEnd, got ColumnSlice at byte 91"},
      {"table slice where a column slice stands", with(e, 0x64, "03"),
       "wrong section id, expected ColumnSlice, got TableSlice at byte 98"},
      {"version 2.0", with(e, 3, "02"), "unsupported version 2.0 at byte 3"},
      {"version 1.1", with(e, 4, "01"), "unsupported version 1.1 at byte 3"},
      {"negative property count", with(e, 8, "ffffffff"), "invalid size at byte 8"},
      {"negative name length", with(e, 0x0C, "ffffff80"), "invalid size at byte 12"},
      {"name past the end", with(e, 0x0C, "ffffff7f"), "invalid size at byte 12"},
      {"unknown type id 0x0B", with(e, 0x1C, "0b"), "unknown type id at byte 28"},
      {"unknown type id 0x00", with(e, 0x41, "00"), "unknown type id at byte 65"},
      {"unknown type id 0x0E", with(e, 0x66, "0e"), "unknown type id at byte 102"},
      {"value flag 0", with(e, 0x1D, "00"), "invalid metadata at byte 29"},
      {"default flag 2", with(e, 0x22, "02"), "invalid metadata at byte 34"},
      {"definition default flag 2", with(e, 0x34, "02"), "invalid metadata at byte 52"},
      {"presence flag 2", with(e, 0x49, "02"), "invalid metadata at byte 73"},
      {"encoding 4", with(e, 0x65, "04"), "invalid encoding at byte 101"},
      {"encoding 0", with(e, 0x7A, "00"), "invalid encoding at byte 122"},
      {"element not UTF-8", with(e, 0x70, "ff"), "invalid string at byte 111"},
      {"second element not UTF-8", with(e, 0x72, "c3"), "invalid string at byte 113"},
      {"elements that are one character only when joined", with(e, 0x70, "c3", 0x72, "a9"),
       "invalid string at byte 111"},
      {"name not UTF-8", with(e, 0x2F, "c0"), "invalid string at byte 43"},
      {"lengths fall short of the total", with(e, 0x6B, "05"), "invalid size at byte 107"},
      {"element past the total", with(e, 0x6B, "03"), "invalid size at byte 107"},
      {"element past the file", with(e, 0x71, "7f"), "invalid size at byte 107"},
      {"negative value count", with(e, 0x67, "000000f0"), "invalid size at byte 103"},
      {"column without a name", with(e, 0x2F, "4e616d61"), "invalid metadata at byte 67"},
      {"name of another type", with(e, 0x33, "0c"), "invalid metadata at byte 67"},
      {"absent name shifts what follows", with(e, 0x4F, "00"), "invalid size at byte 81"},
      {"data type of two bytes", hex(one_column_raw("02000000 0a0a", {})), "invalid metadata at byte 74"},
      {"table columns before a column without a name", with(e, 0x1E, "03", 0x2F, "4e616d61"),
       "column count mismatch at byte 12"},
      {"data type naming no type", with(e, 0x4E, "0b"), "unknown type id at byte 74"},
      {"table columns differs", with(e, 0x1E, "03"), "column count mismatch at byte 12"},
      {"slice column count differs", with(e, 0x5E, "03"), "column count mismatch at byte 94"},
      {"values of another type", with(e, 0x7B, "03"), "invalid value type at byte 123"},
      {"different row counts", with(e, 0x7C, "01"), "invalid size at byte 122"},
      {"negative property count of a slice", with(e, 0x73, "ffffffff"), "invalid size at byte 115"},
      {"fixed values cut short", cut(hex(e), 0x84), "invalid size at byte 124"},
      {"bool byte 2", hex(one_column("01", {"0101 03000000 000102 00000000"})),
       "invalid bool at byte 97"},
      {"bool byte 2, count past the file end", cut(hex(one_column("01", {"0101 05000000 0002"})), 97),
       "invalid size at byte 91"},
      {"bool in the metadata", hex("4e7c01 0100 4e7c02 01000000 01000000 78 01 01 05"),
       "invalid bool at byte 19"},
      {"string in the metadata", hex("4e7c01 0100 4e7c02 01000000 01000000 78 0a 01 01000000 ff"),
       "invalid string at byte 19"},
      {"bit array of type int", hex(one_column("01", {"0302 01000000 80 00000000"})),
       "invalid value type at byte 90"},
      {"bit array for an int column", hex(one_column("02", {"0301 01000000 80 00000000"})),
       "invalid value type at byte 90"},
      {"bit array cut short", cut(hex(one_column("01", {"0301 11000000 ffff"})), 97),
       "invalid size at byte 91"},
      {"is-invalid with too few bits",
       hex(one_column("02", {"0102 02000000 0100000002000000 01000000 09000000" +
                             ascii_hex("IsInvalid") + "0301 01000000 80"})),
       "invalid size at byte 120"},
      {"has-replaced-value of type int",
       hex(one_column("02", {"0102 01000000 01000000 01000000 10000000" +
                             ascii_hex("HasReplacedValue") + "0102 01000000 01000000"})),
       "invalid value type at byte 124"},
      {"run total differs from the count",
       hex(one_column("02", {"0202 05000000 02000000 0200 02000000 0700000009000000 00000000"})),
       "invalid run-length encoded object at byte 89"},
      {"runs and run values differ in number",
       hex(one_column("02", {"0202 04000000 02000000 0200 01000000 07000000 00000000"})),
       "invalid run-length encoded object at byte 89"},
      {"run bytes past the file", hex(one_column("02", {"0202 04000000 ff000000 02"})),
       "invalid size at byte 95"},
      {"packed length of six bytes",
       hex(one_column("0a", {"010a 01000000 06000000 808080808000 00000000"})),
       "invalid size at byte 99"},
      {"packed length above the limit",
       hex(one_column("0a", {"010a 01000000 05000000 ffffffff08 00000000"})),
       "invalid size at byte 99"},
      {"two billion values in a small file", hex(one_column("03", {"0103 ffffff7f 00"})),
       "invalid size at byte 91"},
      {"string total past the file, a bad element before its end",
       hex(one_column("0a", {"010a 02000000 ffffff7f 01ff 01"})), "invalid size at byte 95"},
      {"two billion strings in a small file", hex(one_column("0a", {"010a ffffff7f 00000000 00000000"})),
       "invalid size at byte 95"},
      {"two billion columns without definitions",
       hex("4e7c01 0100 4e7c02 00000000 ffffff7f 00000000 4e7c05"), "invalid metadata at byte 20"},
  };
  for (const Defect& defect : defects) {
    EXPECT_EQ(outcome(defect.file), std::string("QARN read error: ") + defect.message)
        << defect.what;
  }
}

TEST(Reader, SizesColumnsOnlyFromCountsTheFileCanHold) {
  // Two billion strings declared in a small block: the columns are sized
  // before decoding, and that must not take the count at its word.
  const std::vector<uint8_t> file = hex(one_column("0a", {"010a ffffff7f 02000000 0161 00000000"}));
  DecodedTable table;
  const ReadStatus status = read_table(file, {}, table);
  ASSERT_TRUE(status.has_value());
  EXPECT_EQ(read_message(*status), "QARN read error: invalid size at byte 95");
}

TEST(Reader, EveryCutOfAValidFileIsInvalidSize) {
  const std::vector<uint8_t> file =
      converted("n,s,b,d\n1,x,true,1.5\n,\"y\"\"\",false,\n3,,TRUE,-0\n", 2);
  ASSERT_EQ(outcome(file), "ok");
  for (size_t length = 0; length < file.size(); ++length) {
    const std::vector<uint8_t> cut(file.begin(), file.begin() + static_cast<ptrdiff_t>(length));
    const ReadStatus status = validate_file(cut);
    ASSERT_TRUE(status.has_value()) << length;
    EXPECT_EQ(status->error.kind, FormatErrorKind::InvalidSize) << length;
    EXPECT_LE(status->offset, length) << length;
  }
}

TEST(Reader, DecodesEveryEncodingIntoJoinedColumns) {
  // Two slices of an int column: run-length (7, 7, 7, 9) with one invalid
  // row, then plain (5).
  const std::string rle = "0202 04000000 02000000 0200 02000000 0700000009000000 01000000 09000000" +
                          ascii_hex("IsInvalid") + "0301 04000000 20";
  const std::string plain = "0102 01000000 05000000 01000000 05000000" + ascii_hex("Extra") +
                            "0103 01000000 2a00000000000000";
  const std::vector<uint8_t> file = hex(one_column("02", {rle, plain}));
  DecodedTable table;
  const ReadStatus status = read_table(file, {}, table);
  ASSERT_FALSE(status.has_value()) << read_message(*status);
  ASSERT_EQ(table.slices.slice_rows, (std::vector<uint64_t>{4, 1}));
  const DecodedColumn& column = *table.slices.columns[0];
  std::vector<int32_t> values(5);
  ASSERT_EQ(column.values.fixed().size(), 20u);
  std::memcpy(values.data(), column.values.fixed().data(), 20);
  EXPECT_EQ(values, (std::vector<int32_t>{7, 7, 7, 9, 5}));
  EXPECT_EQ(std::vector<uint8_t>(column.invalid.flags().data(), column.invalid.flags().data() + 5),
            (std::vector<uint8_t>{0, 0, 1, 0, 0}));
  EXPECT_EQ(table.slices.slice_has_invalid, (std::vector<uint8_t>{1, 0}));
  const auto& extra = table.slices.slice_properties.at({1, 0});
  ASSERT_EQ(extra.size(), 1u);
  EXPECT_EQ(extra[0].name, "Extra");
  EXPECT_EQ(extra[0].values.type(), TypeId::Long);
}

TEST(Reader, JoinsStringsOverSlicesAndSkipsUnselectedColumns) {
  const std::vector<uint8_t> file = converted("s,n\nab,1\n,2\nc\xc3\xa9,x\n", 2);
  DecodedTable table;
  const uint8_t selected[] = {1, 0};
  ASSERT_FALSE(read_table(file, selected, table).has_value());
  ASSERT_FALSE(table.slices.columns[1].has_value());
  const ValueColumn& strings = table.slices.columns[0]->values;
  ASSERT_EQ(strings.size(), 3u);
  EXPECT_EQ(strings.element(0), "ab");
  EXPECT_EQ(strings.element(1), "");
  EXPECT_EQ(strings.element(2), "c\xc3\xa9");
  EXPECT_EQ(std::vector<uint8_t>(table.slices.columns[0]->invalid.flags().data(),
                                 table.slices.columns[0]->invalid.flags().data() + 3),
            (std::vector<uint8_t>{0, 1, 0}));
}

TEST(Reader, LaysStringsOutAsViewsWithLongOnesInTheData) {
  const std::vector<uint8_t> file = converted("s,n\nab,1\n,2\nthirteen byte,3\nc\xc3\xa9,4\nfourteen bytes,5\n", 2);
  DecodedTable table;
  ASSERT_FALSE(read_table(file, {}, table, nullptr, {}, StringLayout::Views).has_value());
  const ValueColumn& strings = table.slices.columns[0]->values;
  ASSERT_TRUE(strings.views());
  ASSERT_EQ(strings.size(), 5u);
  // Long elements of every slice back to back, each view pointing at its own.
  EXPECT_EQ(strings.data().view(), "thirteen bytefourteen bytes");
  const auto view = [&](size_t i) {
    return std::string(reinterpret_cast<const char*>(strings.offsets().data()) + 16 * i, 16);
  };
  EXPECT_EQ(view(0), std::string("\x02\0\0\0ab\0\0\0\0\0\0\0\0\0\0", 16));
  EXPECT_EQ(view(1), std::string(16, '\0'));
  EXPECT_EQ(view(2), std::string("\x0d\0\0\0thir\0\0\0\0\0\0\0\0", 16));
  EXPECT_EQ(view(3), std::string("\x03\0\0\0c\xc3\xa9\0\0\0\0\0\0\0\0\0", 16));
  EXPECT_EQ(view(4), std::string("\x0e\0\0\0four\0\0\0\0\x0d\0\0\0", 16));
  EXPECT_EQ(strings.element(4), "fourteen bytes");
}
