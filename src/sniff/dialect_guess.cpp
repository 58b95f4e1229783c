#include "sniff/dialect_guess.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <string>

#include "sniff/cell_kind.hpp"
#include "sniff/quoted_fields.hpp"
#include "sniff/tally.hpp"
#include "sniff/text_patterns.hpp"
#include "sniff/utf8_text.hpp"

namespace sniff {

namespace {

// The delimiters files use, in the order that breaks ties.
constexpr std::string_view kStandardDelimiters = ",;\t|: ";
constexpr std::string_view kQuotes = "\"'";
// Printable ASCII that is neither a usual delimiter nor part of values too
// often to be taken for one.
constexpr std::string_view kOtherDelimiters = "^`~";

constexpr size_t kProbeBytes = 1 << 15;  // the part of the sample that candidates are tried on
constexpr size_t kProbeRecords = 60;
constexpr size_t kFinalists = 4;  // candidates whose fields are looked at, of those whose records are most alike
constexpr size_t kFieldCells = 400;  // fields looked at for each
constexpr size_t kLinesLookedAt = 50;  // lines that tell which characters may separate fields
constexpr size_t kLinesBytes = 1 << 13;  // where those lines are looked for
constexpr size_t kSettleBytes = 1 << 16;  // the part of the sample where stray quotes are looked for

struct Scored {
  double score;
  size_t order;
  Candidate candidate;
  std::vector<size_t> counts;
};

// The start of the sample, cut after a line end.
std::string_view probe_of(std::string_view text) {
  if (text.size() <= kProbeBytes) return text;
  const std::string_view head = text.substr(0, kProbeBytes);
  const size_t cut = find_last_line_end(head);
  return cut != std::string_view::npos && cut > 0 ? head.substr(0, cut + 1) : head;
}

// Whether a character is on a third of the lines or more.
bool on_many_lines(char c, const std::vector<std::string_view>& lines) {
  const auto holding = std::count_if(lines.begin(), lines.end(),
                                     [&](std::string_view line) { return line.find(c) != std::string_view::npos; });
  return !lines.empty() && 3 * static_cast<size_t>(holding) >= lines.size();
}

// Characters other than the usual delimiters that appear as often on
// nearly every line.
void add_other_delimiters(std::string_view head, const std::vector<std::string_view>& lines, std::string& found) {
  if (lines.size() < 2) return;
  const double most = 0.8 * static_cast<double>(lines.size());
  for (const char c : kOtherDelimiters) {
    if (head.find(c) == std::string_view::npos) continue;
    Tally<size_t> times_on_line;
    size_t holding = 0;
    for (std::string_view line : lines) {
      const auto times = static_cast<size_t>(std::count(line.begin(), line.end(), c));
      holding += times > 0 ? 1 : 0;
      times_on_line.add(times);
    }
    if (static_cast<double>(holding) < most) continue;
    const auto& [count, times] = times_on_line.most_common();
    if (count >= 1 && static_cast<double>(times) >= most) found += c;
  }
}

// Whether a quote character begins a field somewhere: at the start of a
// line or after a character that may be a delimiter.
bool opens_fields(char quote, std::string_view head) {
  if (head.find(quote) == std::string_view::npos) return false;
  return head.front() == quote || follows_any(head, kFieldStartBytes, quote);
}

}  // namespace

bool skipping_is_clean(std::string_view text, const Candidate& candidate) {
  return candidate.quote == 0 ||
         spaced_quotes(text, candidate.delimiter, candidate.quote, candidate.newlines_in_values) == SpacedQuotes::Clean;
}

std::optional<Candidate> skipping_spaces(std::string_view text, const Candidate& candidate) {
  Candidate skipping = candidate;
  skipping.skip_initial_space = true;
  if (candidate.quote == 0) return skipping;
  const SpacedQuotes spaced = spaced_quotes(text, candidate.delimiter, candidate.quote, candidate.newlines_in_values);
  if (spaced == SpacedQuotes::Clean) return skipping;
  // Where no quote opens a field without the spaces, the quotes they would
  // let open stay content, as they were, with quoting off.
  const std::string field_starts{candidate.delimiter, '\n', '\r'};
  if (!text.starts_with(candidate.quote) && !follows_any(text, field_starts, candidate.quote)) {
    skipping.quote = 0;
    return skipping;
  }
  // Else a field quoted before more text reads as the quoting reads it
  // without the spaces; a quote that would swallow what follows keeps them.
  if (spaced == SpacedQuotes::Tails) return skipping;
  return std::nullopt;
}

namespace {

// Whether a space follows the delimiter on more than half the lines.
bool spaces_after_on_most_lines(char delimiter, const std::vector<std::string_view>& lines) {
  const std::string pair{delimiter, ' '};
  const auto holding = std::count_if(lines.begin(), lines.end(),
                                     [&](std::string_view line) { return line.find(pair) != std::string_view::npos; });
  return 2 * static_cast<size_t>(holding) > lines.size();
}

std::vector<Candidate> candidates_of(std::string_view probe) {
  const std::string_view head = probe.substr(0, kLinesBytes);
  std::vector<std::string_view> lines;
  split_lines(head, kLinesLookedAt, [&](std::string_view line) {
    if (!is_blank_bytes(line)) lines.push_back(line);
  });
  std::string delimiters;
  for (const char d : kStandardDelimiters) {
    if (on_many_lines(d, lines)) delimiters += d;
  }
  add_other_delimiters(head, lines, delimiters);
  if (delimiters.empty()) delimiters.push_back(',');
  std::string quotes;
  for (const char q : kQuotes) {
    if (opens_fields(q, head)) quotes += q;
  }
  // A quote that opens a field may swallow line ends that should end
  // records: reading line by line keeps such a stray quote to one record.
  const bool line_by_line_too = !quotes.empty();
  // No quote is read as '"' where that opens no field: the same records,
  // and fields quoted further on still read whole.
  quotes.push_back(quotes.find('"') == std::string::npos ? '"' : '\0');  // '"', or else none as well
  bool escapes = false;
  if (probe.find('\\') != std::string_view::npos) {
    escapes = probe.find("\\\"") != std::string_view::npos || probe.find("\\'") != std::string_view::npos;
  }
  std::vector<Candidate> out;
  for (const char d : delimiters) {
    // Spaces after the delimiter on most lines may be skipped, so that a
    // quote after them opens a field ("a, "b, c"").
    const bool spaced = d != ' ' && spaces_after_on_most_lines(d, lines);
    for (const char q : quotes) {
      for (const bool escape : {false, true}) {
        if (escape && !escapes) continue;
        for (const bool keeps : {true, false}) {
          if (!keeps && !line_by_line_too) continue;
          if (d == q || (q == 0 && (escape || !keeps))) continue;
          out.push_back(Candidate{d, q, escape, keeps});
          if (spaced && q != 0 && skipping_is_clean(probe, out.back())) {
            out.push_back(Candidate{d, q, escape, keeps, true});
          }
        }
      }
    }
  }
  return out;
}

// Whether spaces pad the fields of another delimiter: on nearly every line
// (four in five) it stands, each time followed by a space, as in
// "a, b, c". Then a space after it is no delimiter of its own.
bool pads_another_delimiter(std::string_view probe) {
  for (const char other : std::string_view(",;\t|")) {
    size_t lines = 0;
    size_t padded = 0;
    split_lines(probe, kLinesLookedAt, [&](std::string_view line) {
      if (is_blank_bytes(line)) return;
      ++lines;
      const auto count = std::count(line.begin(), line.end(), other);
      size_t followed = 0;
      for (size_t at = line.find(std::string{other, ' '}); at != std::string_view::npos;
           at = line.find(std::string{other, ' '}, at + 1)) {
        ++followed;
      }
      padded += count > 0 && static_cast<size_t>(count) == followed ? 1 : 0;
    });
    if (lines >= 2 && 5 * padded >= 4 * lines) return true;
  }
  return false;
}

// Whether spaces would not read as the delimiter: they only split text
// into words (a file of one column of text is likelier than a table of
// words with no values), or they align columns in runs, which one
// delimiter does not read.
bool words_apart(std::string_view probe, const Candidate& candidate) {
  if (candidate.delimiter != ' ') return false;
  if (pads_another_delimiter(probe)) return true;
  if (candidate.quote != 0 && probe.find(std::string{' ', candidate.quote}) != std::string_view::npos) {
    return false;  // fields quoted because they hold spaces
  }
  size_t lines = 0;
  size_t aligned = 0;
  split_lines(probe, kLinesLookedAt, [&](std::string_view line) {
    ++lines;
    aligned += strip_bytes(line).find("  ") != std::string_view::npos ? 1 : 0;
  });
  if (aligned * 2 > lines) return true;
  size_t typed = 0;
  size_t cells = 0;
  for (const Record& record : read_records(probe, candidate, kProbeRecords)) {
    for (const std::string_view field : record.fields) {
      typed += is_typed(classify(field)) ? 1 : 0;
      ++cells;
    }
  }
  return static_cast<double>(typed) < 0.1 * static_cast<double>(cells);
}

// How much a field looks like a whole value: a value of a type or a
// missing one counts 1, text a little less, and a field that seems cut
// from a larger one or to keep its quotes nothing.
double weight(std::string_view field) {
  if (looks_misread(field)) return 0.0;
  const Cell cell = classify(field);
  return is_typed(cell) || is_missing(cell) ? 1.0 : 0.8;
}

// The mean weight of the fields each candidate reads. Candidates often
// read the same records: each distinct reading is scored once.
class FieldScores {
 public:
  explicit FieldScores(std::string_view probe) : probe_(probe) {}

