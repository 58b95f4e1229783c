// The dialect guess on arbitrary bytes: it must end, within its bounds,
// whatever the text; and the reader's fields in one buffer
// (visit_field_texts) must be the fields it reads one record at a time, in
// the dialect the second byte picks. The first byte says whether the text
// is the whole input and where a tail (the end of a longer input) begins.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "csv_input/csv_reader.hpp"
#include "fuzz_options.hpp"
#include "sniff/sniff_text.hpp"

namespace {

void check(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "%s\n", what);
  std::abort();
}

void check_field_texts(std::string_view text, const csv::Dialect& dialect) {
  csv::TableLayout layout;
  layout.dialect = dialect;
  const csv::CsvReader reader(std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()), layout);
  std::vector<std::pair<size_t, std::vector<std::string>>> one_by_one;
  reader.visit_records(0, [&](size_t where, std::vector<std::string>& fields) {
    one_by_one.emplace_back(where, fields);
    return true;
  });
  csv::FieldTexts texts;
  size_t record = 0;
  size_t field = 0;
  reader.visit_field_texts(0, texts, [&](size_t where, size_t count) {
    check(record < one_by_one.size() && one_by_one[record].first == where &&
              one_by_one[record].second.size() == count, "visit_field_texts read other records");
    for (const std::string& expected : one_by_one[record].second) {
      const size_t begin = field == 0 ? 0 : texts.ends[field - 1];
      check(std::string_view(texts.text).substr(begin, texts.ends[field] - begin) == expected,
            "visit_field_texts read another field");
      ++field;
    }
    ++record;
    return true;
  });
  check(record == one_by_one.size(), "visit_field_texts read fewer records");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const bool whole = (data[0] & 1) != 0;
  const std::string_view input(reinterpret_cast<const char*>(data + 2), size - 2);
  check_field_texts(input, fuzz::dialect_from_byte(data[1]));
  std::string_view text = input;
  std::optional<std::string_view> tail;
  if (!whole && (data[0] & 2) != 0) {
    const size_t cut = input.size() * (data[0] >> 2) / 64;
    text = input.substr(0, cut);
    tail = input.substr(cut);
  }
  const sniff::Sniffed found = sniff::sniff_text(text, whole, tail);
  check(found.columns >= 1, "no column");
  check(found.margin >= 0.0 && found.margin <= 1.0 && found.consistency >= 0.0 && found.consistency <= 1.0,
        "a share out of bounds");
  check(found.skip_rows <= text.size() && found.skip_footer <= input.size(), "more lines skipped than there are");
  return 0;
}
