// Splits CSV bytes into fields and records.
//
// The input is scanned in 64-byte blocks: SSE2 compares turn each block into
// bit masks of commas, quotes and line ends, and the loop visits only those
// set bits, so runs of ordinary bytes cost nothing per byte. Unquoted fields
// and quoted fields without doubled quotes are handed on as offsets into the
// input; only a quoted field that needs unescaping is rebuilt by the sink.
// A block whose quoting is well formed (quotes open fields, close them or
// are doubled) is read with a prefix-XOR of its quote mask, which marks the
// inside of every quoted field at once; other blocks go through the state
// machine below, byte class by byte class.
//
// The grammar, by situation (comma, quote, CR, LF are the special bytes):
//   record start   CR or LF: a blank line, skipped. Else as at field start.
//   field start    quote opens a quoted field; comma ends an empty field;
//                  CR or LF ends an empty field and the record.
//   unquoted       comma ends the field; CR or LF ends field and record;
//                  quote and every other byte are content.
//   quoted         a quote may close the field; everything else is content.
//   after a quote  quote: a doubled quote, one quote of content; comma or
//                  CR/LF: the field ends; any other byte is content and the
//                  field goes on unquoted.
// A CR that ends a record leaves the LF of a CR LF pair to be skipped as a
// blank line by the next record. At the end of the input an open field
// (quoted or not) ends with its record.
#pragma once

#include <emmintrin.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <utility>

namespace csv {

inline constexpr uint8_t kComma = ',';
inline constexpr uint8_t kQuote = '"';
inline constexpr uint8_t kCr = '\r';
inline constexpr uint8_t kLf = '\n';

// Special bytes of one 64-byte block, one bit per byte, lowest bit first.
struct BlockMasks {
  uint64_t comma;
  uint64_t quote;
  uint64_t line_end;  // CR or LF
  uint64_t high;      // bytes of 0x80 and above
};

inline BlockMasks scan_block(const uint8_t* block) noexcept {
  const __m128i comma = _mm_set1_epi8(static_cast<char>(kComma));
  const __m128i quote = _mm_set1_epi8(static_cast<char>(kQuote));
  const __m128i cr = _mm_set1_epi8(static_cast<char>(kCr));
  const __m128i lf = _mm_set1_epi8(static_cast<char>(kLf));
  BlockMasks masks{0, 0, 0, 0};
  for (int part = 0; part < 4; ++part) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 16 * part));
    const auto bits = [&](__m128i matches) {
      return uint64_t{static_cast<uint16_t>(_mm_movemask_epi8(matches))} << (16 * part);
    };
    masks.comma |= bits(_mm_cmpeq_epi8(v, comma));
    masks.quote |= bits(_mm_cmpeq_epi8(v, quote));
    masks.line_end |= bits(_mm_or_si128(_mm_cmpeq_epi8(v, cr), _mm_cmpeq_epi8(v, lf)));
    masks.high |= bits(v);
  }
  return masks;
}

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
  uint64_t separators;  // commas and line ends outside quotes
};

// Whether every quote of the block opens a field at its start, closes it
// before a separator, or doubles the quote before it: then the separators
// outside quotes are the ends of the fields and prefix-XOR of the quote mask
// tells inside from outside, with no byte-by-byte state. A closing quote on
// the block's last byte in view is allowed; the next block checks what
// follows it. Anything else (a quote inside an unquoted field, bytes after a
// closing quote) is left to the state machine. How the block is entered:
// `field_start` when its first byte starts a field, `starts_inside` inside
// a quoted field, `after_closing` right after a closing quote.
inline QuotedBlock read_quotes(const BlockMasks& masks, uint64_t in_range, bool field_start,
                               bool starts_inside, bool after_closing) noexcept {
  const uint64_t quote = masks.quote & in_range;
  const uint64_t inside = prefix_xor(quote) ^ (0 - uint64_t{starts_inside});
  const uint64_t opening = quote & inside;
  const uint64_t closing = quote & ~inside;
  const uint64_t separator = (masks.comma | masks.line_end) & in_range & ~inside;
  const uint64_t after_quote = (closing << 1) | uint64_t{after_closing};
  const uint64_t doubled = opening & after_quote;
  const uint64_t last_in_view = in_range ^ (in_range >> 1);
  const bool opens_at_field_starts =
      (opening & ~((separator << 1) | uint64_t{field_start} | after_quote)) == 0;
  const bool closes_before_separators =
      (closing & ~(((separator | opening) >> 1) | last_in_view)) == 0;
  const bool entry_closes = !after_closing || ((separator | opening) & 1) != 0;
  return {opens_at_field_starts && closes_before_separators && entry_closes, inside, doubled, separator};
}

