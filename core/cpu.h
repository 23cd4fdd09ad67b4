// What the CPU this process runs on (and its OS) can execute, asked once per
// call site and answered by the compiler's CPU builtins. The wide kernels of
// the distance and float-text units run only after this says yes.
#pragma once

namespace varnel::cpu {

enum class Feature {
  kAvx2,      // AVX2 with its 256-bit registers saved by the OS
  kAvx512f,   // AVX-512 Foundation with its 512-bit registers saved by the OS
  kAvx512bw,  // AVX-512 byte and word instructions
};

// False on every feature off x86.
bool has(Feature feature);

}  // namespace varnel::cpu
