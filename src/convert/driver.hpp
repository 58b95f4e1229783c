// One whole conversion: CSV bytes in, the bytes of a complete QARN file out.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/byte_buffer.hpp"
#include "common/result.hpp"
#include "csv_input/csv_reader.hpp"
#include "fields/chunk_builder.hpp"
#include "fields/column_type.hpp"
#include "fields/number_spelling.hpp"

namespace convert {

inline constexpr char kHeaderErrorPrefix[] = "CSV header error: ";
inline constexpr char kParseErrorPrefix[] = "CSV parse error: ";
inline constexpr char kWriteErrorPrefix[] = "QARN write error: ";
inline constexpr char kChunkSizeZeroMessage[] = "chunk_size must be at least 1";

// Which side a failure came from: the conversion itself, the input or
// output of a streamed one (whose source or sink keeps the cause), or the
// caller, who asked it to stop (and keeps why).
enum class FailureSide : uint8_t { Conversion, Input, Output, Stopped };

// Why a conversion failed: the message already carries its stage prefix.
struct ConversionFailure {
  std::string message;
  FailureSide side = FailureSide::Conversion;
};

class ByteSink;
class MappedInput;

// Asked between table slices, on the thread that started the conversion,
// whether to stop: a caller that was interrupted meanwhile says yes.
class StopCheck {
 public:
  virtual ~StopCheck() = default;
  virtual bool stop_requested() = 0;
};

// Success, or the first failure in input order.
using ConversionStatus = common::Status<ConversionFailure>;

// How to read the table: by default as the comma dialect with a header row,
// as `_qarn` reads it.
struct ConvertOptions {
  csv::TableLayout layout;
  // Names that replace the header row's (which is then not checked), or
  // stand for a header the input lacks; their number is the column count.
  std::optional<std::vector<std::string>> column_names;
  // The types of every column, or of those named or numbered (from 0, or
  // from -1 at the last), over the inferred ones.
  // A chosen timestamp column is in UTC when a sampled value has an offset.
  std::optional<fields::ColumnType> every_column_type;
  struct ColumnType {
    std::optional<std::string> name;  // else `position`
    int64_t position = 0;
    fields::ColumnType type;
  };
  std::vector<ColumnType> column_types;
  // Types inferred from every record, in a pass of their own, instead of
  // from the sample.
  bool infer_from_every_record = false;
  // Inference may choose dates and timestamps.
  bool parse_dates = false;
  // How numbers are written: the decimal mark and a thousands separator.
  fields::NumberSpelling spelling;
  // The input is this file's mapping: its pages are dropped as the
  // conversion reads past them.
  MappedInput* mapped = nullptr;
  // Asked between slices whether to stop.
  StopCheck* stop = nullptr;
};

inline constexpr char kStoppedMessage[] = "the conversion was stopped";

// A failure when the caller asks the conversion to stop.
inline ConversionStatus stop_if_asked(StopCheck* stop) {
  if (stop != nullptr && stop->stop_requested()) return ConversionFailure{kStoppedMessage, FailureSide::Stopped};
  return std::nullopt;
}

// What a conversion made of the table, for the caller to report or to look
// for what was lost.
struct ConversionReport {
  std::vector<std::string> names;
  std::vector<fields::ColumnType> types;
  fields::LostCells lost;
  uint64_t rows = 0;           // rows written
  uint64_t invalid_cells = 0;  // cells flagged invalid: the missing ones and the misfits
  // Of a parallel conversion: how long the calling thread spent on what
  // only it can do, in input order (the start of the file, cutting rows
  // into runs, handing out their places, reading a record cut by a segment's
  // end again), rather than on shared work or waiting for it. What cannot
  // run on more cores.
  double ordered_seconds = 0;
};

// Converts `csv` into `out`, which must be empty. On failure `out` holds a
// partial file that the caller must discard. Throws std::bad_alloc when
// memory runs out.
// `report`, when given, hears the table's columns and what was lost.
// With a `sink`, `out` is handed to it and emptied as it fills, and the
// whole file has gone to the sink when the call succeeds.
ConversionStatus convert_csv_to_qarn(std::span<const uint8_t> csv,
                                     uint64_t chunk_size, uint64_t sample_rows,
                                     common::ByteBuffer& out, const ConvertOptions& options = {},
                                     ConversionReport* report = nullptr, ByteSink* sink = nullptr);

}  // namespace convert
