// Splits CSV bytes into fields and records.
//
// The grammar is one state machine, `step`: a switch over the situations a
// reader can be in, holding every lenient rule. It goes from one special
// byte (delimiter, quote, line end, and the escape and comment bytes of
// dialects that have them, as the block masks find them) to the next and
// never looks at the bytes between: those are content whatever the state.
// Fields are handed on as offsets into the input; only a field that holds a
// doubled quote or an escape is rebuilt by the sink.
//
// Most blocks never reach the machine. Two accelerations read a whole
// 64-byte block from its masks alone: one for blocks without quotes, whose
// delimiters and line ends all end fields, and one for blocks whose quoting
// is well formed (quotes open fields, close them before a separator, or are
// doubled), where a prefix-XOR of the quote mask marks the inside of every
// quoted field at once. They must read what the machine would and leave the
// cursor where it would; a block beyond them goes to the machine untouched,
// and so do blocks with escapes, with a comment line, with a space to skip
// at a field's start, or where a dialect reads quotes differently (doubled
// quotes that do not escape, line ends in quotes that end records).
// Tests hold both, together and the machine alone, to a byte-at-a-time
// reader.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <utility>

#include "csv_input/block_scan.hpp"
#include "csv_input/dialect.hpp"

namespace csv {

// Each bit set from a quote up to (not including) the next one, the first
// quote opening: the inside of every quoted field, when quotes pair up.
inline uint64_t prefix_xor(uint64_t bits) noexcept {
  bits ^= bits << 1;
  bits ^= bits << 2;
  bits ^= bits << 4;
  bits ^= bits << 8;
  bits ^= bits << 16;
  bits ^= bits << 32;
  return bits;
}

// The quotes of one block, read as the grammar reads well-formed quoting.
struct QuotedBlock {
  bool well_formed;
  uint64_t inside;      // from each opening quote up to (not including) its closing one
  uint64_t doubled;     // the second quote of each doubled pair
  uint64_t separators;  // delimiters and line ends outside quotes
};

// Whether every quote of the block opens a field at its start, closes it
// before a separator, or doubles the quote before it: then the separators
// outside quotes are the ends of the fields and prefix-XOR of the quote mask
// tells inside from outside, with no byte-by-byte state. A closing quote on
// the block's last byte is allowed; the next block checks what follows it.
// Anything else (a quote inside an unquoted field, bytes after a closing
// quote) is left to the state machine. How the block is entered:
// `field_start` when its first byte starts a field, `starts_inside` inside
// a quoted field, `after_closing` right after a closing quote.
inline QuotedBlock read_quotes(const BlockMasks& masks, bool field_start, bool starts_inside,
                               bool after_closing) noexcept {
  constexpr uint64_t kLastByte = uint64_t{1} << 63;
  const uint64_t inside = prefix_xor(masks.quote) ^ (0 - uint64_t{starts_inside});
  const uint64_t opening = masks.quote & inside;
  const uint64_t closing = masks.quote & ~inside;
  const uint64_t separator = (masks.delimiter | masks.line_end) & ~inside;
  const uint64_t after_quote = (closing << 1) | uint64_t{after_closing};
  const uint64_t doubled = opening & after_quote;
  const bool opens_at_field_starts =
      (opening & ~((separator << 1) | uint64_t{field_start} | after_quote)) == 0;
  const bool closes_before_separators = (closing & ~(((separator | opening) >> 1) | kLastByte)) == 0;
  const bool entry_closes = !after_closing || ((separator | opening) & 1) != 0;
  return {opens_at_field_starts && closes_before_separators && entry_closes, inside, doubled, separator};
}

// Whether whole blocks may be read by the accelerations beside the state
// machine. Off, every byte goes through the machine: tests hold it alone to
// the plain reader that way.
enum class Accelerations : bool { Off, On };

// Tokenises records for a Sink with these members:
//   void field(size_t begin, size_t end)          content is input[begin, end)
//   void escaped_field(size_t begin, size_t end)  raw bytes from the opening
//                                                 quote; must be unescaped
//   bool record_end(size_t end)                   true to stop after it
// Between calls the tokeniser always stands at the start of a record.
class Tokenizer {
 public:
  Tokenizer(std::span<const uint8_t> input, size_t start, ScanBlocks scan = best_block_scanner(),
            Accelerations accelerations = Accelerations::On, const Dialect& dialect = {}) noexcept
      : data_(input.data()), size_(input.size()), offset_(start), scan_blocks_(scan),
        accelerations_(accelerations), dialect_(dialect) {}

