#include "common/cpu.hpp"

namespace common {

bool cpu_has_avx2() noexcept {
  static const bool has = __builtin_cpu_supports("avx2") != 0;
  return has;
}

bool cpu_has_avx512bw() noexcept {
  static const bool has = __builtin_cpu_supports("avx512bw") != 0;
  return has;
}

bool cpu_has_avx512_compress() noexcept {
  static const bool has = __builtin_cpu_supports("avx512bw") != 0 && __builtin_cpu_supports("avx512vl") != 0 &&
                          __builtin_cpu_supports("avx512vbmi2") != 0 && __builtin_cpu_supports("bmi2") != 0 &&
                          __builtin_cpu_supports("popcnt") != 0;
  return has;
}

}  // namespace common
