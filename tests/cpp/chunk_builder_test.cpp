// Rows converted ahead of their slice must give a slice the values it would
// get from the fields themselves, for any run of them.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "csv_input/csv_reader.hpp"
#include "qarn/writer.hpp"
#include "fields/chunk_builder.hpp"

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
  for (int round = 0; round < 50; ++round) {
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

    const size_t begin = random() % rows;
    const size_t end = begin + 1 + random() % (rows - begin);
    fields::ChunkBuilder from_fields(types);
    from_fields.append_rows(batch, begin, end);
    fields::ChunkBuilder from_converted(types);
    from_converted.append_converted(converted, begin, end);
    ASSERT_EQ(from_converted.row_count(), end - begin);
    const auto longest = [](fields::ChunkBuilder& chunk) {
      return std::get<qarn::PlainArray>(chunk.finish_slices()[1].values).values.var().longest();
    };
    ASSERT_EQ(longest(from_converted), longest(from_fields)) << round;
    ASSERT_EQ(encoded(from_converted), encoded(from_fields)) << round << " rows " << begin << ".." << end;
  }
}

}  // namespace