// The masks of `count` whole blocks from `data` into `out`: with SSE2, and
// with AVX2 (half the instructions) where the processor has it.
void scan_blocks_sse2(const uint8_t* data, size_t count, BlockMasks* out) noexcept;
void scan_blocks_avx2(const uint8_t* data, size_t count, BlockMasks* out) noexcept;
using ScanBlocks = void (*)(const uint8_t* data, size_t count, BlockMasks* out) noexcept;
ScanBlocks best_block_scanner() noexcept;

// Tokenises records for a Sink with these members:
//   void field(size_t begin, size_t end)          content is input[begin, end)
//   void escaped_field(size_t begin, size_t end)  raw bytes from the opening
//                                                 quote; must be unescaped
//   bool record_end(size_t end)                   true to stop after it
// Between calls the tokeniser always stands at the start of a record.
class Tokenizer {
 public:
  Tokenizer(std::span<const uint8_t> input, size_t start,
            ScanBlocks scan = best_block_scanner()) noexcept
      : data_(input.data()), size_(input.size()), offset_(start), scan_blocks_(scan) {}

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
  enum class State : uint8_t {
    RecordStart,  // no byte of the record consumed yet
    Unquoted,     // at field start (offset == field_begin) or inside an unquoted field
    Quoted,       // inside a quoted field
    AfterQuote,   // a quote inside a quoted field was the last special byte
    QuotedTail,   // unquoted bytes after a quoted field; needs unescaping
  };

  // The loop itself. The sink is a value of its own frame, which tells the
  // compiler that storing a field cannot change the sink's counters.
  template <class Sink>
  Sink run_with(Sink sink);

  // Blocks are scanned this many at a time ahead of the loop, so that the
  // scan is one call per 2 KiB whichever instructions it uses.
  static constexpr size_t kBlocksAhead = 32;

  // Where read_plain_blocks stopped.
  struct PlainBlocks {
    size_t blocks;        // blocks read to their end
    size_t field_begin;
    size_t record_begin;
    bool record_start;    // no byte of the current record read yet
    bool stopped;         // the sink asked to stop after a record; offset_ is set
  };

  // Reads whole blocks from `masks` (`count` of them, the first at input
  // offset `block`) for as long as they hold no quote, at a record start or
  // in an unquoted field: only commas and line ends matter, and the masks
  // tell them apart without reading the bytes. Most of the input of most
  // files goes through here. It is a function of its own, and works on a
  // copy of the sink, so that the compiler keeps the sink's cursor in
  // registers: stores of fields cannot change a local it never lets out.
  template <class Sink>
  [[gnu::noinline]] PlainBlocks read_plain_blocks(Sink& sink, const BlockMasks* masks, size_t count, size_t block,
                                                  size_t field_begin, size_t record_begin, bool record_start);

  const uint8_t* data_;
  size_t size_;
  size_t offset_;
  ScanBlocks scan_blocks_;
  uint64_t non_ascii_ = 0;
  bool ended_by_input_end_ = false;
  size_t last_record_start_ = 0;
};