  double score(const Candidate& candidate, size_t widest) {
    Records records = read_records(probe_, candidate, std::max<size_t>(10, kFieldCells / widest));
    for (const auto& [seen, score] : readings_) {
      if (seen == records) return score;
    }
    double total = 0.0;
    size_t cells = 0;
    for (const Record& record : records) {
      cells += record.fields.size();
      for (const std::string_view field : record.fields) total += weight(field);
    }
    const double score = cells > 0 ? total / static_cast<double>(cells) : 0.0;
    readings_.emplace_back(std::move(records), score);
    return score;
  }

 private:
  std::string_view probe_;
  std::vector<std::pair<Records, double>> readings_;
};

// The largest group of records of one length, more fields counting more:
// what a swallowing quote takes from, and what splitting records at line
// ends in their values does not add to.
double most_alike(const std::vector<size_t>& counts) {
  double most = 0.0;
  bool any = false;
  const Tally<size_t> groups(counts);
  for (const auto& [fields, times] : groups.entries()) {
    const double alike = static_cast<double>(times * (fields - 1)) / static_cast<double>(fields);
    if (!any || alike > most) most = alike;
    any = true;
  }
  return most;
}

// Whether the candidate's quotes hold line ends as values: every quote that
// opens a field (in the part of the text a stray one is looked for in)
// closes right before the next field or line, and some hold line ends.
bool reads_quoted_line_ends(std::string_view text, const Candidate& candidate) {
  return candidate.quote != 0 && !candidate.escape &&
         quoted_line_ends_close(text.substr(0, kSettleBytes), candidate.delimiter, candidate.quote);
}

// The candidate, reading line by line when a quote that opens a field
// swallows line ends that more records of the usual length would have been
// read from: a stray quote, which should spoil one line only. Not when
// every quote that opens a field closes right before the next one: then
// the line ends inside are values, though the pieces of lines they cut
// may happen to be alike.
Candidate with_line_ends_settled(std::string_view text, const Candidate& candidate) {
  text = text.substr(0, kSettleBytes);
  const std::vector<size_t> with_line_ends = read_field_counts(text, candidate, text.size());
  Candidate line_by_line = candidate;
  line_by_line.newlines_in_values = false;
  const std::vector<size_t> without = read_field_counts(text, line_by_line, text.size());
  if (with_line_ends == without || most_alike(without) <= most_alike(with_line_ends)) return candidate;
  if (reads_quoted_line_ends(text, candidate)) return candidate;
  return line_by_line;
}

// The probe after a LF, as the quote patterns take text: its first field
// then starts after a line end like the others.
std::string after_line_end(std::string_view probe) {
  std::string text;
  text.reserve(probe.size() + 1);
  (text += '\n') += probe;
  return text;
}

// Whether quotes are part of the values rather than around them: a quote
// that begins a field closes before more text of the field (as in `"Lyon"
// brand`) or not at all on its line, and no quoted field needs its quotes
// (none holds the delimiter, a line end, or a doubled or escaped quote).
// An apostrophe that never closes is text (`'38`, `'tis`), while a double
// quote that never closes is a broken quoted field, read line by line.
bool quotes_are_text(std::string_view probe, char delimiter, char quote) {
  if (probe.find(quote) == std::string_view::npos) return false;
  std::string_view head = probe.substr(0, kLinesBytes);
  if (const std::string_view whole = whole_lines(head); !whole.empty()) {
    head = whole;  // no field cut short
  } else if (const size_t end = find_line_end(probe, 0); end != std::string_view::npos) {
    head = probe.substr(0, end + 1);  // a first line longer than that, whole
  }
  std::string quoted_lines;
  for (size_t at = 0; at <= head.size();) {
    size_t end = head.find('\n', at);
    if (end == std::string_view::npos) end = head.size();
    const std::string_view line = head.substr(at, end - at);
    if (line.find(quote) != std::string_view::npos) (quoted_lines += '\n') += line;
    at = end + 1;
  }
  if (!quote_closes_before_text(quoted_lines, delimiter, quote)) return false;
  const std::string text = after_line_end(probe);
  return !quotes_needed(text, delimiter, quote, quote == '"');
}

// Whether the text is one column of values quoted because they hold the
// delimiter or line ends: read with `quote`, every record is one field and
// every quote that opens a field closes right before the next line. No
// dialect of several columns scores above nothing for one column, so the
// candidate that splits those values would win otherwise.
bool one_quoted_column(std::string_view probe, char delimiter, char quote) {
  if (!opens_fields(quote, probe)) return false;
  const Candidate quoted{delimiter, quote, false, true};
  const std::vector<size_t> counts = read_field_counts(probe, quoted, kProbeRecords);
  if (counts.size() < 2 || std::any_of(counts.begin(), counts.end(), [](size_t n) { return n != 1; })) {
    return false;
  }
  const std::string text = after_line_end(probe);
  return quotes_needed(text, delimiter, quote) && quoted_fields_close(text, delimiter, quote);
}

// Whether apostrophes around some fields are part of their values (as in
// `'quoted'` written by a writer quoting with '"'): no field needs them,
// and text stands bare beside them. A writer that quotes with apostrophes
// quotes every field, every text, or those that need it.
bool apostrophes_are_text(std::string_view probe, const Candidate& candidate) {
  if (candidate.quote != '\'' || candidate.escape) return false;
  const std::string text = after_line_end(probe);
  if (quotes_needed(text, candidate.delimiter, candidate.quote)) return false;
  bool any_quoted = false;
  bool bare_text = false;
  for (const Record& record : read_records(probe, candidate, kProbeRecords)) {
    const std::optional<std::vector<bool>> quoted = quoted_fields(probe, record, candidate.delimiter, candidate.quote);
    if (!quoted) return false;
    for (size_t i = 0; i < record.fields.size(); ++i) {
      const std::string_view field = record.fields[i];
      if ((*quoted)[i]) {
        any_quoted = true;
      } else if (!field.empty()) {
        const Cell cell = classify(field);
        bare_text |= !is_typed(cell) && !is_missing(cell);
      }
    }
  }
  return any_quoted && bare_text;
}

bool ahead(const Scored& a, const Scored& b) { return a.score != b.score ? a.score > b.score : a.order < b.order; }

}  // namespace

double pattern_score(const std::vector<size_t>& counts) {
  if (counts.empty()) return 0.0;
  const Tally<size_t> groups(counts);
  // Summed with Neumaier's compensation, as Python's sum() sums floats: the
  // scores, and so the guesses, are those of the guesser in Python before.
  double total = 0.0;
  double compensation = 0.0;
  bool first = true;
  for (const auto& [fields, times] : groups.entries()) {
    const double x = static_cast<double>(times * (fields - 1)) / static_cast<double>(fields);
    if (first) {
      total = x;
      first = false;
      continue;
    }
    const double t = total + x;
    compensation += std::fabs(total) >= std::fabs(x) ? (total - t) + x : (x - t) + total;
    total = t;
  }
  if (compensation != 0.0 && std::isfinite(compensation)) total += compensation;
  return total / static_cast<double>(groups.entries().size());
}

DialectGuess guess_dialect(std::string_view text) {
  const std::string_view probe = probe_of(text);
  std::vector<Scored> scored;
  const std::vector<Candidate> candidates = candidates_of(probe);
  for (size_t order = 0; order < candidates.size(); ++order) {
    std::vector<size_t> counts = read_field_counts(probe, candidates[order], kProbeRecords);
    const double score = pattern_score(counts);
    scored.push_back(Scored{score, order, candidates[order], std::move(counts)});
  }
  double best_pattern = 0.0;
  for (const Scored& item : scored) best_pattern = std::max(best_pattern, item.score);
  std::vector<Scored> contenders;
  for (Scored& item : scored) {
    if (item.score >= 0.5 * best_pattern && item.score > 0) contenders.push_back(std::move(item));
  }
  std::stable_sort(contenders.begin(), contenders.end(), ahead);
  if (contenders.size() > kFinalists) contenders.resize(kFinalists);
  std::erase_if(contenders, [&](const Scored& item) { return words_apart(probe, item.candidate); });
  if (contenders.empty()) return DialectGuess{};
  // Whose fields look most like values, where records alone do not tell.
  if (contenders.size() > 1) {
    FieldScores fields(probe);
    for (Scored& item : contenders) {
      item.score *= fields.score(item.candidate, *std::max_element(item.counts.begin(), item.counts.end()));
    }
    std::stable_sort(contenders.begin(), contenders.end(), ahead);
  }
  const Scored& best = contenders.front();
  double rival = 0.0;
  for (size_t i = 1; i < contenders.size(); ++i) {
    if (contenders[i].counts != best.counts) {
      rival = contenders[i].score;
      break;
    }
  }
  DialectGuess guess;
  guess.margin = best.score <= 0 ? 1.0 : std::max(0.0, (best.score - rival) / best.score);
  guess.widest = best.counts.empty() ? 1 : *std::max_element(best.counts.begin(), best.counts.end());
  guess.candidate = best.candidate;
  Candidate& chosen = guess.candidate;
  if (chosen.quote == 0) {
    for (const char quote : kQuotes) {
      if (one_quoted_column(probe, chosen.delimiter, quote)) {
        chosen = Candidate{chosen.delimiter, quote, false, true};
        guess.widest = 1;
        break;
      }
    }
  }
  if (apostrophes_are_text(probe, chosen)) {
    // A writer that quotes with '"', where that opens fields and is no text.
    const bool double_quotes = !quotes_are_text(probe, chosen.delimiter, '"');
    chosen = Candidate{chosen.delimiter, double_quotes ? '"' : '\0', false, true};
  } else if (chosen.quote != 0 && !chosen.escape && quotes_are_text(probe, chosen.delimiter, chosen.quote)) {
    // Text, so no quote: '"' where that opens no field, as for candidates.
    const bool double_quote_free = chosen.quote != '"' && !opens_fields('"', probe.substr(0, kLinesBytes));
    chosen = Candidate{chosen.delimiter, double_quote_free ? '"' : '\0', false, true};
  }
  if (chosen.quote != 0 && chosen.newlines_in_values) {
    chosen = with_line_ends_settled(text, chosen);
  } else if (reads_quoted_line_ends(text, chosen)) {
    // Lines cut by quoted line ends may read alike; the values those hold
    // are what the quotes say.
    chosen.newlines_in_values = true;
    const std::vector<size_t> counts = read_field_counts(probe, chosen, kProbeRecords);
    if (!counts.empty()) guess.widest = *std::max_element(counts.begin(), counts.end());
  }
  return guess;
}

bool spaces_after_delimiters(const Records& records) {
  size_t filled = 0;
  size_t spaced = 0;
  for (const Record& record : records) {
    for (size_t i = 1; i < record.fields.size(); ++i) {
      const std::string_view field = record.fields[i];
      if (field.empty()) continue;
      ++filled;
      spaced += field.front() == ' ' ? 1 : 0;
    }
  }
  return spaced >= 2 && spaced * 10 >= filled * 9;
}

}  // namespace sniff
