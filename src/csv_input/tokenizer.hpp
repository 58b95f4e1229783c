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

// The masks of `count` whole blocks from `data` into `out`: with SSE2, with
// AVX2 (half the instructions) and with AVX-512BW (a whole block per
// compare, straight into a mask), each where the processor has it.
void scan_blocks_sse2(const uint8_t* data, size_t count, BlockMasks* out) noexcept;
void scan_blocks_avx2(const uint8_t* data, size_t count, BlockMasks* out) noexcept;
void scan_blocks_avx512(const uint8_t* data, size_t count, BlockMasks* out) noexcept;
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

  // The tokeniser's position between blocks.
  struct Position {
    State state;
    size_t field_begin;   // raw start of the current field
    size_t record_begin;  // where the current record's reading began
    size_t quote_at;      // the last quote seen in a quoted field
    bool doubled_quote;   // the quoted field holds "" and needs unescaping
  };

  // Reads whole blocks from `masks` (`count` of them, the first at input
  // offset `block`) for as long as each is free of quotes or well quoted:
  // fields then end at the separators outside quotes, which the masks give.
  // Most of the input of most files goes through here. It is a function of
  // its own, and works on a copy of the sink, so that the compiler keeps
  // the sink's cursor in registers: stores of fields cannot change a local
  // it never lets out. Returns how many blocks it read; the block it stops
  // at is left whole to the caller, and `position` is where it stopped.
  // The sink asking to stop shows as `offset_` set past the record.
  template <class Sink>
  [[gnu::noinline]] size_t read_well_formed(Sink& sink, const BlockMasks* masks, size_t count, size_t block,
                                            Position& position, bool& stopped);

  const uint8_t* data_;
  size_t size_;
  size_t offset_;
  ScanBlocks scan_blocks_;
  uint64_t non_ascii_ = 0;
  bool ended_by_input_end_ = false;
  size_t last_record_start_ = 0;
};

template <class Sink>
size_t Tokenizer::read_well_formed(Sink& sink, const BlockMasks* masks, size_t count, size_t block,
                                   Position& position, bool& stopped) {
  Sink local = std::move(sink);
  State state = position.state;
  size_t field_begin = position.field_begin;
  size_t record_begin = position.record_begin;
  size_t quote_at = position.quote_at;
  bool doubled_quote = position.doubled_quote;
  uint64_t non_ascii = 0;
  stopped = false;

  // A line end at `at` (bit `bit` of block `m`) ended a record: true when
  // the sink stops.
  const auto end_record = [&](size_t at, unsigned bit, const BlockMasks& m) __attribute__((always_inline)) {
    state = State::RecordStart;
    field_begin = at + 1;
    record_begin = at + 1;
    if (!local.record_end(at + 1)) return false;
    const uint64_t consumed = bit == 63 ? ~uint64_t{0} : (uint64_t{2} << bit) - 1;
    non_ascii |= m.high & consumed;
    offset_ = at + 1;
    return true;
  };

  size_t read = 0;
  for (; read < count; ++read, block += 64) {
    const BlockMasks& m = masks[read];
    const bool outside = state == State::RecordStart || state == State::Unquoted;
    if (outside && m.quote == 0) {
      // Only commas and line ends matter, and the masks tell them apart.
      uint64_t separators = m.comma | m.line_end;
      while (separators != 0) {
        const unsigned bit = static_cast<unsigned>(__builtin_ctzll(separators));
        separators &= separators - 1;
        const size_t at = block + bit;
        if ((m.comma >> bit) & 1) {
          local.field(field_begin, at);
          field_begin = at + 1;
          state = State::Unquoted;
          continue;
        }
        if (state == State::RecordStart && at == field_begin) {
          field_begin = at + 1;  // a blank line
          continue;
        }
        local.field(field_begin, at);
        if (end_record(at, bit, m)) {
          stopped = true;
          break;
        }
      }
      if (stopped) break;
      non_ascii |= m.high;
      continue;
    }
    if (state == State::QuotedTail || (state == State::AfterQuote && quote_at + 1 != block)) break;
    const QuotedBlock quotes = read_quotes(m, ~uint64_t{0}, outside && field_begin == block,
                                           state == State::Quoted, state == State::AfterQuote);
    if (!quotes.well_formed) break;
    uint64_t separators = quotes.separators;
    while (separators != 0) {
      const unsigned bit = static_cast<unsigned>(__builtin_ctzll(separators));
      separators &= separators - 1;
      const size_t at = block + bit;
      const bool comma = (m.comma >> bit) & 1;
      if (at != field_begin && data_[field_begin] == kQuote) {
        // A quoted field, closed on the byte before: unescaped only if a
        // quote was doubled in it, in this block or before it.
        const size_t from = field_begin < block ? 0 : field_begin - block;
        const uint64_t in_field = ~(~uint64_t{0} << bit) >> from << from;
        if ((field_begin < block && doubled_quote) || (quotes.doubled & in_field) != 0) {
          local.escaped_field(field_begin, at);
        } else {
          local.field(field_begin + 1, at - 1);
        }
      } else if (!comma && state == State::RecordStart && at == field_begin) {
        field_begin = at + 1;  // a blank line
        continue;
      } else {
        local.field(field_begin, at);
      }
      if (comma) {
        field_begin = at + 1;
        state = State::Unquoted;
        continue;
      }
      if (end_record(at, bit, m)) {
        stopped = true;
        break;
      }
    }
    if (stopped) break;
    // The field after the last separator may still be quoted, or just closed.
    constexpr uint64_t kLastByte = uint64_t{1} << 63;
    const bool ends_inside = (quotes.inside & kLastByte) != 0;
    const bool ends_on_closing = (m.quote & kLastByte & ~quotes.inside) != 0;
    if (ends_inside || ends_on_closing) {
      const size_t from = field_begin < block ? 0 : field_begin - block;
      const bool doubled_here = (quotes.doubled >> from) != 0;
      doubled_quote = (field_begin < block && doubled_quote) || doubled_here;
      if (ends_inside) {
        state = State::Quoted;
      } else {
        state = State::AfterQuote;
        quote_at = block + 63;
      }
    }
    non_ascii |= m.high;
  }
  non_ascii_ |= non_ascii;
  position = {state, field_begin, record_begin, quote_at, doubled_quote};
  sink = std::move(local);
  return read;
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

    if (available >= 64 && state != State::QuotedTail) {
      // This block and the ones after it, as far as scanned, while their
      // quoting is well formed.
      Position position{state, field_begin, record_begin, quote_at, doubled_quote};
      bool stopped;
      const size_t read = read_well_formed(sink, ahead + next_ahead - 1, ahead_count - next_ahead + 1, block,
                                           position, stopped);
      if (stopped) return sink;
      state = position.state;
      field_begin = position.field_begin;
      record_begin = position.record_begin;
      quote_at = position.quote_at;
      doubled_quote = position.doubled_quote;
      if (read != 0) {
        block += 64 * (read - 1);
        next_ahead += read - 1;
        continue;
      }
    }
    // Byte by byte through the specials: the last, partial block, and any
    // block whose quoting read_well_formed does not take.
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
