#include "index/prune.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "cpu.h"

namespace varnel::index {
namespace {

constexpr double kU = 0x1p-24;             // unit roundoff of float
constexpr double kSlack = 1.0 + 1e-9;      // covers the double rounding of a threshold
constexpr double kNormLow = 0x1p-100;      // Cosine and DotProduct: squared norms
constexpr double kNormHigh = 0x1p100;      // outside [low, high] are never pruned
constexpr float kCodeMax = 127.0f;

// The portable bound kernel: n = max(0, |t - c| - 1), N = sum of n^2.
bool portable_bounds(const int8_t* codes, const int32_t* pairs, size_t npairs, int32_t limit,
                     int32_t* acc) {
  for (size_t p = 0; p < npairs; ++p) {
    const int32_t t0 = static_cast<int16_t>(pairs[p] & 0xFFFF);
    const int32_t t1 = static_cast<int16_t>(static_cast<uint32_t>(pairs[p]) >> 16);
    const int8_t* c = codes + p * 2 * kBlockRows;
    for (size_t r = 0; r < kBlockRows; ++r) {
      const int32_t n0 = std::max(0, std::abs(t0 - c[2 * r]) - 1);
      const int32_t n1 = std::max(0, std::abs(t1 - c[2 * r + 1]) - 1);
      acc[r] += n0 * n0 + n1 * n1;
    }
  }
  return *std::min_element(acc, acc + kBlockRows) > limit;
}

}  // namespace

BoundKernel portable_bound_kernel() { return portable_bounds; }

namespace {

BoundKernel best_bound_kernel() {
  BoundKernel avx512 = avx512_bound_kernel();
  if (avx512 != nullptr && cpu::has(cpu::Feature::kAvx512bw)) return avx512;
  BoundKernel avx2 = avx2_bound_kernel();
  if (avx2 != nullptr && cpu::has(cpu::Feature::kAvx2)) return avx2;
  return portable_bounds;
}

bool finite_row(const float* v, size_t stride, size_t dim) {
  for (size_t i = 0; i < dim; ++i) {
    if (!std::isfinite(v[i * stride])) return false;
  }
  return true;
}

double sum_squares(const float* v, size_t stride, size_t dim) {
  double s = 0;
  for (size_t i = 0; i < dim; ++i) s += static_cast<double>(v[i * stride]) * v[i * stride];
  return s;
}

// An upper bound of the real sum of squares from its double value.
double round_up(double s, size_t dim) { return s * (1.0 + (dim + 4) * 0x1p-52); }

// The per-component slack s of the header, and the grid constant K.
constexpr double kGridSlack = 0x1p-13;

// The code of x on the grid (x - a) * mul, rounded half up, clamped to
// [-127, 127]; NaN gives -127 (its row is exact-only anyway).
inline int8_t grid_code(float x, float a, float mul) {
  float w = (x - a) * mul;
  w = w > -kCodeMax ? w : -kCodeMax;
  w = w < kCodeMax ? w : kCodeMax;
  return static_cast<int8_t>(static_cast<int>(w + (kCodeMax + 0.5f)) - kCodeMax);
}

inline bool finite_bits(float x) {
  uint32_t bits;
  std::memcpy(&bits, &x, 4);
  return (bits & 0x7F800000u) != 0x7F800000u;
}

// An upper bound of a squared norm (double `s`) as a float.
float float_up(double s, size_t dim) {
  const double up = round_up(s, dim);
  float f = static_cast<float>(up);
  if (static_cast<double>(f) < up) f = std::nextafter(f, std::numeric_limits<float>::infinity());
  return f;
}

// The integer limit from a real threshold: N > limit implies N > thr.
int32_t to_limit(double thr) {
  if (std::isnan(thr)) return std::numeric_limits<int32_t>::max() - 1;
  if (thr < 0) return kAlwaysVisit;
  const double up = std::floor(thr * kSlack) + 1;
  if (!(up < std::numeric_limits<int32_t>::max() - 1)) return std::numeric_limits<int32_t>::max() - 1;
  return static_cast<int32_t>(up);
}

}  // namespace

PruneCodes::PruneCodes(DistanceMetric metric, size_t dim)
    : metric_(metric), dim_(dim), kernel_(best_bound_kernel()) {
  enabled_ = metric != DistanceMetric::Hamming && dim >= kPruneMinDim && dim <= kPruneMaxDim;
  npairs_ = (dim + 1) / 2;
  if (enabled_) {
    // Steps of kBoundStep pairs, then each twice the one before.
    for (size_t p = 0, n = kBoundStep; p < npairs_; p += n, n *= 2) step_begin_.push_back(p);
    step_begin_.push_back(npairs_);
    steps_.resize(step_begin_.size() - 1);
  }
  if (enabled_ && metric == DistanceMetric::Cosine) {
    // The unit vectors have a fixed grid: ready from the first row.
    center_.assign(dim, 0.0f);
    inv_scale_ = kCodeMax;
    ready_ = true;
  }
}

int8_t& PruneCodes::code_at(size_t row, size_t i) {
  const size_t p = i / 2;
  const size_t s = std::upper_bound(step_begin_.begin(), step_begin_.end(), p) - step_begin_.begin() - 1;
  return steps_[s][row / kBlockRows * 32 * step_pairs(s) + (p - step_begin_[s]) * 32 +
                   row % kBlockRows * 2 + i % 2];
}

bool PruneCodes::bounds(const PruneQuery& q, size_t b, int32_t limit, int32_t* out) const {
  alignas(64) int32_t acc[kBlockRows] = {};
  for (size_t s = 0; s < steps_.size(); ++s) {
    const size_t pairs = step_pairs(s);
    if (kernel_(steps_[s].data() + b * 32 * pairs, q.pairs.data() + step_begin_[s], pairs, limit,
                acc)) {
      return false;
    }
  }
  std::memcpy(out, acc, sizeof(acc));
  return true;
}

size_t PruneCodes::bound_run(const PruneQuery& q, size_t b0, const int32_t* limits, int32_t* acc,
                             uint32_t* live, size_t count) const {
  for (size_t i = 0; i < count; ++i) std::memset(acc + live[i] * kBlockRows, 0, 64);
  for (size_t s = 0; s < steps_.size() && count > 0; ++s) {
    const size_t pairs = step_pairs(s);
    const int8_t* codes = steps_[s].data() + b0 * 32 * pairs;
    const int32_t* t = q.pairs.data() + step_begin_[s];
    size_t kept = 0;
    for (size_t i = 0; i < count; ++i) {
      const uint32_t o = live[i];
      if (!kernel_(codes + o * 32 * pairs, t, pairs, limits[o], acc + o * kBlockRows)) {
        live[kept++] = o;
      }
    }
    count = kept;
  }
  return count;
}

void PruneCodes::grow_to(size_t blocks) {
  if (exact_.size() >= blocks) return;
  for (size_t s = 0; s < steps_.size(); ++s) steps_[s].resize(blocks * 32 * step_pairs(s), 0);
  exact_.resize(blocks, 0);
  if (metric_ == DistanceMetric::DotProduct) sq_norms_.resize(blocks * kBlockRows, 0.0f);
}

void PruneCodes::reserve(size_t rows) {
  if (!enabled_) return;
  const size_t blocks = (rows + kBlockRows - 1) / kBlockRows;
  for (size_t s = 0; s < steps_.size(); ++s) steps_[s].reserve(blocks * 32 * step_pairs(s));
  exact_.reserve(blocks);
  if (metric_ == DistanceMetric::DotProduct) sq_norms_.reserve(blocks * kBlockRows);
}

PruneCodes::Lane PruneCodes::lane_facts(bool finite, double sq) const {
  Lane out;
  out.exact_only = !finite;
  if (finite && metric_ != DistanceMetric::Euclidean && !(sq >= kNormLow && sq <= kNormHigh)) {
    out.exact_only = true;
  }
  if (out.exact_only) return out;
  out.mul = metric_ == DistanceMetric::Cosine ? static_cast<float>(kCodeMax / std::sqrt(sq))
                                              : inv_scale_;
  if (metric_ == DistanceMetric::DotProduct) out.sq_up = float_up(sq, dim_);
  return out;
}

void PruneCodes::set_row(size_t row, const float* v, size_t stride) {
  if (!ready_) return;
  const size_t b = row / kBlockRows;
  const size_t r = row % kBlockRows;
  grow_to(b + 1);
  bool finite = true;
  double sq = 0;
  for (size_t i = 0; i < dim_; ++i) {
    const float x = v[i * stride];
    finite = finite && finite_bits(x);
    sq += static_cast<double>(x) * x;
  }
  const Lane lane = lane_facts(finite, sq);
  for (size_t i = 0; i < 2 * npairs_; ++i) {
    code_at(row, i) = i < dim_ ? grid_code(v[i * stride], center_[i], lane.mul) : 0;
  }
  if (!sq_norms_.empty()) sq_norms_[row] = lane.sq_up;
  const uint16_t bit = static_cast<uint16_t>(1u << r);
  exact_[b] = lane.exact_only ? exact_[b] | bit : exact_[b] & ~bit;
}

void PruneCodes::set_block(size_t b, const float* block, size_t rows) {
  if (!ready_) return;
  grow_to(b + 1);
  bool finite[kBlockRows];
  double sq[kBlockRows] = {};
  std::fill(finite, finite + kBlockRows, true);
  for (size_t i = 0; i < dim_; ++i) {
    const float* c = block + i * kBlockRows;
    for (size_t r = 0; r < kBlockRows; ++r) {
      finite[r] = finite[r] && finite_bits(c[r]);
      sq[r] += static_cast<double>(c[r]) * c[r];
    }
  }
  float mul[kBlockRows];
  uint16_t exact = 0;
  for (size_t r = 0; r < kBlockRows; ++r) {
    Lane lane = r < rows ? lane_facts(finite[r], sq[r]) : Lane{};
    mul[r] = lane.mul;
    if (lane.exact_only) exact |= static_cast<uint16_t>(1u << r);
    if (!sq_norms_.empty()) sq_norms_[b * kBlockRows + r] = lane.sq_up;
  }
  exact_[b] = exact;
  for (size_t s = 0; s < steps_.size(); ++s) {
    int8_t* out = steps_[s].data() + b * 32 * step_pairs(s);
    for (size_t p = 0; p < step_pairs(s); ++p) {
      for (size_t e = 0; e < 2; ++e) {
        const size_t i = (step_begin_[s] + p) * 2 + e;
        int8_t* o = out + p * 32 + e;
        if (i >= dim_) {
          for (size_t r = 0; r < kBlockRows; ++r) o[2 * r] = 0;
          continue;
        }
        const float* c = block + i * kBlockRows;
        const float a = center_[i];
        for (size_t r = 0; r < kBlockRows; ++r) o[2 * r] = grid_code(c[r], a, mul[r]);
      }
    }
  }
}

void PruneCodes::move_last(size_t last, size_t row) {
  if (!ready_) return;
  const size_t bl = last / kBlockRows, rl = last % kBlockRows;
  const size_t b = row / kBlockRows, r = row % kBlockRows;
  for (size_t i = 0; i < 2 * npairs_; ++i) code_at(row, i) = code_at(last, i);
  const uint16_t bit = static_cast<uint16_t>(1u << r);
  const bool exact_only = (exact_[bl] >> rl) & 1u;
  exact_[b] = exact_only ? exact_[b] | bit : exact_[b] & ~bit;
  if (!sq_norms_.empty()) sq_norms_[row] = sq_norms_[last];
  drop_last(last);
}

void PruneCodes::drop_last(size_t last) {
  if (!ready_) return;
  const size_t b = last / kBlockRows;
  exact_[b] &= static_cast<uint16_t>(~(1u << (last % kBlockRows)));
  if (!sq_norms_.empty()) sq_norms_[last] = 0.0f;
  if (last % kBlockRows == 0) {
    for (size_t s = 0; s < steps_.size(); ++s) steps_[s].resize(b * 32 * step_pairs(s));
    exact_.resize(b);
    if (!sq_norms_.empty()) sq_norms_.resize(b * kBlockRows);
  }
}

bool PruneCodes::grid_due(size_t len) const {
  if (!enabled_ || metric_ == DistanceMetric::Cosine || len < kGridMinRows) return false;
  if (grid_rows_ == 0) return true;
  return grid_rows_ < kGridMaxRows && len >= 4 * grid_rows_;
}

void PruneCodes::rebuild(size_t len, const std::function<const float*(size_t)>& block) {
  if (!enabled_) return;
  if (metric_ != DistanceMetric::Cosine) {
    // A trimmed range per component from an even sample of rows: the
    // centre of each, and one scale for all that covers the widest.
    const size_t want = std::min<size_t>(len, 4096);
    std::vector<float> column;
    column.reserve(want);
    center_.assign(dim_, 0.0f);
    double half = 0;
    for (size_t i = 0; i < dim_; ++i) {
      column.clear();
      for (size_t s = 0; s < want; ++s) {
        const size_t row = s * len / want;
        const float x = block(row / kBlockRows)[i * kBlockRows + row % kBlockRows];
        if (std::isfinite(x)) column.push_back(x);
      }
      if (column.empty()) continue;
      const size_t cut = column.size() / 1000;
      std::nth_element(column.begin(), column.begin() + cut, column.end());
      const double lo = column[cut];
      std::nth_element(column.begin(), column.end() - 1 - cut, column.end());
      const double hi = column[column.size() - 1 - cut];
      center_[i] = static_cast<float>(lo / 2 + hi / 2);
      half = std::max(half, hi / 2 - lo / 2);
    }
    // Any positive normal float will do (the bounds hold on any grid); a
    // range of zero, or one too small or large for a float, gets the
    // nearest that is.
    const double inv = half > 0 ? kCodeMax / half : 1.0;
    inv_scale_ = static_cast<float>(std::clamp(std::isfinite(inv) ? inv : 1.0, 0x1p-125, 0x1p125));
    grid_rows_ = len;
  }
  ready_ = true;
  for (auto& step : steps_) step.clear();
  exact_.clear();
  sq_norms_.clear();
  grow_to((len + kBlockRows - 1) / kBlockRows);
  for (size_t b = 0; b * kBlockRows < len; ++b) {
    set_block(b, block(b), std::min(kBlockRows, len - b * kBlockRows));
  }
}

bool PruneCodes::prepare(const float* query, PruneQuery& out) const {
  if (!ready_ || !finite_row(query, 1, dim_)) return false;
  double norm = 1.0;
  if (metric_ != DistanceMetric::Euclidean) {
    const double s = sum_squares(query, 1, dim_);
    if (!(s >= kNormLow && s <= kNormHigh)) return false;
    norm = std::sqrt(s);
    out.q2 = round_up(s, dim_);
  }
  out.pairs.assign(npairs_, 0);
  for (size_t i = 0; i < dim_; ++i) {
    const double x = metric_ == DistanceMetric::Cosine ? query[i] / norm : query[i];
    const double w = std::clamp((x - center_[i]) * inv_scale_, -double{kCodeMax}, double{kCodeMax});
    const int32_t t = static_cast<int32_t>(std::lround(w));
    const uint32_t bits = static_cast<uint16_t>(static_cast<int16_t>(t));
    out.pairs[i / 2] = static_cast<int32_t>(static_cast<uint32_t>(out.pairs[i / 2]) |
                                            (i % 2 == 0 ? bits : bits << 16));
  }
  return true;
}

int32_t PruneCodes::limit(const PruneQuery& q, float worst, size_t b) const {
  if (!std::isfinite(worst)) return std::numeric_limits<int32_t>::max() - 1;
  const double d = static_cast<double>(dim_);
  const double s = kGridSlack;
  const double scale = 1.0 / inv_scale_;
  const double k = scale * scale * (1 - 2 * s) * (1 - 2 * s);
  const double w = worst;
  switch (metric_) {
    case DistanceMetric::Euclidean:
      return to_limit((w * w * (1 + 4 * kU) + d * 0x1p-149) / (k * (1 - (d + 18) * kU)));
    case DistanceMetric::DotProduct: {
      const float* v = sq_norms_.data() + b * kBlockRows;
      const double v2 = *std::max_element(v, v + kBlockRows);
      const double g = 1.01 * (d + 18) * kU;
      return to_limit((2 * w + q.q2 + v2 + 2 * g * std::sqrt(q.q2 * v2) + d * 0x1p-148) / k);
    }
    case DistanceMetric::Cosine: {
      const double g = 1.01 * (d + 18) * kU + d * 0x1p-49;
      const double h = 1.01 * (g + 3 * kU);
      const double e = 2 * (2 * h + kU) + 3 * kU;
      return to_limit(2 * (w + e) / k);
    }
    case DistanceMetric::Hamming:
      break;
  }
  return std::numeric_limits<int32_t>::max() - 1;
}

}  // namespace varnel::index
