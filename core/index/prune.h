// Pruning for the exact search: small integer codes of the stored rows that
// give, for each row, a guaranteed lower bound of its distance from a query.
// A row whose bound shows that it cannot enter the current k nearest is
// skipped without reading its floats; every other row goes to the fixed-order
// kernels as before, so the results are bit for bit those of a full scan.
// This module keeps the codes and makes the decision; brute_force.cc decides
// which blocks to visit. It does not handle Hamming, nor dimensions outside
// [kPruneMinDim, kPruneMaxDim]: those indexes keep no codes and scan fully.
//
// Codes. Each component is mapped onto a grid of integers -127 .. 127:
// w = (v - a[i]) / b, code = round(clamp(w, -127, 127)). Euclidean and
// DotProduct take a[i] (per component, a float) and b (one for all
// components, the inverse of a float) from the stored rows (trimmed ranges
// of a sample); Cosine codes the unit vector v / |v| with a = 0, b = 1/127.
// A query is mapped the same way to t-hat, in double.
// Clamping never breaks a bound, it only loosens it: clamping is a
// projection, so |clamp(t) - clamp(w)| <= |t - w|. One byte per component:
// a quarter of the floats. Components go in pairs (an odd last component is
// padded with code 0, matched by t-hat 0, which adds nothing), the pairs in
// steps (kBoundStep pairs, then each step twice the one before, so a block
// that needs every step costs few calls), and each step has an array of
// its own: step s
// of block b holds pair p (of the step) of row r at bytes p * 32 + 2r and
// p * 32 + 2r + 1. So the first step of every block, which is all that
// most blocks need, is one sequential stream.
//
// The bound, in real arithmetic. Rows are coded in float: (v - a) * (1/b),
// or v * fl(127 / |v|) with |v| from a double sum, then clamped and rounded
// half up as trunc(w + 127.5) - 127. Each of those roundings is relative
// (2^-24 of a value at most 255 in size; a result that underflows is exact
// or negligible, one that overflows is clamped like the true value), so a
// code is within 0.5 + 4e-5 of clamp(w); t-hat, in double, is within
// 0.5 + 1e-12 of clamp(t). With s = 2^-13 > 4e-5 + 1e-12, and
//   n_i = max(0, |t-hat_i - code_i| - 1),  N = sum of n_i^2  (exact integer)
// every component has |t_i - w_i| >= n_i - 2s >= n_i (1 - 2s) (n_i is 0 or
// at least 1) and therefore
//   |q - v|^2 = b^2 |t - w|^2 >= K N,  K = b^2 (1 - 2s)^2.            (1)
// (For Cosine, q and v are the unit vectors, and 1 - cos = |q - v|^2 / 2.)
//
// From the real distance to the kernel's float. With u = 2^-24 and d the
// dimension, every term of the fixed-order sum goes through at most d + 18
// roundings (difference or product, then at most d + 16 additions in the
// blocked order); a product that underflows loses at most 2^-150.
// - Euclidean: the terms are never negative, so the float sum S~ satisfies
//   S~ >= (1 - (d + 18) u) S - d 2^-149, and an overflow only makes S~
//   infinite (terms are >= 0, no inf - inf). The kernel's result is
//   fl(sqrt(S~)); if S~ > worst^2 (1 + 4u) then sqrt(S~) exceeds worst by
//   more than half an ulp of worst and the rounded root is strictly greater.
//   Pruned iff  N > (worst^2 (1 + 4u) + d 2^-149) / (K (1 - (d + 18) u)).
// - DotProduct: -p = (|q - v|^2 - |q|^2 - |v|^2) / 2 >= (K N - Q - V) / 2,
//   Q and V upper bounds of |q|^2 and |v|^2 (double, rounded up). The float
//   sum p~ differs from p by at most g |q||v| + d 2^-149, g = 1.01 (d + 18) u,
//   provided nothing overflows: rows and queries with a squared norm above
//   2^100 are never pruned, so |p| and every partial sum stay below 2^101.
//   Pruned iff  N > (2 worst + Q + V + 2 g sqrt(Q V) + d 2^-148) / K, V
//   taken as the largest of the block's rows (a larger V only loosens it).
// - Cosine: with squared norms in [2^-100, 2^100] (others never pruned,
//   and the denominator is never zero), the kernel's p~, sqrt(nq~),
//   sqrt(nv~), their product and quotient each carry relative errors of at
//   most g + d 2^-49, and |cos| <= 1, so the float distance is within
//   E = 2 (2h + u) + 3u of 1 - cos, h = 1.01 (g + d 2^-49 + 3u).
//   Pruned iff  N > 2 (worst + E) / K.
// Every threshold above is computed in double and then raised by a relative
// 1e-9 and rounded up to an integer, which covers the double rounding; a row
// is pruned only when N is strictly greater than it.
//
// Ties, NaN, infinities. "worst" is the exact kernel distance of the k-th
// hit of a full selection; a pruned row has a float distance strictly
// greater, so it ranks after the k-th whatever its id, and a tie at the k-th
// distance is always looked at. A NaN or infinite worst prunes nothing. A
// row with any non-finite component (or, for Cosine and DotProduct, a norm
// outside the ranges above) is marked exact-only and is never pruned; a
// query with a non-finite component, or one outside those ranges, is not
// pruned at all. Codes exist only while the grid is set; until then (and in
// dimensions outside the range) the search is a full scan.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "distance.h"

