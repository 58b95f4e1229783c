// The dialect's bytes are broadcast once per call, ahead of the loop over
// its blocks.
#include "csv_input/block_scan.hpp"

#include <immintrin.h>

#include <cstring>

#include "common/cpu.hpp"

namespace csv {

namespace {

// Byte vectors in the compiler's generic vector types, so that one body
// serves every width; only the gathering of one bit per byte (`movemask`)
// needs the instructions of a width.
using Bytes16 = uint8_t __attribute__((vector_size(16)));
using Bytes32 = uint8_t __attribute__((vector_size(32)));

// Inlined into a function compiled for the processor that runs it, where
// the generic operations become its instructions.
template <bool kExtra, class Bytes, class Movemask>
[[gnu::always_inline]] inline void scan_blocks_as(const Dialect& dialect, const uint8_t* data, size_t count,
                                                  BlockMasks* out, Movemask movemask) {
  constexpr unsigned kWidth = sizeof(Bytes);
  const Bytes delimiter = Bytes{} + dialect.delimiter;
  const Bytes quote = Bytes{} + dialect.quote;
  const Bytes cr = Bytes{} + dialect.carriage_return;
  const Bytes lf = Bytes{} + dialect.line_feed;
  const Bytes escape = Bytes{} + dialect.escape;
  const Bytes comment = Bytes{} + dialect.comment;
  const uint64_t quoting = 0 - uint64_t{dialect.quoting};
  const uint64_t escaping = 0 - uint64_t{dialect.escaping};
  const uint64_t comments = 0 - uint64_t{dialect.comments};
  const uint64_t spaces = 0 - uint64_t{dialect.skip_initial_space};
  const Bytes space = Bytes{} + ' ';
  for (size_t i = 0; i < count; ++i) {
    BlockMasks masks{0, 0, 0, 0, 0, 0, 0};
    for (unsigned part = 0; part < 64 / kWidth; ++part) {
      Bytes v;
      std::memcpy(&v, data + 64 * i + kWidth * part, kWidth);
      const unsigned shift = kWidth * part;
      masks.delimiter |= movemask(v == delimiter) << shift;
      masks.quote |= movemask(v == quote) << shift;
      masks.line_end |= movemask((v == cr) | (v == lf)) << shift;
      masks.high |= movemask(v >= 0x80) << shift;
      if constexpr (kExtra) {
        masks.escape |= movemask(v == escape) << shift;
        masks.comment |= movemask(v == comment) << shift;
        masks.space |= movemask(v == space) << shift;
      }
    }
    masks.quote &= quoting;
    masks.escape &= escaping;
    masks.comment &= comments;
    masks.space &= spaces & ~(masks.delimiter | masks.quote | masks.escape | masks.comment);
    out[i] = masks;
  }
}

// The same scan, with the escape, comment and space compares only where
// the dialect has those bytes.
template <class Bytes, class Movemask>
[[gnu::always_inline]] inline void scan_blocks_for(const Dialect& dialect, const uint8_t* data, size_t count,
                                                   BlockMasks* out, Movemask movemask) {
  if (dialect.has_extra_bytes()) {
    scan_blocks_as<true, Bytes>(dialect, data, count, out, movemask);
  } else {
    scan_blocks_as<false, Bytes>(dialect, data, count, out, movemask);
  }
}

}  // namespace

void scan_blocks_sse2(const Dialect& dialect, const uint8_t* data, size_t count, BlockMasks* out) noexcept {
  scan_blocks_for<Bytes16>(dialect, data, count, out, [](const auto& matches) {
    return uint64_t{static_cast<uint16_t>(_mm_movemask_epi8(reinterpret_cast<__m128i>(matches)))};
  });
}

// Compiled for AVX2 (and below, AVX-512BW) and only called after a runtime
// check; nothing else in the tokeniser is.
__attribute__((target("avx2"))) void scan_blocks_avx2(const Dialect& dialect, const uint8_t* data,
                                                      size_t count, BlockMasks* out) noexcept {
  scan_blocks_for<Bytes32>(dialect, data, count, out, [](const auto& matches) __attribute__((target("avx2"))) {
    return uint64_t{static_cast<uint32_t>(_mm256_movemask_epi8(reinterpret_cast<__m256i>(matches)))};
  });
}

// Its compares give masks directly, which the generic vectors would lose.
__attribute__((target("avx512bw"))) void scan_blocks_avx512(const Dialect& dialect, const uint8_t* data,
                                                          size_t count, BlockMasks* out) noexcept {
  const __m512i delimiter = _mm512_set1_epi8(static_cast<char>(dialect.delimiter));
  const __m512i quote = _mm512_set1_epi8(static_cast<char>(dialect.quote));
  const __m512i cr = _mm512_set1_epi8(static_cast<char>(dialect.carriage_return));
  const __m512i lf = _mm512_set1_epi8(static_cast<char>(dialect.line_feed));
  const __m512i escape = _mm512_set1_epi8(static_cast<char>(dialect.escape));
  const __m512i comment = _mm512_set1_epi8(static_cast<char>(dialect.comment));
  const uint64_t quoting = 0 - uint64_t{dialect.quoting};
  const bool extra = dialect.has_extra_bytes();
  const uint64_t escaping = 0 - uint64_t{dialect.escaping};
  const uint64_t comments = 0 - uint64_t{dialect.comments};
  const uint64_t spaces = 0 - uint64_t{dialect.skip_initial_space};
  const __m512i space = _mm512_set1_epi8(' ');
  for (size_t i = 0; i < count; ++i) {
    const __m512i v = _mm512_loadu_si512(data + 64 * i);
    out[i] = BlockMasks{_mm512_cmpeq_epi8_mask(v, delimiter), _mm512_cmpeq_epi8_mask(v, quote) & quoting,
                        _mm512_cmpeq_epi8_mask(v, cr) | _mm512_cmpeq_epi8_mask(v, lf),
                        _mm512_movepi8_mask(v), 0, 0, 0};
    if (extra) {
      out[i].escape = _mm512_cmpeq_epi8_mask(v, escape) & escaping;
      out[i].comment = _mm512_cmpeq_epi8_mask(v, comment) & comments;
      out[i].space = _mm512_cmpeq_epi8_mask(v, space) & spaces &
                     ~(out[i].delimiter | out[i].quote | out[i].escape | out[i].comment);
    }
  }
}

ScanBlocks best_block_scanner() noexcept {
  if (common::cpu_has_avx512bw()) return scan_blocks_avx512;
  return common::cpu_has_avx2() ? scan_blocks_avx2 : scan_blocks_sse2;
}

}  // namespace csv
