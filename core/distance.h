// Distance metrics over 32-bit float vectors. Every metric gives one float
// where smaller means nearer. Sums run in a fixed blocked order (blocks of 16,
// each summed on its own and then added to the total; the tail added one term
// at a time), with no fused multiply-add: the order is part of the result.
//
// Besides the one-pair functions, this module holds the search kernels: they
// compare queries with many stored rows at once, one stored row per SIMD lane,
// each lane adding its terms in exactly the blocked order above, so every
// kernel result is bit for bit what distance() gives for the same pair.
// Nothing here allocates, fails or keeps state beyond the CPU check.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace varnel {

enum class DistanceMetric : uint8_t {
  Euclidean = 0,
  Cosine = 1,
  DotProduct = 2,
  Hamming = 3,
};

inline constexpr size_t kSumBlock = 16;

// The names of the metrics, in one table: the stored name (meta.json) and
// the name Python callers use. Hamming has no Python name (empty).
//   Euclidean  "Euclidean"   "euclidean"
//   Cosine     "Cosine"      "cosine"
//   DotProduct "DotProduct"  "dot"
//   Hamming    "Hamming"     ""
std::string_view metric_name(DistanceMetric metric);
std::string_view metric_python_name(DistanceMetric metric);
// The metric of a stored name; nothing for any other text.
std::optional<DistanceMetric> metric_from_name(std::string_view name);
// The metric of a Python name; nothing for any other text (Hamming included).
std::optional<DistanceMetric> metric_from_python_name(std::string_view name);

// Blocked sum of a[i] * b[i].
float dot_product(const float* a, const float* b, size_t dim);
// Blocked sum of (a[i] - b[i])^2, each difference rounded before squaring.
float squared_l2(const float* a, const float* b, size_t dim);

// Distance of `stored` from `query` under `metric`; both hold `dim` floats.
// Pure, allocates nothing, never fails. This is the reference every kernel
// below must match bit for bit.
float distance(DistanceMetric metric, const float* query, const float* stored, size_t dim);

// The cosine distance given the three blocked sums: 1 - p / (sqrt(nq) *
// sqrt(nv)), or exactly 1 when that denominator is zero.
float cosine_from_parts(float p, float nq, float nv);

// sqrt(dot_product(v, v)): the factor a cosine denominator takes from one
// vector. Depends on that vector alone, so it can be computed once and kept.
float vector_norm(const float* v, size_t dim);

// ---------------------------------------------------------------------------
// Row blocks. Stored rows are kept in blocks of kBlockRows rows, transposed:
// in a block, component i of its rows is kBlockRows consecutive floats, so
// row r of the block has component i at block[i * kBlockRows + r]. A block of
// dimension d is kBlockRows * d floats. Blocks are meant to sit 64-byte
// aligned (one cache line per component), though the kernels do not rely on it.
inline constexpr size_t kBlockRows = 16;

// The most queries and blocks one kernel call takes.
inline constexpr size_t kTileQueries = 8;
inline constexpr size_t kTileBlocks = 4;

// One kernel call: `nq` queries against `nblocks` consecutive row blocks.
struct BlockTile {
  const float* queries = nullptr;      // nq * dim floats, query j at j * dim
  size_t nq = 0;                       // 1 to kTileQueries
  const float* query_norms = nullptr;  // Cosine only: vector_norm of each query
  const float* blocks = nullptr;       // nblocks blocks back to back
  const float* row_norms = nullptr;    // Cosine only: vector_norm of each row, in row order
  size_t nblocks = 0;                  // 1 to kTileBlocks
  size_t dim = 0;
};

// Writes the distance of query j from row r (counted from the first block)
// to out[j * nblocks * kBlockRows + r]: nq * nblocks * kBlockRows floats.
// Every row of every block is computed, unused ones included, so rows past
// the last stored one must hold finite values (zeros) to keep the work cheap.
// Each value equals distance(metric, query j, row r, dim) bit for bit; when
// that is a NaN, the kernel's is a NaN too, with unspecified sign and payload.
using BlockKernel = void (*)(const BlockTile& tile, float* out);

// The instruction sets a kernel may use. Each path gives the same bits.
enum class KernelPath : uint8_t {
  Portable = 0,  // plain C++, any CPU
  Avx2 = 1,      // x86-64 AVX2 (no FMA)
  Avx512 = 2,    // x86-64 AVX-512F
};

// "portable", "avx2", "avx512".
std::string_view kernel_path_name(KernelPath path);
// Whether this build and this CPU can run `path`.
bool kernel_path_supported(KernelPath path);
// The widest supported path; the CPU is asked once per process.
KernelPath best_kernel_path();
// The kernel for `metric` on `path`; `path` must be supported.
BlockKernel block_kernel(KernelPath path, DistanceMetric metric);

// Distance of `query` from row `lane` of the block at `block`, reading the
// row in place (stride kBlockRows). `query_norm` and `row_norm` are used by
// Cosine only. Bit for bit what distance() gives for the same pair: the path
// for single rows, e.g. when a filter lets only part of a block through.
float block_row_distance(DistanceMetric metric, const float* query, float query_norm,
                         const float* block, size_t lane, float row_norm, size_t dim);

}  // namespace varnel