  // A tokeniser like this one, of the same input, reading from `start`.
  [[nodiscard]] Tokenizer reading_from(size_t start) const noexcept {
    return Tokenizer({data_, size_}, start, scan_blocks_, accelerations_, dialect_);
  }
  [[nodiscard]] const Dialect& dialect() const noexcept { return dialect_; }

  // Input consumed so far: everything up to the end of the last record.
  [[nodiscard]] size_t offset() const noexcept { return offset_; }
  [[nodiscard]] bool at_end() const noexcept { return offset_ == size_; }

  // Whether the last record read was ended by the end of the input rather
  // than by a line end, and where it began (blank lines before it included).
  [[nodiscard]] bool ended_by_input_end() const noexcept { return ended_by_input_end_; }
  [[nodiscard]] size_t last_record_start() const noexcept { return last_record_start_; }

  // Whether any byte of 0x80 or above was consumed since the last reset.
  [[nodiscard]] bool saw_non_ascii() const noexcept { return non_ascii_ != 0; }
  void reset_non_ascii() noexcept { non_ascii_ = 0; }

  // Feeds records to the sink until it asks to stop or the input ends.
  template <class Sink>
  void run(Sink& sink) {
    sink = run_with(std::move(sink));
  }

 private:
  // The first three are outside quotes.
  enum class State : uint8_t {
    RecordStart,    // nothing of a record yet
    FieldStart,     // after a delimiter, nothing of the field yet
    Unquoted,       // in a field whose first byte was not a quote
    Quoted,         // in a quoted field
    QuoteInQuoted,  // a quote in a quoted field was the last special byte
    QuotedTail,     // content after a closing quote: the field goes on, to be unescaped
    CommentLine,    // a line that began with the comment byte, skipped to its end
  };
  static bool outside_quotes(State state) noexcept { return state <= State::Unquoted; }

  // The special bytes the machine steps over, and the end of the input.
  enum class Event : uint8_t { Delimiter, Quote, LineEnd, Escape, Comment, Space, InputEnd };
  // Events that are content wherever they do not open a quoted field or a
  // comment, or are not skipped.
  static bool is_content(Event event) noexcept {
    return event == Event::Quote || event == Event::Escape || event == Event::Comment || event == Event::Space;
  }
  // Whether `event`, where a field or record would begin, is skipped.
  [[nodiscard]] bool skipped(Event event) const noexcept {
    return event == Event::Space || (event == Event::Delimiter && dialect_.skips_delimiters());
  }

  static constexpr size_t kNowhere = ~size_t{0};

  // Where reading stands, in the record and in its current field.
  struct Cursor {
    State state;
    size_t field_begin;   // the current field's first byte, its opening quote if quoted
    size_t record_begin;  // where the current record's reading began, blank lines included
    size_t quote_at;      // the last quote seen in a quoted field
    bool doubled_quote;   // the quoted field holds a doubled quote, so it needs unescaping
    size_t literal_at = kNowhere;     // the byte the last escape made content
    size_t escaped_field = kNowhere;  // the field that escape was in
  };

  // Whether the current field holds an escape, so it needs unescaping.
  static bool escaped(const Cursor& cursor) noexcept { return cursor.escaped_field == cursor.field_begin; }
  static void escape_next(Cursor& cursor, size_t at) noexcept {
    cursor.literal_at = at + 1;
    cursor.escaped_field = cursor.field_begin;
  }

  enum class BlockRead : uint8_t { Done, Stopped, HandedOver };

  // How many blocks in a row the accelerations read, and whether the sink
  // stopped in the one after them.
  struct AcceleratedRun {
    size_t blocks;
    bool stopped;
  };

  // The loop over the blocks, each read by the accelerations or else by the
  // machine. The sink is a value of its own frame, which tells the compiler
  // that storing a field cannot change the sink's counters.
  template <class Sink>
  Sink run_with(Sink sink);