template <class Sink>
Tokenizer::PlainBlocks Tokenizer::read_plain_blocks(Sink& sink, const BlockMasks* masks, size_t count, size_t block,
                                                    size_t field_begin, size_t record_begin, bool record_start) {
  Sink local = std::move(sink);
  uint64_t non_ascii = 0;
  size_t read = 0;
  for (; read < count && masks[read].quote == 0; ++read, block += 64) {
    const uint64_t commas = masks[read].comma;
    uint64_t specials = commas | masks[read].line_end;
    while (specials != 0) {
      const unsigned bit = static_cast<unsigned>(__builtin_ctzll(specials));
      specials &= specials - 1;
      const size_t at = block + bit;
      if ((commas >> bit) & 1) {
        local.field(field_begin, at);
        field_begin = at + 1;
        record_start = false;
        continue;
      }
      if (record_start && at == field_begin) {
        field_begin = at + 1;  // a blank line
        continue;
      }
      local.field(field_begin, at);
      field_begin = at + 1;
      record_begin = at + 1;
      record_start = true;
      if (local.record_end(at + 1)) {
        const uint64_t consumed = bit == 63 ? ~uint64_t{0} : (uint64_t{2} << bit) - 1;
        non_ascii_ |= non_ascii | (masks[read].high & consumed);
        offset_ = at + 1;
        sink = std::move(local);
        return {read, field_begin, record_begin, true, true};
      }
    }
    non_ascii |= masks[read].high;
  }
  non_ascii_ |= non_ascii;
  sink = std::move(local);
  return {read, field_begin, record_begin, record_start, false};
}

