#include "sniff/sample_records.hpp"

#include <span>

#include "csv_input/csv_reader.hpp"
#include "sniff/utf8_text.hpp"

namespace sniff {

namespace {

csv::CsvReader reader_of(std::string_view text, const csv::Dialect& dialect) {
  csv::TableLayout layout;
  layout.dialect = dialect;
  return csv::CsvReader(std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()), layout);
}

}  // namespace

csv::Dialect Candidate::dialect(char comment_byte) const noexcept {
  csv::Dialect d;
  d.delimiter = static_cast<uint8_t>(delimiter);
  d.quoting = quote != 0;
  if (quote != 0) d.quote = static_cast<uint8_t>(quote);
  d.escaping = escape;
  d.escape = '\\';
  d.comments = comment_byte != 0;
  if (comment_byte != 0) d.comment = static_cast<uint8_t>(comment_byte);
  d.newlines_in_values = newlines_in_values;
  return d;
}

Records read_records(std::string_view text, const Candidate& candidate, size_t limit, char comment) {
  Records records;
  if (limit == 0) return records;
  const csv::CsvReader reader = reader_of(text, candidate.dialect(comment));
  reader.visit_records(0, [&](size_t where, std::vector<std::string>& fields) {
    Record& record = records.emplace_back();
    record.start = where;
    record.fields.reserve(fields.size());
    for (const std::string& field : fields) record.fields.push_back(with_replacements(field));
    return records.size() < limit;
  });
  return records;
}

std::vector<size_t> read_field_counts(std::string_view text, const Candidate& candidate, size_t limit) {
  std::vector<size_t> counts;
  if (limit == 0) return counts;
  const csv::CsvReader reader = reader_of(text, candidate.dialect());
  reader.visit_field_counts(0, [&](size_t, size_t fields) {
    counts.push_back(fields);
    return counts.size() < limit;
  });
  return counts;
}

}  // namespace sniff