  // The state machine. `step` is the grammar: the special byte `event` at
  // `at`, every byte since the one before being content; true when the sink
  // stops after a record that it ended. `read_events` steps over the special
  // bytes of `block` that `in_range` keeps.
  template <class Sink>
  [[gnu::always_inline]] inline bool step(Sink& sink, Cursor& cursor, Event event, size_t at);
  template <class Sink>
  [[gnu::always_inline]] inline bool end_field(Sink& sink, Cursor& cursor, Event event, size_t at);
  template <bool kExtended, class Sink>
  [[gnu::noinline]] BlockRead read_events(Sink& sink, Cursor& cursor, const BlockMasks& masks,
                                          uint64_t in_range, size_t block);

  template <class Sink>
  BlockRead read_events_of(Sink& sink, Cursor& cursor, const BlockMasks& masks, uint64_t in_range, size_t block) {
    return extended_ ? read_events<true>(sink, cursor, masks, in_range, block)
                     : read_events<false>(sink, cursor, masks, in_range, block);
  }

  // The accelerations, over `count` whole blocks from `block` for as long as
  // one of them takes each. Most of the input of most files goes through
  // here. It works on copies of the sink and the cursor that no call outside
  // it can reach, so that the compiler keeps them in registers while fields
  // are stored, and hands them back when it stops.
  template <bool kExtended, class Sink>
  [[gnu::noinline]] AcceleratedRun read_accelerated(Sink& sink, Cursor& cursor, const BlockMasks* masks,
                                                    size_t count, size_t block);
  template <bool kExtended, class Sink>
  [[gnu::always_inline]] inline BlockRead read_quote_free(Sink& sink, Cursor& cursor, const BlockMasks& masks,
                                                          size_t block);
  template <bool kExtended, class Sink>
  [[gnu::always_inline]] inline BlockRead read_well_quoted(Sink& sink, Cursor& cursor,
                                                           const BlockMasks& masks, size_t block);
  template <class Sink, class FieldBefore>
  [[gnu::always_inline]] inline BlockRead read_separators(Sink& sink, Cursor& cursor, const BlockMasks& masks,
                                                          size_t block, uint64_t delimiters,
                                                          uint64_t line_ends, FieldBefore field_before);

  // A delimiter at `at` ended a field: the next one begins after it.
  static void next_field(Cursor& cursor, size_t at) noexcept {
    cursor.state = State::FieldStart;
    cursor.field_begin = at + 1;
  }

  // The record ends just before `end`; true when the sink stops after it.
  template <class Sink>
  [[gnu::always_inline]] static bool end_record(Sink& sink, Cursor& cursor, size_t end) {
    cursor.state = State::RecordStart;
    cursor.field_begin = end;
    cursor.record_begin = end;
    return sink.record_end(end);
  }

  // A quoted field from `begin` whose content ends at `content_end` and raw
  // bytes at `raw_end`: in place, unless a doubled quote needs unescaping.
  template <class Sink>
  [[gnu::always_inline]] static void quoted_field(Sink& sink, size_t begin, bool doubled, size_t content_end,
                                                  size_t raw_end) {
    if (doubled) {
      sink.escaped_field(begin, raw_end);
    } else {
      sink.field(begin + 1, content_end);
    }
  }

  // Whether a field or record in the block begins with a byte the dialect
  // skips there: after a delimiter or a line end, or at the block's start.
  bool opens_with_skipped(const Cursor& cursor, const BlockMasks& masks, size_t block) const noexcept {
    const uint64_t skipped = masks.space | (masks.delimiter & skipped_delimiters_);
    if (skipped == 0) return false;
    const bool field_at_start = outside_quotes(cursor.state) && cursor.field_begin == block;
    return (skipped & (((masks.delimiter | masks.line_end) << 1) | uint64_t{field_at_start})) != 0;
  }

  // Whether a record in the block begins with the comment byte: after one
  // of `line_ends`, or at the block's start.
  static bool opens_comment(const Cursor& cursor, const BlockMasks& masks, uint64_t line_ends,
                            size_t block) noexcept {
    if (masks.comment == 0) return false;
    const bool record_at_start = cursor.state == State::RecordStart && cursor.field_begin == block;
    return (masks.comment & ((line_ends << 1) | uint64_t{record_at_start})) != 0;
  }

  // The sink stopped after the record that bit `bit` of the block ended.
  BlockRead stopped_after(const BlockMasks& masks, size_t block, unsigned bit) noexcept {
    non_ascii_ |= masks.high & ((uint64_t{2} << bit) - 1);
    offset_ = block + bit + 1;
    return BlockRead::Stopped;
  }