template <class Sink>
Sink Tokenizer::run_with(Sink sink) {
  State state = State::RecordStart;
  size_t field_begin = offset_;   // raw start of the current field
  size_t record_begin = offset_;  // where the current record's reading began
  size_t quote_at = 0;           // position of the last quote seen in a quoted field
  bool doubled_quote = false;    // the quoted field holds "" and needs unescaping
  alignas(16) uint8_t tail[64];
  BlockMasks ahead[kBlocksAhead];
  size_t next_ahead = 0;
  size_t ahead_count = 0;

  for (size_t block = offset_; block < size_; block += 64) {
    const size_t available = size_ - block;
    BlockMasks masks;
    uint64_t in_range = ~uint64_t{0};
    if (available >= 64) {
      if (next_ahead == ahead_count) {
        ahead_count = std::min(kBlocksAhead, available / 64);
        scan_blocks_(data_ + block, ahead_count, ahead);
        next_ahead = 0;
      }
      masks = ahead[next_ahead++];
    } else {
      std::memset(tail, 0, sizeof tail);
      std::memcpy(tail, data_ + block, available);
      masks = scan_block(tail);
      in_range = (uint64_t{1} << available) - 1;
    }
    uint64_t specials = (masks.comma | masks.quote | masks.line_end) & in_range;

    // `byte` ended a record at `at`: hand it over; true when the sink stops.
    const auto end_record = [&](size_t at, unsigned bit) __attribute__((always_inline)) {
      state = State::RecordStart;
      field_begin = at + 1;
      record_begin = at + 1;
      if (!sink.record_end(at + 1)) return false;
      const uint64_t consumed = bit == 63 ? ~uint64_t{0} : (uint64_t{2} << bit) - 1;
      non_ascii_ |= masks.high & consumed;
      offset_ = at + 1;
      return true;
    };

    // A comma or line end at `at` outside quotes, at record start or in an
    // unquoted field; true when it ended a record.
    const auto unquoted_separator = [&](size_t at, bool comma) __attribute__((always_inline)) {
      if (comma) {
        sink.field(field_begin, at);
        field_begin = at + 1;
        state = State::Unquoted;
        return false;
      }
      if (state == State::RecordStart && at == field_begin) {
        field_begin = at + 1;  // a blank line
        return false;
      }
      sink.field(field_begin, at);
      return true;
    };

    if (masks.quote == 0 && (state == State::RecordStart || state == State::Unquoted) && available >= 64) {
      // This block and the quote-free ones after it, as far as scanned.
      const PlainBlocks plain = read_plain_blocks(sink, ahead + next_ahead - 1, ahead_count - next_ahead + 1, block,
                                                  field_begin, record_begin, state == State::RecordStart);
      if (plain.stopped) return sink;
      field_begin = plain.field_begin;
      record_begin = plain.record_begin;
      state = plain.record_start ? State::RecordStart : State::Unquoted;
      block += 64 * (plain.blocks - 1);
      next_ahead += plain.blocks - 1;
      continue;
    }
    if (masks.quote == 0 && (state == State::RecordStart || state == State::Unquoted)) {
      // No quote in the block and none open: only commas and line ends
      // matter, and the masks tell them apart without reading the bytes.
      while (specials != 0) {
        const unsigned bit = static_cast<unsigned>(__builtin_ctzll(specials));
        specials &= specials - 1;
        const size_t at = block + bit;
        if (unquoted_separator(at, (masks.comma >> bit) & 1) && end_record(at, bit)) return sink;
      }
      non_ascii_ |= masks.high & in_range;
      continue;
    }

    // A block with quotes, entered anywhere but in the bytes after a
    // closing quote (a closing quote on the block's first byte is decided
    // here): if its quoting is well formed, its fields end at the
    // separators outside quotes.
    if (state != State::QuotedTail && (state != State::AfterQuote || quote_at + 1 == block)) {
      const bool outside = state == State::RecordStart || state == State::Unquoted;
      const QuotedBlock quotes = read_quotes(masks, in_range, outside && field_begin == block,
                                             state == State::Quoted, state == State::AfterQuote);
      if (quotes.well_formed) {
        uint64_t separators = quotes.separators;
        while (separators != 0) {
          const unsigned bit = static_cast<unsigned>(__builtin_ctzll(separators));
          separators &= separators - 1;
          const size_t at = block + bit;
          if (at != field_begin && data_[field_begin] == kQuote) {
            // A quoted field, closed on the byte before: unescaped only if a
            // quote was doubled in it, in this block or before it.
            const size_t from = field_begin < block ? 0 : field_begin - block;
            const uint64_t in_field = ~(~uint64_t{0} << bit) >> from << from;
            if ((field_begin < block && doubled_quote) || (quotes.doubled & in_field) != 0) {
              sink.escaped_field(field_begin, at);
            } else {
              sink.field(field_begin + 1, at - 1);
            }
            if ((masks.comma >> bit) & 1) {
              field_begin = at + 1;
              state = State::Unquoted;
              continue;
            }
            if (end_record(at, bit)) return sink;
            continue;
          }
          if (unquoted_separator(at, (masks.comma >> bit) & 1) && end_record(at, bit)) return sink;
        }
        // The field after the last separator may still be quoted, or just closed.
        const uint64_t last_in_view = in_range ^ (in_range >> 1);
        const bool ends_inside = (quotes.inside >> 63) != 0;
        const bool ends_on_closing = (masks.quote & last_in_view & ~quotes.inside) != 0;
        if (ends_inside || ends_on_closing) {
          const size_t from = field_begin < block ? 0 : field_begin - block;
          const bool doubled_here = (quotes.doubled >> from) != 0;
          doubled_quote = (field_begin < block && doubled_quote) || doubled_here;
          if (ends_inside) {
            state = State::Quoted;
          } else {
            state = State::AfterQuote;
            quote_at = block + static_cast<size_t>(63 - __builtin_clzll(last_in_view));
          }
        }
        non_ascii_ |= masks.high & in_range;
        continue;
      }
    }

    while (specials != 0) {
      const unsigned bit = static_cast<unsigned>(__builtin_ctzll(specials));
      specials &= specials - 1;
      const size_t at = block + bit;
      // The class of the byte, from the masks rather than a load of it.
      const uint8_t byte = ((masks.quote >> bit) & 1) ? kQuote : ((masks.comma >> bit) & 1) ? kComma : kLf;
      bool record_done = false;

      if (state == State::AfterQuote) {
        if (at == quote_at + 1) {
          if (byte == kQuote) {  // a doubled quote: one quote of content
            doubled_quote = true;
            state = State::Quoted;
            continue;
          }
          // Comma or line end right after the closing quote ends the field.
          if (doubled_quote) {
            sink.escaped_field(field_begin, at);
          } else {
            sink.field(field_begin + 1, quote_at);
          }
          if (byte == kComma) {
            field_begin = at + 1;
            state = State::Unquoted;
            continue;
          }
          record_done = true;
        } else {
          // Ordinary bytes followed the closing quote: the field goes on unquoted.
          state = State::QuotedTail;
        }
      }

      if (!record_done) {
        switch (state) {
          case State::RecordStart:
          case State::Unquoted:
            if (byte == kQuote) {
              if (at == field_begin) {
                state = State::Quoted;
                doubled_quote = false;
              }
              continue;  // a quote inside an unquoted field is content
            }
            if (!unquoted_separator(at, byte == kComma)) continue;
            record_done = true;
            break;
          case State::Quoted:
            if (byte == kQuote) {
              quote_at = at;
              state = State::AfterQuote;
            } else {
              // Commas and line ends are content here: go straight to the
              // next quote of the block, or past the block if there is none.
              const uint64_t quotes = specials & masks.quote;
              specials = quotes == 0 ? 0 : specials & ~((quotes & (0 - quotes)) - 1);
            }
            continue;
          case State::QuotedTail:
            if (byte == kQuote) continue;
            sink.escaped_field(field_begin, at);
            if (byte == kComma) {
              field_begin = at + 1;
              state = State::Unquoted;
              continue;
            }
            record_done = true;
            break;
          case State::AfterQuote:
            break;  // resolved above
        }
      }

      // `byte` is a line end (CR or LF) and ended a record.
      if (end_record(at, bit)) return sink;
    }
    non_ascii_ |= masks.high & in_range;
  }

  // End of input: an open field ends here, and with it the record.
  offset_ = size_;
  if (state == State::RecordStart && field_begin == size_) return sink;  // the end of the data
  ended_by_input_end_ = true;
  last_record_start_ = record_begin;
  switch (state) {
    case State::RecordStart:
      sink.field(field_begin, size_);
      break;
    case State::Unquoted:
      sink.field(field_begin, size_);
      break;
    case State::Quoted:
      if (doubled_quote) {
        sink.escaped_field(field_begin, size_);
      } else {
        sink.field(field_begin + 1, size_);
      }
      break;
    case State::AfterQuote:
      if (quote_at + 1 < size_ || doubled_quote) {
        sink.escaped_field(field_begin, size_);
      } else {
        sink.field(field_begin + 1, quote_at);
      }
      break;
    case State::QuotedTail:
      sink.escaped_field(field_begin, size_);
      break;
  }
  (void)sink.record_end(size_);
  return sink;
}

// Rebuilds a quoted field's content from its raw bytes (opening quote first):
// the enclosing quotes go, a doubled quote becomes one, and bytes after the
// closing quote are kept as they are. `out` receives the content.
template <class Output>
void unescape_quoted(const uint8_t* raw, size_t size, Output& out) {
  size_t i = 1;  // past the opening quote
  while (i < size) {
    const void* found = std::memchr(raw + i, kQuote, size - i);
    if (found == nullptr) {  // still open at the end of the input
      out.append(raw + i, size - i);
      return;
    }
    const size_t quote = static_cast<size_t>(static_cast<const uint8_t*>(found) - raw);
    out.append(raw + i, quote - i);
    if (quote + 1 == size) return;  // the closing quote ends the field
    if (raw[quote + 1] == kQuote) {
      out.append(raw + quote, 1);  // a doubled quote
      i = quote + 2;
      continue;
    }
    out.append(raw + quote + 1, size - quote - 1);  // unquoted tail after the closing quote
    return;
  }
}

}  // namespace csv
