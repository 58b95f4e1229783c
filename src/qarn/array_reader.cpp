#include "qarn/array_reader.hpp"

#include <algorithm>
#include <array>
#include <cstring>

#include "common/load.hpp"
#include "common/utf8.hpp"
#include "qarn/packed_length.hpp"
#include "qarn/string_views.hpp"

namespace qarn {

namespace {

// The eight bytes 0 or 1 that one packed byte stands for, first bit first.
constexpr std::array<uint64_t, 256> make_bit_table() {
  std::array<uint64_t, 256> table{};
  for (unsigned byte = 0; byte < 256; ++byte) {
    uint64_t expanded = 0;
    for (unsigned bit = 0; bit < 8; ++bit) {
      if (byte & (0x80u >> bit)) expanded |= uint64_t{1} << (8 * bit);
    }
    table[byte] = expanded;
  }
  return table;
}
constexpr std::array<uint64_t, 256> kBitTable = make_bit_table();

void expand_bits(const uint8_t* packed, uint64_t bits, ByteBuffer& out) {
  uint8_t* dst = out.extend(static_cast<size_t>(bits));
  const uint64_t whole = bits / 8;
  for (uint64_t i = 0; i < whole; ++i) std::memcpy(dst + 8 * i, &kBitTable[packed[i]], 8);
  for (uint64_t i = whole * 8; i < bits; ++i) {
    dst[i] = static_cast<uint8_t>((packed[i / 8] >> (7 - i % 8)) & 1);
  }
}

ReadStatus check_bools(const uint8_t* p, size_t n, uint64_t offset) noexcept {
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t word;
    std::memcpy(&word, p + i, 8);
    if (word & 0xFEFEFEFEFEFEFEFEull) break;
  }
  for (; i < n; ++i) {
    if (p[i] > 1) return read_error(FormatErrorKind::InvalidBool, offset + i);
  }
  return std::nullopt;
}

// `count` values of a fixed-width type. A count the rest of the file cannot
// hold is reported at the count (`count_offset`), before any value is
// looked at.
ReadStatus read_fixed_values(Cursor& cursor, TypeId type, uint64_t count, uint64_t count_offset,
                             ValueMode mode, ValueColumn* out) {
  const size_t width = fixed_width(type);
  const uint64_t start = cursor.offset();
  if (count > cursor.remaining() / width) return read_error(FormatErrorKind::InvalidSize, count_offset);
  const size_t bytes = static_cast<size_t>(count * width);
  if (mode == ValueMode::Store) {
    uint8_t* copy = out->fixed().extend(bytes);
    // An empty column's buffer may have no storage yet: no copy from or to null.
    if (bytes != 0) std::memcpy(copy, cursor.here(), bytes);
    // The copy is what is checked: the file's bytes may change meanwhile
    // when another thread writes to the buffer they are read from.
    if (type == TypeId::Bool) {
      if (auto err = check_bools(copy, bytes, start)) return err;
    }
  } else if (type == TypeId::Bool && mode == ValueMode::Check) {
    if (auto err = check_bools(cursor.here(), bytes, start)) return err;
  }
  cursor.advance(bytes);
  return std::nullopt;
}

// A packed length from the file: invalid size at the element (`item_offset`)
// when it is malformed, at the block (`limit_offset`) when the block ends
// inside it.
ReadStatus read_packed_length(const uint8_t*& p, const uint8_t* limit, uint64_t item_offset,
                              uint64_t limit_offset, uint64_t& length) noexcept {
  switch (read_packed_length_within(p, limit, length)) {
    case PackedLengthRead::Ok: return std::nullopt;
    case PackedLengthRead::Truncated: return read_error(FormatErrorKind::InvalidSize, limit_offset);
    case PackedLengthRead::Invalid: break;
  }
  return read_error(FormatErrorKind::InvalidSize, item_offset);
}

// The file offset of each of the first `count` elements of the block, by
// walking their packed lengths again, bounded by `limit` at every step.
// Only used to report an element already found to be bad; when the bytes
// no longer read as before, the block itself is reported.
uint64_t element_offset(const Cursor& cursor, const uint8_t* block, const uint8_t* limit,
                        uint64_t block_offset, uint64_t index) {
  const uint8_t* p = block;
  for (uint64_t i = 0; i < index; ++i) {
    uint64_t length = 0;
    if (read_packed_length(p, limit, 0, 0, length) || length > static_cast<uint64_t>(limit - p)) {
      return block_offset;
    }
    p += length;
  }
  return cursor.offset_of(p);
}

// The first of the decoded elements that is not valid UTF-8, checked on
// the column's own copy of them.
ReadStatus first_invalid_string(const Cursor& cursor, const uint8_t* block, const uint8_t* limit,
                                uint64_t block_offset, const ValueColumn& column,
                                uint64_t first, uint64_t count) {
  for (uint64_t i = 0; i < count; ++i) {
    const std::string_view element = column.element(first + i);
    const auto* bytes = reinterpret_cast<const uint8_t*>(element.data());
    if (common::utf8_valid_prefix(bytes, element.size()) != element.size()) {
      return read_error(FormatErrorKind::InvalidString,
                        element_offset(cursor, block, limit, block_offset, i));
    }
  }
  return std::nullopt;
}

// Steps over elements checking only their lengths.
ReadStatus walk_elements(const Cursor& cursor, const uint8_t* p, const uint8_t* limit,
                         uint64_t block_offset, uint64_t count) {
  for (uint64_t i = 0; i < count; ++i) {
    const uint8_t* element = p;
    uint64_t length = 0;
    if (auto err = read_packed_length(p, limit, cursor.offset_of(element), block_offset, length)) {
      return err;
    }
    if (length > static_cast<uint64_t>(limit - p)) {
      return read_error(FormatErrorKind::InvalidSize, block_offset);
    }
    p += length;
  }
  return std::nullopt;
}

struct DecodedElements {
  uint64_t count = 0;               // elements decoded
  const uint8_t* end = nullptr;     // where the last of them ends in the file
  const uint8_t* data_begin = nullptr;
  size_t data_size = 0;             // bytes appended to the column's data
  ReadStatus size_error;
};

// Whether every element decoded is valid UTF-8, found with one pass over
// their joined bytes: elements that are each valid are valid when joined,
// and no element of valid text starts with a continuation byte. Plain
// ASCII has none of those, so only other text has its starts looked at,
// here rather than in the copy's loop, where the flag kept in memory made
// every element wait for the one before.
bool joined_elements_valid(const DecodedElements& decoded, const ValueColumn& column, uint64_t first) {
  const common::Utf8Text text = common::utf8_text(decoded.data_begin, decoded.data_size);
  if (text != common::Utf8Text::Valid) return text == common::Utf8Text::Ascii;
  const OffsetsView offsets = column.offsets_view();
  const uint8_t* data = column.data().data();
  bool continues = false;
  for (uint64_t i = first; i < first + decoded.count; ++i) {
    const int64_t begin = offsets[i];
    continues |= offsets[i + 1] != begin && (data[begin] & 0xC0) == 0x80;
  }
  return !continues;
}

// Elements are usually copied in groups of this many with one length.
inline constexpr uint64_t kSameLengthGroup = 8;
inline constexpr uint64_t kMostGroupWait = 256;

// The length of the element at `p`, which is moved past its packed length:
// one byte, read inline, for all but long elements. An error as
// decode_elements reports it when the length is malformed or the element
// runs past the block.
inline ReadStatus next_element(const Cursor& cursor, const uint8_t*& p, const uint8_t* limit,
                               uint64_t block_offset, uint64_t& length) {
  const uint8_t* element = p;
  if (p < limit && *p < 0x80) {
    length = *p++;
  } else if (auto err = read_packed_length(p, limit, cursor.offset_of(element), block_offset, length)) {
    return err;
  }
  if (length > static_cast<uint64_t>(limit - p)) return read_error(FormatErrorKind::InvalidSize, block_offset);
  return std::nullopt;
}

// Whether the next `kSameLengthGroup` of `left` elements at `p` all have
// the one-byte length of the first, at most `most`, within the block.
inline bool same_length_group(const uint8_t* p, const uint8_t* limit, uint64_t left, uint8_t most) {
  if (left < kSameLengthGroup || p >= limit) return false;
  const uint8_t length = *p;
  const size_t step = size_t{length} + 1;
  if (length > most || static_cast<size_t>(limit - p) < kSameLengthGroup * step) return false;
  bool same = true;
  for (size_t k = 1; k < kSameLengthGroup; ++k) same &= p[k * step] == length;
  return same;
}

struct SameLengthGroup {
  uint64_t copied = 0;  // elements copied: the group's size, or none
  const uint8_t* end = nullptr;
  uint8_t* dst = nullptr;
};

// Where the next `kSameLengthGroup` elements all have the one-byte length
// of the first, as columns of codes, times and identifiers mostly do,
// copies them. Each element's place then follows from the first, so their
// lengths are checked and copied side by side, instead of each waiting for
// the length of the one before it to be loaded and added.
template <class Offset>
SameLengthGroup copy_same_length_group(const uint8_t* p, const uint8_t* limit, const uint8_t* file_end,
                                       uint64_t left, uint8_t* dst, int64_t base,
                                       const uint8_t* dst_begin, Offset* ends) {
  if (!same_length_group(p, limit, left, 0x7F)) return {};
  const uint8_t length = *p;
  const size_t step = size_t{length} + 1;
  const uint8_t* last = p + (kSameLengthGroup - 1) * step + 1;
  const ptrdiff_t readable = file_end - last;
  if (length <= common::kWideCopy && readable >= static_cast<ptrdiff_t>(common::kWideCopy)) {
    for (size_t k = 0; k < kSameLengthGroup; ++k) {
      std::memcpy(dst + k * length, p + k * step + 1, common::kWideCopy);
    }
  } else if (length <= kElementCopy && readable >= static_cast<ptrdiff_t>(kElementCopy)) {
    for (size_t k = 0; k < kSameLengthGroup; ++k) std::memcpy(dst + k * length, p + k * step + 1, kElementCopy);
  } else {
    for (size_t k = 0; k < kSameLengthGroup; ++k) std::memcpy(dst + k * length, p + k * step + 1, length);
  }
  const int64_t first_end = base + (dst - dst_begin) + length;
  for (size_t k = 0; k < kSameLengthGroup; ++k) {
    ends[k] = static_cast<Offset>(first_end + static_cast<int64_t>(k * length));
  }
  return {kSameLengthGroup, p + kSameLengthGroup * step, dst + kSameLengthGroup * length};
}

// Copies up to `count` elements from [block, limit) into the column, with
// their ends as `Offset`s, stopping at the first that does not fit. An
// element whose packed length is malformed is reported at the element; one
// that runs past the block (or the file) at the block, whose size does not
// then add up.
template <class Offset>
DecodedElements decode_elements(const Cursor& cursor, const uint8_t* block, const uint8_t* limit,
                                uint64_t block_offset, uint64_t count, ValueColumn& column) {
  const size_t span = static_cast<size_t>(limit - block);
  // Every element takes at least one byte, so no more than `span` fit.
  const uint64_t most = std::min<uint64_t>(count, span);
  auto* ends =
      reinterpret_cast<Offset*>(column.offsets().spare(static_cast<size_t>(most) * sizeof(Offset)));
  uint8_t* const dst_begin = column.data().spare(span + kElementCopy);
  uint8_t* dst = dst_begin;
  const auto base = static_cast<int64_t>(column.data().size());
  const uint8_t* const file_end = cursor.file_end();
  const uint8_t* p = block;
  DecodedElements decoded;
  uint64_t done = 0;
  uint64_t next_group_try = 0;
  uint64_t group_wait = kSameLengthGroup;
  for (; done < count; ++done) {
    if (done >= next_group_try) {
      const SameLengthGroup group = copy_same_length_group(p, limit, file_end, count - done, dst, base,
                                                           dst_begin, ends + done);
      if (group.copied != 0) {
        done += group.copied - 1;
        p = group.end;
        dst = group.dst;
        group_wait = kSameLengthGroup;
        continue;
      }
      // Where lengths vary, they mostly go on varying: each miss waits
      // twice as long before looking again, up to a limit.
      next_group_try = done + group_wait;
      group_wait = std::min<uint64_t>(group_wait * 2, kMostGroupWait);
    }
    uint64_t length;
    if (auto err = next_element(cursor, p, limit, block_offset, length)) {
      decoded.size_error = err;
      break;
    }
    // Short elements are copied as one block of 32 or 64 bytes where that
    // much may be read: texts such as descriptions and addresses then take
    // no call of memcpy either.
    const auto readable = static_cast<size_t>(file_end - p);
    if (length <= common::kWideCopy) {
      common::copy_short_wide(dst, p, static_cast<size_t>(length), readable >= common::kWideCopy);
    } else {
      common::copy_short_wide<kElementCopy>(dst, p, static_cast<size_t>(length), readable >= kElementCopy);
    }
    dst += length;
    p += length;
    ends[done] = static_cast<Offset>(base + (dst - dst_begin));
  }
  column.offsets().commit(static_cast<size_t>(done) * sizeof(Offset));
  column.data().commit(static_cast<size_t>(dst - dst_begin));
  decoded.count = done;
  decoded.end = p;
  decoded.data_begin = dst_begin;
  decoded.data_size = static_cast<size_t>(dst - dst_begin);
  return decoded;
}

struct DecodedViews {
  DecodedElements elements;     // `data_*` for the long elements alone
  bool short_ascii = true;      // no short element has a byte past ASCII
  bool long_continues = false;  // a long element starts with a continuation byte
};

// Whether the short elements among `count` views are each valid UTF-8:
// whether the views read as one text, with the long views blanked out. A
// short view is its length (at most 12), zero bytes, the element and zero
// bytes, so no multibyte sequence of valid text can run from one element
// into the next, and the whole is valid exactly when each element is. The
// views are gathered into a small copy, a part at a time.
bool short_views_valid(const uint8_t* views, uint64_t count) {
  constexpr uint64_t kPart = 256;
  alignas(16) uint8_t text[kPart * kStringViewBytes];
  for (uint64_t done = 0; done < count; done += kPart) {
    const uint64_t part = std::min(kPart, count - done);
    for (uint64_t i = 0; i < part; ++i) {
      const uint8_t* view = views + (done + i) * kStringViewBytes;
      const uint64_t kept = 0 - uint64_t{common::load<uint32_t>(view) <= kMostInlined};
      const uint64_t words[2] = {common::load<uint64_t>(view) & kept, common::load<uint64_t>(view + 8) & kept};
      std::memcpy(text + i * kStringViewBytes, words, kStringViewBytes);
    }
    if (common::utf8_text(text, part * kStringViewBytes) == common::Utf8Text::Invalid) return false;
  }
  return true;
}

// Decodes up to `count` elements from [block, limit) as views appended to
// the column, copying into its data only those longer than a view holds,
// and stopping where decode_elements would. Elements of one short length
// in a row are viewed side by side, as there. What is checked of their
// text is the copies: the views and the data.
DecodedViews decode_views(const Cursor& cursor, const uint8_t* block, const uint8_t* limit,
                          uint64_t block_offset, uint64_t count, ValueColumn& column) {
  const size_t span = static_cast<size_t>(limit - block);
  const uint64_t most = std::min<uint64_t>(count, span);
  uint8_t* const views = column.offsets().spare(static_cast<size_t>(most) * kStringViewBytes);
  uint8_t* const dst_begin = column.data().spare(span + kElementCopy);
  uint8_t* dst = dst_begin;
  const auto base = static_cast<uint32_t>(column.data().size());
  const uint8_t* const file_end = cursor.file_end();
  const uint8_t* p = block;
#if defined(__SSE2__)
  __m128i kept_bytes = _mm_setzero_si128();  // of the short elements, ORed
#endif
  DecodedViews decoded;
  uint64_t done = 0;
  uint64_t next_group_try = 0;
  uint64_t group_wait = kSameLengthGroup;
  for (; done < count; ++done) {
#if defined(__SSE2__)
    if (done >= next_group_try) {
      const bool same = same_length_group(p, limit, count - done, kMostInlined);
      const uint8_t length = same ? *p : 0;
      const size_t step = size_t{length} + 1;
      // The last view reads 12 bytes from where its element starts.
      if (same && file_end - (p + (kSameLengthGroup - 1) * step + 1) >= static_cast<ptrdiff_t>(kMostInlined)) {
        for (size_t k = 0; k < kSameLengthGroup; ++k) {
          kept_bytes = _mm_or_si128(kept_bytes, view_detail::write_view_vector(p + k * step + 1, length, 0,
                                                                               views + (done + k) * kStringViewBytes));
        }
        done += kSameLengthGroup - 1;
        p += kSameLengthGroup * step;
        group_wait = kSameLengthGroup;
        continue;
      }
      next_group_try = done + group_wait;
      group_wait = std::min<uint64_t>(group_wait * 2, kMostGroupWait);
    }
#endif
    uint64_t length;
    if (auto err = next_element(cursor, p, limit, block_offset, length)) {
      decoded.elements.size_error = err;
      break;
    }
    uint8_t* view = views + done * kStringViewBytes;
    const auto readable = static_cast<size_t>(file_end - p);
    const uint32_t start = base + static_cast<uint32_t>(dst - dst_begin);
    const auto size = static_cast<uint32_t>(length);
#if defined(__SSE2__)
    if (readable >= kMostInlined) [[likely]] {
      const __m128i kept = view_detail::write_view_vector(p, size, start, view);
      if (size <= kMostInlined) kept_bytes = _mm_or_si128(kept_bytes, kept);
    } else
#endif
    {
      // The block's total size stands before it, so the 4 bytes before any
      // of its elements may be read, as the vector view does too.
      write_view(p, size, start, readable, true, view);
      decoded.short_ascii = false;  // looked at after
    }
    if (size > kMostInlined) {
      common::copy_short_wide<kElementCopy>(dst, p, size, readable >= kElementCopy);
      // The view's first bytes from the copy, which is what is checked.
      std::memcpy(view + 4, dst, 4);
      decoded.long_continues |= (dst[0] & 0xC0) == 0x80;
      dst += size;
    }
    p += length;
  }
  column.offsets().commit(static_cast<size_t>(done) * kStringViewBytes);
  column.data().commit(static_cast<size_t>(dst - dst_begin));
  decoded.elements.count = done;
  decoded.elements.end = p;
  decoded.elements.data_begin = dst_begin;
  decoded.elements.data_size = static_cast<size_t>(dst - dst_begin);
#if defined(__SSE2__)
  decoded.short_ascii &= _mm_movemask_epi8(kept_bytes) == 0;
#endif
  return decoded;
}

// Whether the `count` viewed elements from `first` on are each valid UTF-8:
// the long ones in the data as for decode_elements, the short ones as
// above where any is not plain ASCII.
bool viewed_elements_valid(const DecodedViews& decoded, const ValueColumn& column, uint64_t first) {
  const uint8_t* views = column.offsets().data() + first * kStringViewBytes;
  if (!decoded.short_ascii && !short_views_valid(views, decoded.elements.count)) return false;
  switch (common::utf8_text(decoded.elements.data_begin, decoded.elements.data_size)) {
    case common::Utf8Text::Ascii: return true;
    case common::Utf8Text::Valid: return !decoded.long_continues;
    case common::Utf8Text::Invalid: break;
  }
  return false;
}

// After a block's elements were decoded: the first of them whose text is
// not valid (`text_invalid` says whether to look), else the block's size
// error, else the cursor after the block.
ReadStatus finish_elements(Cursor& cursor, const uint8_t* block, const uint8_t* limit, uint64_t block_offset,
                           const ValueColumn& column, uint64_t first, const DecodedElements& decoded,
                           bool text_invalid) {
  ReadStatus size_error = decoded.size_error;
  if (!size_error && decoded.end != limit) size_error = read_error(FormatErrorKind::InvalidSize, block_offset);
  if (text_invalid) {
    if (auto err = first_invalid_string(cursor, block, limit, block_offset, column, first, decoded.count)) {
      return err;
    }
  }
  if (size_error) return size_error;
  cursor.seek(limit);
  return std::nullopt;
}

// The packed block of `string` or `bytes` elements: its total byte size,
// then each element as a packed length and its bytes. A total the rest of
// the file cannot hold is reported at the total, before any element is
// looked at.
ReadStatus read_var_values(Cursor& cursor, TypeId type, uint64_t count, ValueMode mode,
                           ValueColumn* out) {
  const uint64_t block_offset = cursor.offset();
  uint64_t total = 0;
  if (auto err = cursor.read_count(total)) return err;
  const ReadStatus leftover = read_error(FormatErrorKind::InvalidSize, block_offset);
  if (total > cursor.remaining()) return leftover;
  const uint8_t* block = cursor.here();
  const uint8_t* limit = block + total;

  if (mode == ValueMode::Skip) {
    // Every element takes at least a byte, so a count beyond the block's
    // size cannot be right; that is found by walking the elements.
    if (count <= total) {
      cursor.advance(static_cast<size_t>(total));
      return std::nullopt;
    }
    if (auto err = walk_elements(cursor, block, limit, block_offset, count)) return err;
    return leftover;
  }

  ValueColumn& column = *out;
  if (mode == ValueMode::Check) column.clear();
  const uint64_t first = column.size();
  if (column.views()) {
    const DecodedViews viewed = decode_views(cursor, block, limit, block_offset, count, column);
    return finish_elements(cursor, block, limit, block_offset, column, first, viewed.elements,
                           type == TypeId::String && !viewed_elements_valid(viewed, column, first));
  }
  const DecodedElements decoded =
      column.offset_width() == sizeof(int32_t)
          ? decode_elements<int32_t>(cursor, block, limit, block_offset, count, column)
          : decode_elements<int64_t>(cursor, block, limit, block_offset, count, column);
  return finish_elements(cursor, block, limit, block_offset, column, first, decoded,
                         type == TypeId::String && !joined_elements_valid(decoded, column, first));
}

// `count` values, read as the count at `count_offset` declares them.
ReadStatus read_packed_values(Cursor& cursor, TypeId type, uint64_t count, uint64_t count_offset,
                              ValueMode mode, ValueColumn* out) {
  if (is_variable_width(type)) return read_var_values(cursor, type, count, mode, out);
  return read_fixed_values(cursor, type, count, count_offset, mode, out);
}

// Appends each element of `values` to `out` as many times as its run
// says, `count` elements in all, into space taken once: columns of ids and
// names repeated over many rows are mostly runs.
template <class Offset>
void expand_element_runs(const ValueColumn& values, const uint8_t* run_bytes, uint64_t count,
                         ValueColumn& out) {
  const OffsetsView offsets = values.offsets_view();
  const uint64_t runs = values.size();
  size_t bytes = 0;
  for (uint64_t i = 0; i < runs; ++i) {
    bytes += static_cast<size_t>(offsets[i + 1] - offsets[i]) * (size_t{run_bytes[i]} + 1);
  }
  auto* ends = reinterpret_cast<Offset*>(out.offsets().spare(static_cast<size_t>(count) * sizeof(Offset)));
  uint8_t* const dst_begin = out.data().spare(bytes + common::kWideCopy);
  uint8_t* dst = dst_begin;
  const auto base = static_cast<int64_t>(out.data().size());
  const uint8_t* const source = values.data().data();
  const size_t source_room = values.data().capacity();
  for (uint64_t i = 0; i < runs; ++i) {
    const auto begin = static_cast<size_t>(offsets[i]);
    const auto length = static_cast<size_t>(offsets[i + 1] - offsets[i]);
    const bool wide_ok = source_room - begin >= common::kWideCopy;
    for (uint64_t k = 0; k <= run_bytes[i]; ++k) {
      common::copy_short_wide(dst, source + begin, length, wide_ok);
      dst += length;
      *ends++ = static_cast<Offset>(base + (dst - dst_begin));
    }
  }
  out.offsets().commit(static_cast<size_t>(count) * sizeof(Offset));
  out.data().commit(static_cast<size_t>(dst - dst_begin));
}

// The same for a column laid out as views: each value is viewed (and, when
// long, copied) once, and its view repeated.
void expand_view_runs(const ValueColumn& values, const uint8_t* run_bytes, uint64_t count, ValueColumn& out) {
  const OffsetsView offsets = values.offsets_view();
  const uint64_t runs = values.size();
  uint8_t* view = out.offsets().spare(static_cast<size_t>(count) * kStringViewBytes);
  uint8_t* const dst_begin = out.data().spare(values.data().size() + kElementCopy);
  uint8_t* dst = dst_begin;
  const auto base = static_cast<uint32_t>(out.data().size());
  const uint8_t* const source = values.data().data();
  const size_t source_room = values.data().capacity();
  for (uint64_t i = 0; i < runs; ++i) {
    const auto begin = static_cast<size_t>(offsets[i]);
    const auto length = static_cast<uint32_t>(offsets[i + 1] - offsets[i]);
    const uint8_t* element = source + begin;
    write_view(element, length, base + static_cast<uint32_t>(dst - dst_begin), source_room - begin, begin >= 4, view);
    if (length > kMostInlined) {
      std::memcpy(dst, element, length);
      dst += length;
    }
    for (uint64_t k = 1; k <= run_bytes[i]; ++k) std::memcpy(view + k * kStringViewBytes, view, kStringViewBytes);
    view += (uint64_t{run_bytes[i]} + 1) * kStringViewBytes;
  }
  out.offsets().commit(static_cast<size_t>(count) * kStringViewBytes);
  out.data().commit(static_cast<size_t>(dst - dst_begin));
}

ReadStatus read_run_length(Cursor& cursor, const ArrayHeader& header, ValueMode mode,
                           ValueColumn* out) {
  const uint64_t runs_offset = cursor.offset();
  uint64_t runs = 0;
  if (auto err = cursor.read_count(runs)) return err;
  const uint8_t* run_bytes = nullptr;
  if (auto err = cursor.take(static_cast<size_t>(runs), runs_offset, run_bytes)) return err;
  uint64_t represented = runs;
  for (uint64_t i = 0; i < runs; ++i) represented += run_bytes[i];
  const ReadError invalid =
      read_error(FormatErrorKind::InvalidRunLengthEncodedObject, header.offset);
  if (represented != header.count) return invalid;
  const uint64_t values_offset = cursor.offset();
  uint64_t values = 0;
  if (auto err = cursor.read_count(values)) return err;
  if (values != runs) return invalid;
  if (mode == ValueMode::Skip) {
    return read_packed_values(cursor, header.type, values, values_offset, mode, nullptr);
  }
  ValueColumn run_values(header.type);
  if (auto err = read_packed_values(cursor, header.type, values, values_offset, mode, &run_values)) {
    return err;
  }
  if (mode == ValueMode::Store) {
    if (!is_variable_width(header.type)) {
      for (uint64_t i = 0; i < runs; ++i) out->append_repeated(run_values, i, uint64_t{run_bytes[i]} + 1);
    } else if (out->views()) {
      expand_view_runs(run_values, run_bytes, header.count, *out);
    } else if (out->offset_width() == sizeof(int32_t)) {
      expand_element_runs<int32_t>(run_values, run_bytes, header.count, *out);
    } else {
      expand_element_runs<int64_t>(run_values, run_bytes, header.count, *out);
    }
  }
  return std::nullopt;
}

ReadStatus read_bits(Cursor& cursor, uint64_t bits, uint64_t count_offset, ValueMode mode, ValueColumn* out) {
  const uint8_t* packed = nullptr;
  if (auto err = cursor.take(static_cast<size_t>((bits + 7) / 8), count_offset, packed)) return err;
  if (mode == ValueMode::Store) expand_bits(packed, bits, out->fixed());
  return std::nullopt;
}

}  // namespace

