// Converted rows for the parallel driver's segment readers, handed out and
// given back, buffers and all: fresh ones would cost page faults every time.
#pragma once

#include <memory>
#include <mutex>
#include <span>
#include <vector>

#include "fields/chunk_builder.hpp"
#include "qarn/value.hpp"

namespace convert::parallel {

// Rows come back when the last run that refers to them has been encoded.
class RowsPool {
 public:
  RowsPool(std::span<const fields::ColumnType> types, const fields::NumberSpelling& spelling)
      : types_(types), spelling_(spelling) {}
  RowsPool(const RowsPool&) = delete;
  RowsPool& operator=(const RowsPool&) = delete;

  std::shared_ptr<fields::ConvertedRows> take();

 private:
  void give_back(fields::ConvertedRows* returned) noexcept;

  std::span<const fields::ColumnType> types_;
  fields::NumberSpelling spelling_;
  std::mutex mutex_;
  std::vector<std::unique_ptr<fields::ConvertedRows>> free_;
};

}  // namespace convert::parallel
