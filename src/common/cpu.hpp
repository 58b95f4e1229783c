// What the processor offers beyond the baseline the build assumes, asked
// once. Fast paths that use more pick their route by these at run time.
#pragma once

namespace common {

bool cpu_has_avx2() noexcept;
bool cpu_has_avx512bw() noexcept;  // and an OS that keeps its registers
// AVX-512 with byte compress and expand on 256-bit vectors, and BMI2.
bool cpu_has_avx512_compress() noexcept;

}  // namespace common
