#include "cpu.h"

namespace varnel::cpu {

bool has(Feature feature) {
#if defined(__x86_64__) || defined(__i386__)
  // The builtins also check that the OS saves the wide registers.
  __builtin_cpu_init();
  switch (feature) {
    case Feature::kAvx2:
      return __builtin_cpu_supports("avx2");
    case Feature::kAvx512f:
      return __builtin_cpu_supports("avx512f");
    case Feature::kAvx512bw:
      return __builtin_cpu_supports("avx512bw");
  }
  return false;
#else
  (void)feature;
  return false;
#endif
}

}  // namespace varnel::cpu