ReadStatus to_type_id(uint8_t byte, uint64_t offset, TypeId& type) noexcept {
  if (!is_type_id(byte)) return read_error(FormatErrorKind::UnknownTypeId, offset);
  type = static_cast<TypeId>(byte);
  return std::nullopt;
}

ReadStatus read_array_header(Cursor& cursor, const ArrayExpectation& expect,
                             ArrayHeader& header) {
  header.offset = cursor.offset();
  uint8_t encoding = 0;
  if (auto err = cursor.read_byte(encoding)) return err;
  if (!is_encoding_id(encoding)) return read_error(FormatErrorKind::InvalidEncoding, header.offset);
  header.encoding = static_cast<EncodingId>(encoding);
  const uint64_t type_offset = cursor.offset();
  uint8_t type_byte = 0;
  if (auto err = cursor.read_byte(type_byte)) return err;
  if (header.encoding == EncodingId::BitArray) {
    if (type_byte != static_cast<uint8_t>(TypeId::Bool)) {
      return read_error(FormatErrorKind::InvalidValueType, type_offset);
    }
    header.type = TypeId::Bool;
  } else if (auto err = to_type_id(type_byte, type_offset, header.type)) {
    return err;
  }
  if (expect.type && *expect.type != header.type) {
    return read_error(FormatErrorKind::InvalidValueType, type_offset);
  }
  if (auto err = cursor.read_count(header.count)) return err;
  if (expect.count && *expect.count != header.count) {
    return read_error(FormatErrorKind::InvalidSize, header.offset);
  }
  return std::nullopt;
}

ReadStatus read_array_values(Cursor& cursor, const ArrayHeader& header, ValueMode mode,
                             ValueColumn* out) {
  switch (header.encoding) {
    case EncodingId::Plain:
      return read_packed_values(cursor, header.type, header.count, header.count_offset(), mode, out);
    case EncodingId::RunLength: return read_run_length(cursor, header, mode, out);
    case EncodingId::BitArray: break;
  }
  return read_bits(cursor, header.count, header.count_offset(), mode, out);
}

}  // namespace qarn
