// Rows converted ahead of their slice must give a slice the values it would
// get from the fields themselves, for any run of them.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "csv_input/csv_reader.hpp"
#include "qarn/writer.hpp"
#include "fields/chunk_builder.hpp"
#include "fields/converted_slice.hpp"

namespace {

using qarn::TypeId;

std::span<const uint8_t> as_bytes(const std::string& text) {
  return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

// The slice's encoded bytes, as the writer would frame them.
std::string encoded(fields::ChunkBuilder& chunk) {
  common::ByteBuffer out;
  qarn::Writer writer(out);
  EXPECT_FALSE(qarn::write_table_slice(writer, chunk.finish_slices()));
  return std::string(out.view());
}

TEST(ConvertedRows, AnyRunOfThemEncodesAsItsFieldsWould) {
  std::mt19937 random(5);
  using fields::ColumnType;
  const std::vector<ColumnType> types = {ColumnType::Int, ColumnType::String, ColumnType::Double, ColumnType::Bool};
  for (int round = 0; round < 200; ++round) {
    // Strings of 0 to 300 bytes, so that length headers take one byte or two.
    std::string csv;
    const size_t rows = 1 + random() % 90;
    for (size_t row = 0; row < rows; ++row) {
      csv += random() % 5 == 0 ? "x" : std::to_string(random() % 1000);
      csv += ',' + std::string(random() % 7 == 0 ? 130 + random() % 170 : random() % 9, 'a' + row % 26);
      csv += random() % 6 == 0 ? ",?" : ",1.5";
      csv += random() % 4 == 0 ? ",maybe\n" : ",true\n";
    }
    csv::CsvReader reader(as_bytes(csv));
    csv::RowBatch batch;
    ASSERT_EQ(reader.next_batch(batch, types.size(), rows).value(), rows);
    // The same records converted in two batches, into rows that held others before.
    fields::ConvertedRows converted(types);
    converted.append(batch);
    converted.clear();
    csv::CsvReader again(as_bytes(csv));
    csv::RowBatch part;
    const size_t split = 1 + random() % rows;
    for (const size_t count : {split, rows - split}) {
      if (count == 0) continue;
      ASSERT_EQ(again.next_batch(part, types.size(), count).value(), count);
      converted.append(part);
    }
    fields::ChunkBuilder whole(types);
    whole.append_rows(batch, 0, rows);
    ASSERT_EQ(converted.lost().misfits_by_column, whole.lost().misfits_by_column) << round;
    // Now and then the last row is dropped, as a record cut by the end of
    // a segment is: its element stays behind the others, unused.
    fields::ConvertedRows in_one_batch(types);
    in_one_batch.append(batch);
    size_t held = rows;
    if (rows > 1 && random() % 3 == 0) {
      converted.drop_last_row();
      in_one_batch.drop_last_row();
      --held;
    }

    const size_t begin = random() % held;
    const size_t end = begin + 1 + random() % (held - begin);
    fields::ChunkBuilder from_fields(types);
    from_fields.append_rows(batch, begin, end);
    fields::ChunkBuilder from_converted(types);
    from_converted.append_converted(converted, begin, end);
    ASSERT_EQ(from_converted.row_count(), end - begin);
    // finish_slices() lends the invalid bits once: the bytes are taken first.
    const std::string expected = encoded(from_fields);
    ASSERT_EQ(encoded(from_converted), expected) << round << " rows " << begin << ".." << end;
    const auto longest = [](fields::ChunkBuilder& chunk) {
      return std::get<qarn::PlainArray>(chunk.finish_slices()[1].values).values.var().longest();
    };
    ASSERT_EQ(longest(from_converted), longest(from_fields)) << round;

    // The same slice written straight from two pieces, split anywhere.
    const size_t middle = begin + random() % (end - begin + 1);
    const std::vector<fields::ConvertedRange> ranges = {{&converted, begin, middle}, {&in_one_batch, middle, end}};
    const std::optional<size_t> size = fields::converted_slice_size(ranges);
    ASSERT_TRUE(size);
    std::string direct(*size, '\0');
    uint64_t invalid_cells = 0;
    uint8_t* first = reinterpret_cast<uint8_t*>(direct.data());
    ASSERT_EQ(fields::write_converted_slice(ranges, first, invalid_cells), first + *size);
    ASSERT_EQ(direct, std::string("\x4e\x7c\x03") + expected) << round << " split at " << middle;
  }
}

}  // namespace
