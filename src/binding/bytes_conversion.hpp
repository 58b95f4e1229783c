// One conversion whose output becomes the `bytes` object returned to Python,
// for both modules: the file, or ValueError with the failure's message (its
// stage prefix included), MemoryError, or a panic.
#pragma once

#include <optional>

#include "binding/bytes_output.hpp"
#include "binding/failures.hpp"
#include "common/byte_buffer.hpp"
#include "convert/driver.hpp"

namespace binding {

// A failure of the conversion, as ValueError; returns null.
PyObject* raise_conversion_failure(const convert::ConversionFailure& failure);

enum class Lock : bool { Held, Released };

// Runs `convert(out)`, which returns ConversionStatus, into
// a ByteBuffer that grows the result object in place. With Lock::Released
// it runs without the interpreter lock, taken back for each growth.
// `panic_policy()` is asked only when a panic is to be raised.
template <class Convert, class Policy>
PyObject* convert_to_bytes(Lock lock, Convert&& convert, Policy&& panic_policy) {
  BytesOutput storage;
  convert::ConversionStatus failure;
  Thrown thrown;
  bool returned;
  size_t size = 0;
  {
    common::ByteBuffer out(storage);
    const auto run = [&] {
      failure = convert(out);
      size = out.size();
      if (!failure) out.detach();  // the result object keeps the block
    };
    if (lock == Lock::Held) {
      returned = thrown.run(run);
    } else {
      WithoutInterpreterLock unlocked;
      storage.grow_unlocked_in(&unlocked);
      returned = thrown.run(run);
      storage.grow_unlocked_in(nullptr);
    }
  }
  if (!returned) return thrown.raise(panic_policy());
  if (failure) return raise_conversion_failure(*failure);
  return storage.finish(size);
}

}  // namespace binding
