#include "sniff/sample_records.hpp"

#include <algorithm>
#include <span>

#include "common/utf8.hpp"
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
  d.skip_initial_space = skip_initial_space;
  return d;
}

Records::Records(csv::FieldTexts texts, const std::vector<std::pair<size_t, size_t>>& starts_and_counts)
    : text_(std::make_unique<const std::string>(std::move(texts.text))) {
  fields_.reserve(texts.ends.size());
  size_t begin = 0;
  for (const size_t end : texts.ends) {
    fields_.emplace_back(text_->data() + begin, end - begin);
    begin = end;
  }
  list_.reserve(starts_and_counts.size());
  size_t first = 0;
  for (const auto& [start, count] : starts_and_counts) {
    list_.push_back(Record{start, Fields(fields_).subspan(first, count)});
    first += count;
  }
}

bool Records::operator==(const Records& other) const noexcept {
  return std::equal(list_.begin(), list_.end(), other.list_.begin(), other.list_.end(),
                    [](const Record& a, const Record& b) {
                      return a.start == b.start && std::equal(a.fields.begin(), a.fields.end(), b.fields.begin(),
                                                              b.fields.end());
                    });
}

Records read_records(std::string_view text, const Candidate& candidate, size_t limit, char comment) {
  if (limit == 0) return Records{};
  csv::FieldTexts texts;
  std::vector<std::pair<size_t, size_t>> starts_and_counts;
  const csv::CsvReader reader = reader_of(text, candidate.dialect(comment));
  reader.visit_field_texts(0, texts, [&](size_t where, size_t fields) {
    starts_and_counts.emplace_back(where, fields);
    return starts_and_counts.size() < limit;
  });
  // Fields split from valid UTF-8 at ASCII bytes are valid: one check for
  // all, of the text (their concatenation may be valid where they are not).
  if (!common::is_valid_utf8(reinterpret_cast<const uint8_t*>(text.data()), text.size())) {
    csv::FieldTexts replaced;
    size_t begin = 0;
    for (const size_t end : texts.ends) {
      replaced.text += with_replacements(std::string_view(texts.text).substr(begin, end - begin));
      replaced.ends.push_back(replaced.text.size());
      begin = end;
    }
    texts = std::move(replaced);
  }
  return Records(std::move(texts), starts_and_counts);
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
