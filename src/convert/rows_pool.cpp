#include "convert/rows_pool.hpp"

#include <new>

namespace convert::parallel {

std::shared_ptr<fields::ConvertedRows> RowsPool::take() {
  std::unique_ptr<fields::ConvertedRows> rows;
  {
    std::lock_guard lock(mutex_);
    if (!free_.empty()) {
      rows = std::move(free_.back());
      free_.pop_back();
    }
  }
  if (rows) {
    rows->clear();
  } else {
    rows = std::make_unique<fields::ConvertedRows>(types_, spelling_);
  }
  return {rows.release(), [this](fields::ConvertedRows* returned) { give_back(returned); }};
}

void RowsPool::give_back(fields::ConvertedRows* returned) noexcept {
  std::unique_ptr<fields::ConvertedRows> rows(returned);
  std::lock_guard lock(mutex_);
  try {
    free_.push_back(std::move(rows));
  } catch (const std::bad_alloc&) {
    // Not kept for reuse then; the rows are freed.
  }
}

}  // namespace convert::parallel