namespace varnel::index {

inline constexpr size_t kPruneMinDim = 16;
inline constexpr size_t kPruneMaxDim = 32768;  // N then fits in int32
// Euclidean and DotProduct choose their grid once the index holds this many
// rows, and again each time it has grown fourfold, until it held kGridMaxRows.
inline constexpr size_t kGridMinRows = 1024;
inline constexpr size_t kGridMaxRows = size_t{1} << 18;
// A row's bound is "never prunable": an exact-only row (see above).
inline constexpr int32_t kAlwaysVisit = -1;

// A query mapped onto the grid, and what the thresholds need of it.
struct PruneQuery {
  std::vector<int32_t> pairs;  // t-hat of components 2p and 2p+1 as two int16 in one int32
  double q2 = 0;               // DotProduct: an upper bound of |q|^2
};

// Adds the squares of one step of one block (`npairs` pairs of sixteen rows
// at `codes`, t-hat of each pair in `pairs`) to acc[0 .. 16); true when
// every acc[r] then exceeds `limit`.
inline constexpr size_t kBoundStep = 8;
using BoundKernel = bool (*)(const int8_t* codes, const int32_t* pairs, size_t npairs,
                             int32_t limit, int32_t* acc);
// The kernels: portable (always), and the x86 ones (nullptr when the build
// has none; the CPU must be asked before one is run).
BoundKernel portable_bound_kernel();
BoundKernel avx2_bound_kernel();
BoundKernel avx512_bound_kernel();

class PruneCodes {
 public:
  PruneCodes(DistanceMetric metric, size_t dim);

  // Whether this metric and dimension keep codes at all.
  bool enabled() const { return enabled_; }
  // Whether every row [0, len) has its code (the grid is set).
  bool ready() const { return ready_; }

  // Row `row` (the last one, or an existing one being overwritten) now holds
  // the vector whose component i is at v[i * stride]. Grows storage as
  // needed. Does nothing until ready().
  void set_row(size_t row, const float* v, size_t stride);
  // The last row `last` moves into `row` (row < last) and leaves: its code
  // goes with it; the storage of a block left empty is given back.
  void move_last(size_t last, size_t row);
  // The last row `last` leaves.
  void drop_last(size_t last);
  // Room for `rows` rows.
  void reserve(size_t rows);

  // Whether the grid should be (re)chosen now that the index holds `len` rows.
  bool grid_due(size_t len) const;
  // Block `b` (kBlockRows rows, transposed: component i of row r at
  // block[i * kBlockRows + r]) now holds these rows, the first `rows` of
  // them in use. Does nothing until ready().
  void set_block(size_t b, const float* block, size_t rows);
  // Chooses the grid from rows [0, len) and codes them all; `block(b)`
  // gives block b, laid out as for set_block.
  void rebuild(size_t len, const std::function<const float*(size_t)>& block);

  // Maps `query` onto the grid; false when it may not be pruned against.
  bool prepare(const float* query, PruneQuery& out) const;
  // The largest N that block `b` keeps when the k-th distance is `worst`:
  // rows with a larger N are pruned. In [-1, INT32_MAX - 1]; -1 prunes every
  // row that is not exact-only, INT32_MAX - 1 none that has codes.
  int32_t limit(const PruneQuery& q, float worst, size_t b) const;
  // Whether limit() depends on the block (DotProduct), not on worst alone.
  bool limit_per_block() const { return metric_ == DistanceMetric::DotProduct; }
  // N of the 16 rows of block `b` (rows past the last: anything) in out,
  // or false as soon as the partial sums of every row exceed `limit` (sums
  // of squares only grow), with `out` unspecified.
  bool bounds(const PruneQuery& q, size_t b, int32_t limit, int32_t* out) const;
  // The bounds of many blocks at once, step by step, so that each step's
  // codes are read as one forward stream: live[0 .. count) are blocks
  // (offsets from b0) to bound, limits[o] the limit of block b0 + o. A block
  // whose partial sums all exceed its limit is dropped on the way. Gives the
  // number of blocks left, listed in live[0 ..) in their order, with N of
  // block b0 + o at acc[o * 16 ..] (acc holds 16 per offset).
  size_t bound_run(const PruneQuery& q, size_t b0, const int32_t* limits, int32_t* acc,
                   uint32_t* live, size_t count) const;
  // Bit r set when row r of block `b` is exact-only.
  uint16_t exact_only(size_t b) const { return exact_[b]; }

 private:
  // What coding a row needs from its components: whether all are finite
  // and, in double, the sum of their squares.
  struct Lane {
    bool exact_only = false;
    float mul = 0.0f;    // the grid's factor for this row
    float sq_up = 0.0f;  // DotProduct: an upper bound of |v|^2
  };
  Lane lane_facts(bool finite, double sq) const;
  void grow_to(size_t blocks);
  // Pairs in step s, and the byte of component i of `row`.
  size_t step_pairs(size_t s) const { return step_begin_[s + 1] - step_begin_[s]; }
  int8_t& code_at(size_t row, size_t i);

  DistanceMetric metric_;
  size_t dim_;
  bool enabled_ = false;
  bool ready_ = false;
  size_t npairs_ = 0;          // (dim + 1) / 2
  size_t grid_rows_ = 0;       // rows the grid was chosen from; 0 before
  std::vector<float> center_;  // a[i]; Cosine: zeros
  float inv_scale_ = 1.0f;     // 1 / b, exactly: b is defined as its inverse
  BoundKernel kernel_;
  std::vector<size_t> step_begin_;  // first pair of each step, then npairs_
  // Step s: 32 * step_pairs(s) bytes per block, one block per started block of rows.
  std::vector<std::vector<int8_t>> steps_;
  std::vector<uint16_t> exact_;  // per block: exact-only rows
  std::vector<float> sq_norms_;  // DotProduct: an upper bound of |v|^2 per row; else empty
};

}  // namespace varnel::index