  // Blocks are scanned this many at a time, so that the scan is one call
  // per 2 KiB whichever instructions it uses.
  static constexpr size_t kBlocksAhead = 32;

  const uint8_t* data_;
  size_t size_;
  size_t offset_;
  ScanBlocks scan_blocks_;
  Accelerations accelerations_;
  Dialect dialect_;
  // Whether the dialect has rules beyond those of the comma dialect, which
  // the default reading is compiled without.
  bool extended_ = dialect_.escaping || dialect_.comments || !dialect_.doublequote || !dialect_.newlines_in_values ||
                   dialect_.skip_initial_space;
  uint64_t skipped_delimiters_ = 0 - uint64_t{dialect_.skips_delimiters()};  // a mask of all or none
  uint64_t non_ascii_ = 0;
  bool ended_by_input_end_ = false;
  size_t last_record_start_ = 0;
};

template <class Sink>
Sink Tokenizer::run_with(Sink sink) {
  Cursor cursor{State::RecordStart, offset_, offset_, 0, false};
  BlockMasks masks[kBlocksAhead];
  size_t block = offset_;
  while (size_ - block >= 64) {
    const size_t count = std::min(kBlocksAhead, (size_ - block) / 64);
    scan_blocks_(dialect_, data_ + block, count, masks);
    for (size_t i = 0; i < count; ++i) {
      if (accelerations_ == Accelerations::On) {
        const AcceleratedRun run = extended_
                                       ? read_accelerated<true>(sink, cursor, masks + i, count - i, block + 64 * i)
                                       : read_accelerated<false>(sink, cursor, masks + i, count - i, block + 64 * i);
        if (run.stopped) return sink;
        i += run.blocks;
        if (i == count) break;
      }
      if (read_events_of(sink, cursor, masks[i], ~uint64_t{0}, block + 64 * i) == BlockRead::Stopped) {
        return sink;
      }
    }
    block += 64 * count;
  }
  if (block < size_) {
    // The last, partial block, padded to a whole one for the scan.
    alignas(64) uint8_t tail[64] = {};
    std::memcpy(tail, data_ + block, size_ - block);
    scan_blocks_(dialect_, tail, 1, masks);
    const uint64_t in_range = (uint64_t{1} << (size_ - block)) - 1;
    if (read_events_of(sink, cursor, masks[0], in_range, block) == BlockRead::Stopped) return sink;
  }
  offset_ = size_;
  (void)step(sink, cursor, Event::InputEnd, size_);
  return sink;
}

template <class Sink>
bool Tokenizer::step(Sink& sink, Cursor& cursor, Event event, size_t at) {
  const bool first_byte = at == cursor.field_begin;  // nothing of the field before `at`
  switch (cursor.state) {
    // Line ends here are blank lines, the LF of a CR LF among them, and so are lines of
    // skipped spaces; the comment byte opens a comment line; anything else as FieldStart.
    case State::RecordStart:
      if (first_byte) {
        if (event == Event::LineEnd || skipped(event)) {
          cursor.field_begin = at + 1;
          return false;
        }
        if (event == Event::InputEnd) return false;  // no record after the last one
        if (event == Event::Comment) {
          cursor.state = State::CommentLine;
          return false;
        }
      }
      [[fallthrough]];
    // A quote as the field's first byte opens it quoted, and a skipped byte moves its start
    // past it; anything else as Unquoted.
    case State::FieldStart:
      if (first_byte && event == Event::Quote) {
        cursor.state = State::Quoted;
        cursor.doubled_quote = false;
        return false;
      }
      if (first_byte && skipped(event)) {
        cursor.field_begin = at + 1;
        return false;
      }
      [[fallthrough]];
    // A stray quote is content, an escape makes the next byte content; a delimiter, a line end
    // or the input's end ends the field.
    case State::Unquoted:
      if (is_content(event)) {
        cursor.state = State::Unquoted;
        if (event == Event::Escape) escape_next(cursor, at);
        return false;
      }
      if (escaped(cursor)) {
        sink.escaped_field(cursor.field_begin, at);
      } else {
        sink.field(cursor.field_begin, at);
      }
      return end_field(sink, cursor, event, at);
    // Delimiters and line ends are content, unless line ends may not be; the input's end ends
    // the field, open.
    case State::Quoted:
      if (event == Event::Quote) {
        cursor.state = State::QuoteInQuoted;
        cursor.quote_at = at;
        return false;
      }
      if (event == Event::Escape) escape_next(cursor, at);
      if (event != Event::InputEnd && (event != Event::LineEnd || dialect_.newlines_in_values)) return false;
      quoted_field(sink, cursor.field_begin, cursor.doubled_quote || escaped(cursor), at, at);
      return end_field(sink, cursor, event, at);
    // A quote right after it is one of content (where quotes double), a separator closes the
    // field, content goes on unquoted.
    case State::QuoteInQuoted:
      if (at == cursor.quote_at + 1) {
        if (event == Event::Quote && dialect_.doublequote) {
          cursor.state = State::Quoted;
          cursor.doubled_quote = true;
          return false;
        }
        if (!is_content(event)) {
          quoted_field(sink, cursor.field_begin, cursor.doubled_quote || escaped(cursor), cursor.quote_at, at);
          return end_field(sink, cursor, event, at);
        }
      }
      cursor.state = State::QuotedTail;
      [[fallthrough]];
    // As Unquoted, but the whole field from its opening quote is unescaped.
    case State::QuotedTail:
      if (is_content(event)) {
        if (event == Event::Escape) escape_next(cursor, at);
        return false;
      }
      sink.escaped_field(cursor.field_begin, at);
      return end_field(sink, cursor, event, at);
    // Everything up to the line end is skipped.
    case State::CommentLine:
      if (event == Event::LineEnd) {
        cursor.state = State::RecordStart;
        cursor.field_begin = at + 1;
      }
      return false;
  }
  return false;
}

// After a field that `event` at `at` ended: the next field, or the end of
// the record. True when the sink stops.
template <class Sink>
bool Tokenizer::end_field(Sink& sink, Cursor& cursor, Event event, size_t at) {
  if (event == Event::Delimiter) {
    next_field(cursor, at);
    return false;
  }
  if (event == Event::LineEnd) return end_record(sink, cursor, at + 1);
  ended_by_input_end_ = true;
  last_record_start_ = cursor.record_begin;
  return end_record(sink, cursor, at);
}

template <bool kExtended, class Sink>
Tokenizer::BlockRead Tokenizer::read_events(Sink& sink, Cursor& cursor, const BlockMasks& masks,
                                            uint64_t in_range, size_t block) {
  uint64_t all = masks.delimiter | masks.quote | masks.line_end;
  if constexpr (kExtended) all |= masks.escape | masks.comment | masks.space;
  for (uint64_t specials = all & in_range; specials != 0; specials &= specials - 1) {
    const unsigned bit = static_cast<unsigned>(__builtin_ctzll(specials));
    if (kExtended && block + bit == cursor.literal_at) continue;  // made content by an escape
    const Event event = (masks.quote >> bit) & 1       ? Event::Quote
                        : (masks.delimiter >> bit) & 1 ? Event::Delimiter
                        : (masks.line_end >> bit) & 1  ? Event::LineEnd
                        : (masks.escape >> bit) & 1    ? Event::Escape
                        : (masks.comment >> bit) & 1   ? Event::Comment
                                                       : Event::Space;
    if (step(sink, cursor, event, block + bit)) return stopped_after(masks, block, bit);
  }
  non_ascii_ |= masks.high & in_range;
  return BlockRead::Done;
}

template <bool kExtended, class Sink>
Tokenizer::AcceleratedRun Tokenizer::read_accelerated(Sink& sink, Cursor& cursor, const BlockMasks* masks,
                                                      size_t count, size_t block) {
  // A field with an escape and a comment line are read by the machine to their ends.
  if (kExtended && (escaped(cursor) || cursor.state == State::CommentLine)) return {0, false};
  Sink local_sink = std::move(sink);
  Cursor local_cursor = cursor;
  uint64_t non_ascii = 0;  // of the blocks read whole
  size_t read = 0;
  BlockRead last = BlockRead::Done;
  for (; read < count; ++read, block += 64) {
    const BlockMasks& m = masks[read];
    if (kExtended && m.escape != 0) break;
    if (m.quote == 0 && outside_quotes(local_cursor.state)) {
      last = read_quote_free<kExtended>(local_sink, local_cursor, m, block);
    } else {
      last = read_well_quoted<kExtended>(local_sink, local_cursor, m, block);
    }
    if (last != BlockRead::Done) break;
    non_ascii |= m.high;
  }
  non_ascii_ |= non_ascii;
  sink = std::move(local_sink);
  cursor = local_cursor;
  return {read, last == BlockRead::Stopped};
}

// Acceleration: a block without quotes, entered outside quotes, where every
// delimiter and line end ends a field (or is a blank line) as in the
// machine's RecordStart, FieldStart and Unquoted cases. Most of the input
// of most files goes through here.
template <bool kExtended, class Sink>
Tokenizer::BlockRead Tokenizer::read_quote_free(Sink& sink, Cursor& cursor, const BlockMasks& masks,
                                                size_t block) {
  if (kExtended && (opens_comment(cursor, masks, masks.line_end, block) || opens_with_skipped(cursor, masks, block))) {
    return BlockRead::HandedOver;
  }
  const auto field_before = [&](size_t at, unsigned) __attribute__((always_inline)) {
    sink.field(cursor.field_begin, at);
  };
  return read_separators(sink, cursor, masks, block, masks.delimiter, masks.line_end, field_before);
}

// Acceleration: a block whose quoting is well formed (see read_quotes),
// where the separators outside quotes end the fields. A field that begins
// with a quote is quoted and ends on its closing quote; one that begins
// before the block carries its state in from the cursor, and one still open
// at the block's end leaves it there, as the machine would. Any other block
// is handed over untouched.
template <bool kExtended, class Sink>
Tokenizer::BlockRead Tokenizer::read_well_quoted(Sink& sink, Cursor& cursor, const BlockMasks& masks,
                                                 size_t block) {
  const State entry = cursor.state;
  if (entry == State::QuotedTail || (entry == State::QuoteInQuoted && cursor.quote_at + 1 != block)) {
    return BlockRead::HandedOver;
  }
  const QuotedBlock quotes = read_quotes(masks, outside_quotes(entry) && cursor.field_begin == block,
                                         entry == State::Quoted, entry == State::QuoteInQuoted);
  if (!quotes.well_formed) return BlockRead::HandedOver;
  if (kExtended && ((!dialect_.doublequote && quotes.doubled != 0) ||
                    (!dialect_.newlines_in_values && (quotes.inside & masks.line_end) != 0) ||
                    opens_comment(cursor, masks, quotes.separators & masks.line_end, block) ||
                    opens_with_skipped(cursor, masks, block))) {
    return BlockRead::HandedOver;
  }
  // A field is quoted when its first byte is a quote: in the block, or as
  // the cursor came in. The doubled quotes counted are those since its start.
  const bool entered_quoted = entry == State::Quoted || entry == State::QuoteInQuoted;
  const auto doubled_before = [&](uint64_t below_end) __attribute__((always_inline)) {
    if (cursor.field_begin < block) return cursor.doubled_quote || (quotes.doubled & below_end) != 0;
    return ((quotes.doubled & below_end) >> (cursor.field_begin - block)) != 0;
  };
  const auto field_before = [&](size_t at, unsigned bit) __attribute__((always_inline)) {
    const bool quoted = cursor.field_begin < block ? entered_quoted
                                                   : ((masks.quote >> (cursor.field_begin - block)) & 1) != 0;
    if (quoted) {
      const bool doubled = doubled_before((uint64_t{1} << bit) - 1);
      quoted_field(sink, cursor.field_begin, doubled, at - 1, at);  // closed on the byte before
    } else {
      sink.field(cursor.field_begin, at);
    }
  };
  if (read_separators(sink, cursor, masks, block, quotes.separators & masks.delimiter,
                      quotes.separators & masks.line_end, field_before) == BlockRead::Stopped) {
    return BlockRead::Stopped;
  }
  constexpr uint64_t kLastByte = uint64_t{1} << 63;
  const bool ends_inside = (quotes.inside & kLastByte) != 0;
  const bool ends_on_closing = (masks.quote & kLastByte & ~quotes.inside) != 0;
  if (ends_inside || ends_on_closing) {
    cursor.doubled_quote = doubled_before(~uint64_t{0});
    cursor.state = ends_inside ? State::Quoted : State::QuoteInQuoted;
    cursor.quote_at = block + 63;
  }
  return BlockRead::Done;
}

// What both accelerations share: the fields of one block, whose ends are
// `delimiters` and `line_ends` (outside quotes), each handed to the sink by
// `field_before(at, bit)`. The delimiters before each line end go first, in
// a loop that never asks which separator it met.
template <class Sink, class FieldBefore>
Tokenizer::BlockRead Tokenizer::read_separators(Sink& sink, Cursor& cursor, const BlockMasks& masks,
                                                size_t block, uint64_t delimiters, uint64_t line_ends,
                                                FieldBefore field_before) {
  while (true) {
    const uint64_t before_line_end = (line_ends & (0 - line_ends)) - 1;
    for (uint64_t in_record = delimiters & before_line_end; in_record != 0; in_record &= in_record - 1) {
      const unsigned bit = static_cast<unsigned>(__builtin_ctzll(in_record));
      field_before(block + bit, bit);
      next_field(cursor, block + bit);
    }
    if (line_ends == 0) return BlockRead::Done;
    delimiters &= ~before_line_end;
    const unsigned bit = static_cast<unsigned>(__builtin_ctzll(line_ends));
    line_ends &= line_ends - 1;
    const size_t at = block + bit;
    if (cursor.state == State::RecordStart && at == cursor.field_begin) {
      cursor.field_begin = at + 1;  // a blank line
      continue;
    }
    field_before(at, bit);
    if (end_record(sink, cursor, at + 1)) [[unlikely]] {
      return stopped_after(masks, block, bit);
    }
  }
}

// Rebuilds a quoted field's content from its raw bytes (opening quote first):
// the enclosing quotes go, a doubled quote becomes one where quotes double,
// and bytes after the closing quote are kept as they are. `out` receives the
// content.
template <class Output>
void unescape_quoted(const uint8_t* raw, size_t size, uint8_t quote_byte, bool doublequote, Output& out) {
  size_t i = 1;  // past the opening quote
  while (i < size) {
    const void* found = std::memchr(raw + i, quote_byte, size - i);
    if (found == nullptr) {  // still open at the end of the input
      out.append(raw + i, size - i);
      return;
    }
    const size_t quote = static_cast<size_t>(static_cast<const uint8_t*>(found) - raw);
    out.append(raw + i, quote - i);
    if (quote + 1 == size) return;  // the closing quote ends the field
    if (doublequote && raw[quote + 1] == quote_byte) {
      out.append(raw + quote, 1);  // a doubled quote
      i = quote + 2;
      continue;
    }
    out.append(raw + quote + 1, size - quote - 1);  // unquoted tail after the closing quote
    return;
  }
}

// Rebuilds a field's content from its raw bytes, quoted or not, in a
// dialect with an escape byte: as above, and each escape gives way to the
// byte after it, which is content whatever it is. An escape that ends the
// input is content itself.
template <class Output>
void unescape_escaped(const uint8_t* raw, size_t size, const Dialect& dialect, Output& out) {
  bool in_quotes = dialect.quoting && size > 0 && raw[0] == dialect.quote;
  size_t i = in_quotes ? 1 : 0;
  size_t run = i;  // the first byte not yet appended
  while (i < size) {
    const uint8_t byte = raw[i];
    if (byte == dialect.escape) {
      out.append(raw + run, i - run);
      out.append(raw + std::min(i + 1, size - 1), 1);
      i += 2;
    } else if (in_quotes && byte == dialect.quote) {
      out.append(raw + run, i - run);
      if (dialect.doublequote && i + 1 < size && raw[i + 1] == dialect.quote) {
        out.append(raw + i, 1);
        i += 2;
      } else {
        in_quotes = false;  // the closing quote
        i += 1;
      }
    } else {
      ++i;
      continue;
    }
    run = i;
  }
  if (run < size) out.append(raw + run, size - run);
}

// A field that the tokeniser handed on to be rebuilt.
template <class Output>
void unescape_field(const uint8_t* raw, size_t size, const Dialect& dialect, Output& out) {
  if (dialect.escaping) {
    unescape_escaped(raw, size, dialect, out);
  } else {
    unescape_quoted(raw, size, dialect.quote, dialect.doublequote, out);
  }
}

}  // namespace csv
