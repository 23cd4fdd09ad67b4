#include "index/brute_force.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <cstring>
#include <functional>

#if defined(__SSE2__)
#include <emmintrin.h>
#include <xmmintrin.h>
#endif

#include "filter.h"
#include "thread_pool.h"

namespace varnel::index {
namespace {

// ranks_before() over hits, by their rows' identifiers.
struct Before {
  const uint64_t* ids;
  template <typename Hit>
  bool operator()(const Hit& a, const Hit& b) const {
    return ranks_before(a.distance, ids[a.row], b.distance, ids[b.row]);
  }
};

// A scan takes the rows in chunks of about this many bytes and runs every
// query over one chunk before the next, so a batch reads each row from memory
// once and from the core's own cache after that.
constexpr size_t kChunkBytes = 256 * 1024;

constexpr uint16_t kWholeBlock = 0xFFFF;

// The pruned scan (scan_pruned): parts of fewer blocks are scanned in full;
// the sample is this many blocks or 1/64 of the part, whichever is more; and
// when more than 1 in kPruneGiveUp of the sample's blocks survive their
// bounds, the part is scanned in full.
constexpr size_t kPruneMinBlocks = 256;
constexpr size_t kPruneSampleBlocks = 64;
constexpr size_t kPruneGiveUp = 3;
// Blocks bounded together, step by step (their sums take 64 KiB).
constexpr size_t kPruneRunBlocks = 1024;

static_assert(kBlockRows == 16, "one bit per row of a block in a uint16_t");

// Writes kBlockRows rows (`rows`, one after another, `dim` floats each) into
// `block` transposed: component i of row r at block[i * kBlockRows + r].
// Only copies bits, so every value (NaN payloads included) arrives unchanged.
void transpose_rows(const float* rows, size_t dim, float* block) {
  size_t i = 0;
#if defined(__SSE2__)
  // Four components of four rows at a time; `block` is 64-byte aligned, so
  // every store is an aligned quarter of a cache line.
  for (; i + 4 <= dim; i += 4) {
    for (size_t r = 0; r < kBlockRows; r += 4) {
      __m128 a = _mm_loadu_ps(rows + (r + 0) * dim + i);
      __m128 b = _mm_loadu_ps(rows + (r + 1) * dim + i);
      __m128 c = _mm_loadu_ps(rows + (r + 2) * dim + i);
      __m128 d = _mm_loadu_ps(rows + (r + 3) * dim + i);
      _MM_TRANSPOSE4_PS(a, b, c, d);
      _mm_store_ps(block + (i + 0) * kBlockRows + r, a);
      _mm_store_ps(block + (i + 1) * kBlockRows + r, b);
      _mm_store_ps(block + (i + 2) * kBlockRows + r, c);
      _mm_store_ps(block + (i + 3) * kBlockRows + r, d);
    }
  }
#endif
  for (; i < dim; ++i) {
    for (size_t r = 0; r < kBlockRows; ++r) block[i * kBlockRows + r] = rows[r * dim + i];
  }
}

// The norms of the kBlockRows rows of `block` (rows past the last are zero
// and get 0), each bit for bit vector_norm of its row: every lane adds its
// squares in the blocked order of distance.h, without fused multiply-adds,
// and takes a correctly rounded square root.
void block_norms(const float* block, size_t dim, float* out) {
#if defined(__SSE2__)
  for (size_t r = 0; r < kBlockRows; r += 4) {
    auto term = [&](size_t i) {
      const __m128 x = _mm_load_ps(block + i * kBlockRows + r);
      return _mm_mul_ps(x, x);
    };
    __m128 total = _mm_setzero_ps();
    size_t i = 0;
    for (; i + kSumBlock <= dim; i += kSumBlock) {
      __m128 sum = _mm_add_ps(term(i), term(i + 1));
      for (size_t j = 2; j < kSumBlock; ++j) sum = _mm_add_ps(sum, term(i + j));
      total = _mm_add_ps(total, sum);
    }
    for (; i < dim; ++i) total = _mm_add_ps(total, term(i));
    _mm_storeu_ps(out + r, _mm_sqrt_ps(total));
  }
#else
  float row[kSumBlock];
  for (size_t r = 0; r < kBlockRows; ++r) {
    float total = 0.0f;
    size_t i = 0;
    for (; i < dim; i += kSumBlock) {
      const size_t n = std::min(kSumBlock, dim - i);
      for (size_t j = 0; j < n; ++j) row[j] = block[(i + j) * kBlockRows + r];
      if (n < kSumBlock) {
        for (size_t j = 0; j < n; ++j) total += row[j] * row[j];
      } else {
        total += dot_product(row, row, kSumBlock);
      }
    }
    out[r] = std::sqrt(total);
  }
#endif
}

}  // namespace

// ---------------------------------------------------------------------------
// Selection: the k nearest hits seen so far for one query, in a max-heap
// (farthest on top) ordered by the ordering rule of the header, (distance,
// id) with NaN last. A hit is compared with the current k-th before the heap
// is touched, so most rows cost one comparison.

class BruteForceIndex::Selection {
 public:
  // Room for a usual k up front; a huge k grows as hits arrive. `ids` gives
  // each row's identifier, the tie-breaker.
  Selection(size_t keep, const uint64_t* ids) : keep_(keep), ids_(ids) {
    heap_.reserve(std::min<size_t>(keep, 4096));
  }

  // Offers rows first .. first + count - 1, their distances at d[0 ..
  // count); d holds whole groups of kBlockRows (count may stop short).
  void offer_blocks(const float* d, size_t count, size_t first) {
    size_t r = 0;
    for (; r < count && heap_.size() < keep_; ++r) push(d[r], first + r);
    if (r == count) return;
    // The heap is full: sixteen distances are compared with the k-th at
    // once, and only the ones that may come before it (nearer or equal) are
    // looked at one by one.
    size_t group = r / kBlockRows * kBlockRows;
    for (; group < count; group += kBlockRows) {
      uint32_t candidates = candidate_mask(d + group, worst_);
      if (group < r) candidates &= ~((1u << (r - group)) - 1);  // offered already
      if (count - group < kBlockRows) candidates &= (1u << (count - group)) - 1;
      while (candidates != 0) {
        const size_t lane = static_cast<size_t>(__builtin_ctz(candidates));
        candidates &= candidates - 1;
        // The k-th may have moved nearer since the mask was taken.
        const size_t row = first + group + lane;
        if (ranks_before(d[group + lane], ids_[row], worst_, worst_id_)) replace(d[group + lane], row);
      }
    }
  }

  // Offers the rows of `nblocks` blocks from row `first` (their distances
  // at d) whose bit is set in pass[i], block i's sixteen rows. Once the heap
  // is full, a block's rows are compared with the k-th at once, as above.
  void offer_passing(const float* d, size_t nblocks, size_t first, const uint16_t* pass) {
    for (size_t i = 0; i < nblocks; ++i) {
      const float* di = d + i * kBlockRows;
      const size_t base = first + i * kBlockRows;
      uint32_t m = pass[i];
      for (; m != 0 && heap_.size() < keep_; m &= m - 1) {
        const size_t lane = static_cast<size_t>(__builtin_ctz(m));
        push(di[lane], base + lane);
      }
      if (m == 0) continue;
      for (m &= candidate_mask(di, worst_); m != 0; m &= m - 1) {
        const size_t lane = static_cast<size_t>(__builtin_ctz(m));
        if (ranks_before(di[lane], ids_[base + lane], worst_, worst_id_)) {
          replace(di[lane], base + lane);
        }
      }
    }
  }

  // Whether it holds as many hits as it keeps; worst() is then the k-th.
  bool full() const { return heap_.size() == keep_; }
  float worst() const { return worst_; }

  // Nearest first.
  std::vector<Hit> take() {
    std::sort_heap(heap_.begin(), heap_.end(), Before{ids_});
    return std::move(heap_);
  }

 private:
  void push(float distance, size_t row) {
    heap_.push_back({distance, row});
    std::push_heap(heap_.begin(), heap_.end(), Before{ids_});
    if (heap_.size() == keep_) set_worst();
  }

  void replace(float distance, size_t row) {
    std::pop_heap(heap_.begin(), heap_.end(), Before{ids_});
    heap_.back() = {distance, row};
    std::push_heap(heap_.begin(), heap_.end(), Before{ids_});
    set_worst();
  }

  void set_worst() {
    worst_ = heap_.front().distance;
    worst_id_ = ids_[heap_.front().row];
  }

  // Bit i set when d[i] may come before `worst` (i < kBlockRows): nearer or
  // equal, or anything at all when `worst` is a NaN (a number always comes
  // first, a NaN when its id is smaller).
  static uint32_t candidate_mask(const float* d, float worst) {
    if (std::isnan(worst)) return (1u << kBlockRows) - 1;
#if defined(__SSE2__)
    uint32_t mask = 0;
    const __m128 w = _mm_set1_ps(worst);
    for (int i = 0; i < 4; ++i) {
      mask |= static_cast<uint32_t>(_mm_movemask_ps(_mm_cmple_ps(_mm_loadu_ps(d + 4 * i), w)))
              << (4 * i);
    }
    return mask;
#else
    uint32_t mask = 0;
    for (size_t i = 0; i < kBlockRows; ++i) mask |= static_cast<uint32_t>(d[i] <= worst) << i;
    return mask;
#endif
  }

  size_t keep_;
  const uint64_t* ids_;     // row -> identifier
  float worst_ = 0.0f;      // the heap's top once it holds keep_ hits,
  uint64_t worst_id_ = 0;   // and its identifier
  std::vector<Hit> heap_;
};

// ---------------------------------------------------------------------------
// BruteForceIndex

BruteForceIndex::BruteForceIndex(DistanceMetric metric, size_t dimension)
    : BruteForceIndex(metric, dimension, best_kernel_path()) {}

BruteForceIndex::BruteForceIndex(DistanceMetric metric, size_t dimension, KernelPath path)
    : metric_(metric),
      dimension_(dimension),
      path_(kernel_path_supported(path) ? path : KernelPath::Portable),
      kernel_(block_kernel(path_, metric)),
      prune_(metric, dimension) {}

ScanCounts BruteForceIndex::scan_counts() const {
  return {counters_.blocks_exact.load(std::memory_order_relaxed),
          counters_.rows_exact.load(std::memory_order_relaxed),
          counters_.blocks_bounded.load(std::memory_order_relaxed)};
}

void BruteForceIndex::rebuild_codes() {
  prune_.rebuild(ids_.size(), [this](size_t b) { return block(b); });
}

Status BruteForceIndex::insert(uint64_t id, std::vector<float> vector, Payload payload) {
  return insert(id, vector.data(), vector.size(), std::move(payload));
}

Status BruteForceIndex::insert(uint64_t id, const float* vector, size_t len, Payload payload) {
  if (len != dimension_) return Error::dimension_mismatch(dimension_, len);
  const size_t row = ids_.size();
  if (!row_of_.insert(id, row)) return Error::duplicate_id(id);

  if (row == segments_.size() * kSegmentBlocks * kBlockRows) add_segment();
  float* lane = lane_of(row);
  for (size_t i = 0; i < dimension_; ++i) lane[i * kBlockRows] = vector[i];
  if (metric_ == DistanceMetric::Cosine) {
    if (row % kBlockRows == 0) norms_.resize(norms_.size() + kBlockRows);
    norms_[row] = vector_norm(vector, dimension_);
  }
  ids_.push_back(id);
  columns_.push_back(payload);
  payloads_.push_back(payload.empty() ? nullptr : std::make_unique<Payload>(std::move(payload)));
  prune_.set_row(row, vector, 1);
  if (prune_.grid_due(ids_.size())) rebuild_codes();
  return {};
}

void BruteForceIndex::add_segment() {
  segments_.emplace_back(kSegmentBlocks * kBlockRows * dimension_ * sizeof(float));
}

const Payload& BruteForceIndex::payload_of(size_t row) const {
  static const Payload empty;
  return payloads_[row] != nullptr ? *payloads_[row] : empty;
}

void BruteForceIndex::reserve(size_t rows) {
  reserve_bookkeeping(rows);
  while (segments_.size() * kSegmentBlocks * kBlockRows < rows) add_segment();
}

void BruteForceIndex::reserve_bookkeeping(size_t rows) {
  const size_t segment_rows = kSegmentBlocks * kBlockRows;
  segments_.reserve((rows + segment_rows - 1) / segment_rows);
  if (metric_ == DistanceMetric::Cosine) norms_.reserve((rows + kBlockRows - 1) / kBlockRows * kBlockRows);
  ids_.reserve(rows);
  payloads_.reserve(rows);
  columns_.reserve(rows);
  row_of_.reserve(rows);
  prune_.reserve(rows);
}

// ---------------------------------------------------------------------------
// Loader

BruteForceIndex::Loader::Loader(BruteForceIndex& index, size_t expected_rows, bool populate_ahead)
    : index_(index), dim_(index.dimension_) {
  const size_t floats = std::max<size_t>(dim_, 1);
  aside_.reset(static_cast<float*>(::operator new(floats * sizeof(float), std::align_val_t{64})));
  staged_.reset(static_cast<float*>(
      ::operator new(kBlockRows * floats * sizeof(float), std::align_val_t{64})));
  index.reserve_bookkeeping(index.ids_.size() + expected_rows);
  if (populate_ahead && dim_ > 0) {
    // Mapping costs address space only; the memory comes with the first
    // touch, by populate() or by the rows themselves.
    const size_t segment_rows = kSegmentBlocks * kBlockRows;
    const size_t have = index.segments_.size();
    ahead_from_ = have;
    start_len_ = index.ids_.size();
    const size_t want = (index.ids_.size() + expected_rows + segment_rows - 1) / segment_rows;
    for (size_t k = have; k < want; ++k) {
      ahead_.emplace_back(segment_rows * dim_ * sizeof(float));
      ahead_at_.push_back(ahead_.back().get());
    }
  }
  stage_partial_block();
}

void BruteForceIndex::Loader::populate(size_t rows) {
  const size_t segment_rows = kSegmentBlocks * kBlockRows;
  const size_t bytes = segment_rows * dim_ * sizeof(float);
  // The first row of ahead_[k] is (ahead_from_ + k) * segment_rows.
  const size_t end_row = start_len_ + rows;
  const size_t ahead_rows = end_row > ahead_from_ * segment_rows ? end_row - ahead_from_ * segment_rows : 0;
  const size_t want = std::min(ahead_at_.size(), (ahead_rows + segment_rows - 1) / segment_rows);
  for (; populated_ < want; ++populated_) populate_memory(ahead_at_[populated_], bytes);
}

// A partial last block is staged again, to be written whole later.
void BruteForceIndex::Loader::stage_partial_block() {
  const size_t len = index_.ids_.size();
  base_ = len / kBlockRows * kBlockRows;
  count_ = len - base_;
  for (size_t k = 0; k < count_; ++k) {
    const float* lane = index_.lane_of(base_ + k);
    for (size_t i = 0; i < dim_; ++i) staged_[k * dim_ + i] = lane[i * kBlockRows];
  }
}

void BruteForceIndex::Loader::add(uint64_t id, Payload payload) {
  BruteForceIndex& x = index_;
  size_t row = x.ids_.size();
  if (!x.row_of_.insert(id, row)) {
    // The new row was written where the next staged row goes; removing a
    // row may move staged rows about, so it waits aside meanwhile.
    float* written = staged_.get() + count_ * dim_;
    if (dim_ > 0) std::memcpy(aside_.get(), written, dim_ * sizeof(float));
    remove_row(id, x.row_of_.find(id));
    row = x.ids_.size();
    x.row_of_.insert(id, row);
    if (dim_ > 0) std::memcpy(staged_.get() + count_ * dim_, aside_.get(), dim_ * sizeof(float));
  }
  // A staged row's norm is taken when its block is written.
  if (x.metric_ == DistanceMetric::Cosine && row % kBlockRows == 0) {
    x.norms_.resize(x.norms_.size() + kBlockRows);
  }
  x.ids_.push_back(id);
  x.columns_.push_back(payload);
  x.payloads_.push_back(payload.empty() ? nullptr : std::make_unique<Payload>(std::move(payload)));
  if (++count_ == kBlockRows) write_block();
}

// What remove() does, with the last row possibly still staged.
void BruteForceIndex::Loader::remove_row(uint64_t id, size_t row) {
  BruteForceIndex& x = index_;
  if (count_ == 0) {
    // Every row is in its block: the index removes it itself, and the block
    // that is now partial is staged again.
    x.remove(id);
    stage_partial_block();
    return;
  }
  x.row_of_.erase(id);
  const size_t last = x.ids_.size() - 1;
  if (row != last) {
    const float* from = staged_.get() + (count_ - 1) * dim_;
    if (row >= base_) {
      if (dim_ > 0) std::memcpy(staged_.get() + (row - base_) * dim_, from, dim_ * sizeof(float));
    } else {
      float* lane = x.lane_of(row);
      for (size_t i = 0; i < dim_; ++i) lane[i * kBlockRows] = from[i];
    }
    x.ids_[row] = x.ids_[last];
    x.payloads_[row] = std::move(x.payloads_[last]);
    // A row that lands in a written block needs its norm now.
    if (x.metric_ == DistanceMetric::Cosine && row < base_) x.norms_[row] = vector_norm(from, dim_);
    x.row_of_.set(x.ids_[row], row);
    // Likewise its code; staged rows are coded with their block.
    if (row < base_) x.prune_.set_row(row, from, 1);
  }
  x.prune_.drop_last(last);
  x.ids_.pop_back();
  x.payloads_.pop_back();
  x.columns_.move_last_to(row);
  if (x.metric_ == DistanceMetric::Cosine) {
    x.norms_[last] = 0.0f;
    if (last % kBlockRows == 0) x.norms_.resize(x.norms_.size() - kBlockRows);
  }
  --count_;
}

void BruteForceIndex::Loader::write_block() {
  BruteForceIndex& x = index_;
  const size_t b = base_ / kBlockRows;
  if (b == x.segments_.size() * kSegmentBlocks) {
    if (taken_ < ahead_.size()) {
      x.segments_.push_back(std::move(ahead_[taken_++]));
    } else {
      x.add_segment();
    }
  }
  float* block = const_cast<float*>(x.block(b));
  transpose_rows(staged_.get(), dim_, block);
  if (x.metric_ == DistanceMetric::Cosine) block_norms(block, dim_, x.norms_.data() + base_);
  x.prune_.set_block(b, block, std::min(kBlockRows, x.ids_.size() - base_));
  base_ += kBlockRows;
  count_ = 0;
}

void BruteForceIndex::Loader::finish() {
  if (finished_) return;
  finished_ = true;
  if (count_ > 0) {
    // The rows past the last are zeros, as the kernels expect.
    std::fill(staged_.get() + count_ * dim_, staged_.get() + kBlockRows * dim_, 0.0f);
    write_block();
  }
  ahead_.clear();
  ahead_at_.clear();
  if (index_.prune_.grid_due(index_.ids_.size())) index_.rebuild_codes();
}

std::optional<VectorEntry> BruteForceIndex::remove(uint64_t id) {
  const size_t row = row_of_.find(id);
  if (row == IdMap::kAbsent) return std::nullopt;
  row_of_.erase(id);

  VectorEntry entry;
  entry.vector.resize(dimension_);
  float* lane = lane_of(row);
  for (size_t i = 0; i < dimension_; ++i) entry.vector[i] = lane[i * kBlockRows];
  if (payloads_[row] != nullptr) entry.payload = std::move(*payloads_[row]);

  // Keep the rows dense: the last row moves into the freed place, and its
  // own place goes back to zeros.
  const size_t last = ids_.size() - 1;
  float* last_lane = lane_of(last);
  if (row != last) {
    for (size_t i = 0; i < dimension_; ++i) lane[i * kBlockRows] = last_lane[i * kBlockRows];
    ids_[row] = ids_[last];
    payloads_[row] = std::move(payloads_[last]);
    if (!norms_.empty()) norms_[row] = norms_[last];
    row_of_.set(ids_[row], row);
    prune_.move_last(last, row);
  } else {
    prune_.drop_last(last);
  }
  for (size_t i = 0; i < dimension_; ++i) last_lane[i * kBlockRows] = 0.0f;
  ids_.pop_back();
  payloads_.pop_back();
  columns_.move_last_to(row);
  if (!norms_.empty()) {
    norms_[last] = 0.0f;
    if (last % kBlockRows == 0) norms_.resize(norms_.size() - kBlockRows);
  }
  // Give back a segment once a whole spare one stands behind it, so that
  // rows going and coming at a boundary do not allocate each time.
  const size_t segment_rows = kSegmentBlocks * kBlockRows;
  if (segments_.size() >= 2 && last <= (segments_.size() - 2) * segment_rows) segments_.pop_back();
  return entry;
}

void BruteForceIndex::scan_blocks(const float* queries, size_t nq, const float* query_norms,
                                  const uint16_t* pass, size_t c0, size_t c1,
                                  Selection* chosen) const {
  const size_t rows = ids_.size();
  const bool cosine = metric_ == DistanceMetric::Cosine;
  alignas(64) float out[kTileQueries * kTileBlocks * kBlockRows];
  uint64_t blocks_exact = 0;
  uint64_t rows_exact = 0;
  for (size_t j0 = 0; j0 < nq; j0 += kTileQueries) {
    const size_t jn = std::min(kTileQueries, nq - j0);
    const float* tile_queries = queries + j0 * dimension_;
    size_t b = c0;
    while (b < c1) {
      if (pass != nullptr && pass[b - c0] == 0) {  // no row of the block passes
        ++b;
        continue;
      }
      // Up to kTileBlocks blocks of one segment in one kernel call (with a
      // filter, blocks where some row passes).
      size_t bn = 1;
      bool whole = pass == nullptr || pass[b - c0] == kWholeBlock;
      while (bn < kTileBlocks && b + bn < c1 && (b + bn) % kSegmentBlocks != 0 &&
             (pass == nullptr || pass[b + bn - c0] != 0)) {
        whole = whole && (pass == nullptr || pass[b + bn - c0] == kWholeBlock);
        ++bn;
      }
      BlockTile tile;
      tile.queries = tile_queries;
      tile.nq = jn;
      tile.query_norms = cosine ? query_norms + j0 : nullptr;
      tile.blocks = block(b);
      tile.row_norms = cosine ? norms_.data() + b * kBlockRows : nullptr;
      tile.nblocks = bn;
      tile.dim = dimension_;
      kernel_(tile, out);
      const size_t first = b * kBlockRows;
      const size_t count = std::min(bn * kBlockRows, rows - first);  // skip padding rows
      if (j0 == 0) {
        blocks_exact += bn;
        if (whole) {
          rows_exact += count;
        } else {
          for (size_t i = 0; i < bn; ++i) rows_exact += std::popcount(pass[b + i - c0]);
        }
      }
      for (size_t j = 0; j < jn; ++j) {
        const float* d = out + j * bn * kBlockRows;
        if (whole) {
          chosen[j0 + j].offer_blocks(d, count, first);
          continue;
        }
        // Only the rows that pass (padding rows never do).
        chosen[j0 + j].offer_passing(d, bn, first, pass + (b - c0));
      }
      b += bn;
    }
  }
  counters_.blocks_exact.fetch_add(blocks_exact, std::memory_order_relaxed);
  counters_.rows_exact.fetch_add(rows_exact, std::memory_order_relaxed);
}

// Blocks [b0, b1) for `nq` queries at `queries` (their norms at
// `query_norms` for Cosine): the nearest hits of each, nearest first. With
// `pass`, only the rows whose bit is set. How the blocks are grouped into
// kernel calls never changes a distance, so any split of the blocks gives
// the same distances.
std::vector<std::vector<BruteForceIndex::Hit>> BruteForceIndex::scan(
    const float* queries, size_t nq, size_t k, const float* query_norms, const uint16_t* pass,
    size_t b0, size_t b1, SearchStop* stop) const {
  const size_t rows = ids_.size();
  const size_t block_floats = kBlockRows * dimension_;
  const size_t part_rows = std::min(rows, b1 * kBlockRows) - std::min(rows, b0 * kBlockRows);

  if (nq == 1 && pruning_ && prune_.ready() && b1 - b0 >= kPruneMinBlocks) {
    PruneQuery pq;
    if (prune_.prepare(queries, pq)) {
      std::vector<std::vector<Hit>> hits;
      hits.push_back(scan_pruned(queries, k, query_norms, pass, b0, b1, pq));
      if (stop != nullptr) stop->after((b1 - b0) * block_floats);
      return hits;
    }
  }

  std::vector<Selection> chosen;
  chosen.reserve(nq);
  for (size_t j = 0; j < nq; ++j) chosen.emplace_back(std::min(k, part_rows), ids_.data());

  size_t chunk = b1 - b0;
  if (block_floats != 0) {
    chunk = std::max(kTileBlocks, kChunkBytes / (block_floats * sizeof(float)) / kTileBlocks *
                                      kTileBlocks);
  }
  for (size_t c0 = b0; c0 < b1; c0 += chunk) {
    const size_t c1 = std::min(b1, c0 + chunk);
    scan_blocks(queries, nq, query_norms, pass != nullptr ? pass + c0 : nullptr, c0, c1,
                chosen.data());
    if (stop != nullptr && stop->after((c1 - c0) * block_floats * nq)) break;
  }

  std::vector<std::vector<Hit>> hits;
  hits.reserve(nq);
  for (Selection& s : chosen) hits.push_back(s.take());
  return hits;
}

// The pruned scan. First a sample of blocks is scanned in full, which fills
// the selection; if the bounds of the sample's rows show that most of its
// blocks would have to be read anyway (distances concentrate, as in
// isotropic data of high dimension), the rest is scanned in full too, which
// costs the plain scan and the sample's codes. Otherwise the other blocks
// go in runs: a run's blocks are bounded step by step (a block whose partial
// sums all pass the limit is dropped part way; one with an exact-only
// candidate is always visited), and the survivors are visited at once,
// least bound first, so the k-th distance, and with it the limit of the
// next run, falls fast. A visit bounds the rows again with the k-th
// distance of that moment and sends the block's surviving rows to the
// kernel. Should most blocks survive after all, the rest is scanned in
// full. Whether a row is pruned is decided by PruneCodes::limit; see
// prune.h for why no row that could enter the k nearest is ever skipped.
std::vector<BruteForceIndex::Hit> BruteForceIndex::scan_pruned(const float* query, size_t k,
                                                               const float* query_norm,
                                                               const uint16_t* pass, size_t b0,
                                                               size_t b1,
                                                               const PruneQuery& pq) const {
  const size_t rows = ids_.size();
  const size_t part_rows = std::min(rows, b1 * kBlockRows) - std::min(rows, b0 * kBlockRows);
  Selection chosen(std::min(k, part_rows), ids_.data());
  // The rows of block b that exist and pass the filter.
  auto candidates = [&](size_t b) -> uint16_t {
    uint32_t m = pass != nullptr ? pass[b] : kWholeBlock;
    const size_t first = b * kBlockRows;
    if (rows - first < kBlockRows) m &= (1u << (rows - first)) - 1;
    return static_cast<uint16_t>(m);
  };
  constexpr int32_t kNoLimit = std::numeric_limits<int32_t>::max() - 1;
  auto limit = [&](size_t b) {
    return chosen.full() ? prune_.limit(pq, chosen.worst(), b) : kNoLimit;
  };
  alignas(64) int32_t n[kBlockRows];
  // The least bound of block b's candidates `m`; anything above `lim` when
  // that is all that can be said.
  auto least = [&](size_t b, uint16_t m, int32_t lim) {
    if ((m & prune_.exact_only(b)) != 0) return kAlwaysVisit;
    int32_t low = std::numeric_limits<int32_t>::max();
    if (!prune_.bounds(pq, b, lim, n)) return low;
    for (uint32_t x = m; x != 0; x &= x - 1) low = std::min(low, n[std::countr_zero(x)]);
    return low;
  };
  auto rest_in_full = [&](size_t from) {
    scan_blocks(query, 1, query_norm, pass != nullptr ? pass + from : nullptr, from, b1, &chosen);
    return chosen.take();
  };

  const size_t sample = std::min(b1 - b0, std::max(kPruneSampleBlocks, (b1 - b0) / 64));
  const size_t s1 = b0 + sample;
  scan_blocks(query, 1, query_norm, pass != nullptr ? pass + b0 : nullptr, b0, s1, &chosen);
  if (!chosen.full()) return rest_in_full(s1);
  size_t nonempty = 0;
  size_t kept = 0;
  for (size_t b = b0; b < s1; ++b) {
    const uint16_t m = candidates(b);
    if (m == 0) continue;
    ++nonempty;
    const int32_t lim = limit(b);
    kept += least(b, m, lim) <= lim;
  }
  counters_.blocks_bounded.fetch_add(sample, std::memory_order_relaxed);
  if (kept * kPruneGiveUp > nonempty) return rest_in_full(s1);

  // Visits the blocks of `visits`, least bound first, each with the limit
  // of the k-th distance of the moment; the first block that it rules out
  // ends the list (the rest are bounded at least as high), except under
  // DotProduct, where each block has its own limit.
  struct Visit {
    int32_t low;
    uint32_t b;
  };
  const bool per_block = prune_.limit_per_block();
  auto visit = [&](std::vector<Visit>& visits) {
    std::sort(visits.begin(), visits.end(), [](const Visit& a, const Visit& b) {
      return a.low != b.low ? a.low < b.low : a.b < b.b;
    });
    for (const Visit& v : visits) {
      const size_t b = v.b;
      const int32_t lim = limit(b);
      if (v.low > lim) {
        if (!per_block) break;
        continue;
      }
      uint16_t m = candidates(b);
      const uint16_t exact = prune_.exact_only(b);
      uint16_t keep = m & exact;
      if (!prune_.bounds(pq, b, lim, n)) m = exact;  // every bound above the limit
      for (uint32_t x = m & ~exact; x != 0; x &= x - 1) {
        const int r = std::countr_zero(x);
        if (n[r] <= lim) keep |= static_cast<uint16_t>(1u << r);
      }
      if (keep != 0) scan_blocks(query, 1, query_norm, &keep, b, b + 1, &chosen);
    }
    visits.clear();
  };

  // Every other block, in runs of kPruneRunBlocks blocks: bounded step by
  // step against the limit of the moment, the survivors visited at once, so
  // the limit tightens from run to run.
  std::vector<Visit> visits;
  size_t visited = 0;
  std::vector<int32_t> limits(kPruneRunBlocks);
  std::vector<int32_t> acc(kPruneRunBlocks * kBlockRows);
  std::vector<uint32_t> live(kPruneRunBlocks);
  std::vector<uint16_t> masks(kPruneRunBlocks);
  for (size_t r0 = s1; r0 < b1; r0 += kPruneRunBlocks) {
    const size_t rn = std::min(kPruneRunBlocks, b1 - r0);
    const int32_t fixed = limit(r0);
    size_t count = 0;
    for (size_t o = 0; o < rn; ++o) {
      const size_t b = r0 + o;
      const uint16_t m = candidates(b);
      masks[o] = m;
      if (m == 0) continue;
      limits[o] = per_block ? limit(b) : fixed;
      if ((m & prune_.exact_only(b)) != 0) {
        visits.push_back({kAlwaysVisit, static_cast<uint32_t>(b)});
      } else {
        live[count++] = static_cast<uint32_t>(o);
      }
    }
    count = prune_.bound_run(pq, r0, limits.data(), acc.data(), live.data(), count);
    for (size_t i = 0; i < count; ++i) {
      const uint32_t o = live[i];
      const int32_t* bound = acc.data() + o * kBlockRows;
      int32_t low = std::numeric_limits<int32_t>::max();
      for (uint32_t x = masks[o]; x != 0; x &= x - 1) low = std::min(low, bound[std::countr_zero(x)]);
      if (low <= limits[o]) visits.push_back({low, static_cast<uint32_t>(r0 + o)});
    }
    visited += visits.size();
    visit(visits);
    counters_.blocks_bounded.fetch_add(rn, std::memory_order_relaxed);
    if (visited * kPruneGiveUp > r0 + rn - s1) return rest_in_full(r0 + rn);
  }
  return chosen.take();
}

// Splits the work over the pool: the rows in ranges of whole blocks, each
// range with its own selections, merged by the ordering rule; or, when the
// rows are too few to split and the queries many, the queries in whole
// tiles. Either way every (query, row) distance is the one a single scan
// computes, so the hits are the same for every thread count.
std::vector<std::vector<BruteForceIndex::Hit>> BruteForceIndex::search_hits(
    const float* queries, size_t nq, size_t k, const Filter* filter, ThreadPool* pool,
    SearchStop* stop) const {
  const size_t rows = ids_.size();
  const size_t nblocks = (rows + kBlockRows - 1) / kBlockRows;
  const size_t threads = pool == nullptr ? 1 : pool->threads();
  auto run = [&](size_t parts, const std::function<void(size_t)>& fn) {
    if (parts <= 1 || pool == nullptr) {
      for (size_t p = 0; p < parts; ++p) fn(p);
    } else {
      pool->run(parts, fn);
    }
  };
  // Part p of `parts` of [0, n).
  auto part_begin = [](size_t n, size_t parts, size_t p) { return n * p / parts; };

  // A part should hold this many row components times queries at least, or
  // waking a thread costs more than it saves.
  constexpr size_t kMinPartFloats = size_t{1} << 16;
  const size_t work_parts = std::max<size_t>(
      1, std::min(threads, nblocks * kBlockRows * dimension_ * nq / kMinPartFloats));
  const size_t row_parts = std::max<size_t>(1, std::min(work_parts, nblocks));

  std::vector<float> query_norms;
  if (metric_ == DistanceMetric::Cosine) {
    for (size_t j = 0; j < nq; ++j) {
      query_norms.push_back(vector_norm(queries + j * dimension_, dimension_));
    }
  }
  // With a filter, the columns answer it first, once for all queries: one
  // bit per row, sixteen to a block; rows past the end never pass.
  // The rows are split over the threads for this too, in whole words.
  std::vector<uint16_t> pass;
  if (filter != nullptr) {
    const size_t words = columns_.words();
    std::vector<uint64_t> bits(words);
    pass.assign(nblocks, 0);
    constexpr size_t kMinPartWords = 1024;
    const size_t parts = std::max<size_t>(1, std::min(threads, words / kMinPartWords));
    run(parts, [&](size_t p) {
      const size_t w0 = part_begin(words, parts, p);
      const size_t w1 = part_begin(words, parts, p + 1);
      columns_.evaluate_words(filter->condition,
                              [this](size_t r) -> const Payload& { return payload_of(r); },
                              bits.data(), w0, w1);
      for (size_t b = w0 * 4; b < std::min(nblocks, w1 * 4); ++b) {
        pass[b] = static_cast<uint16_t>(bits[b / 4] >> (b % 4 * kBlockRows));
      }
    });
  }
  const uint16_t* pass_bits = filter != nullptr ? pass.data() : nullptr;

  const size_t tiles = (nq + kTileQueries - 1) / kTileQueries;
  if (row_parts < work_parts && tiles >= 2) {
    const size_t parts = std::min(work_parts, tiles);
    std::vector<std::vector<Hit>> hits(nq);
    run(parts, [&](size_t p) {
      const size_t j0 = std::min(nq, part_begin(tiles, parts, p) * kTileQueries);
      const size_t j1 = std::min(nq, part_begin(tiles, parts, p + 1) * kTileQueries);
      std::vector<std::vector<Hit>> got =
          scan(queries + j0 * dimension_, j1 - j0, k,
               query_norms.empty() ? nullptr : query_norms.data() + j0, pass_bits, 0, nblocks, stop);
      for (size_t j = j0; j < j1; ++j) hits[j] = std::move(got[j - j0]);
    });
    return hits;
  }

  const float* norms = query_norms.empty() ? nullptr : query_norms.data();
  if (row_parts == 1) return scan(queries, nq, k, norms, pass_bits, 0, nblocks, stop);
  std::vector<std::vector<std::vector<Hit>>> part_hits(row_parts);
  run(row_parts, [&](size_t p) {
    part_hits[p] = scan(queries, nq, k, norms, pass_bits, part_begin(nblocks, row_parts, p),
                        part_begin(nblocks, row_parts, p + 1), stop);
  });
  std::vector<std::vector<Hit>> hits(nq);
  for (size_t j = 0; j < nq; ++j) {
    std::vector<Hit>& merged = hits[j];
    for (auto& part : part_hits) merged.insert(merged.end(), part[j].begin(), part[j].end());
    const size_t keep = std::min(k, merged.size());
    std::partial_sort(merged.begin(), merged.begin() + keep, merged.end(), Before{ids_.data()});
    merged.resize(keep);
  }
  return hits;
}

std::vector<SearchResult> BruteForceIndex::results(const std::vector<Hit>& hits) const {
  std::vector<SearchResult> out;
  out.reserve(hits.size());
  for (const Hit& hit : hits) out.push_back({ids_[hit.row], hit.distance, payload_of(hit.row)});
  return out;
}

std::optional<VectorEntry> BruteForceIndex::get(uint64_t id) const {
  const size_t row = row_of_.find(id);
  if (row == IdMap::kAbsent) return std::nullopt;
  VectorEntry entry;
  entry.vector.resize(dimension_);
  const float* lane = block(row / kBlockRows) + row % kBlockRows;
  for (size_t i = 0; i < dimension_; ++i) entry.vector[i] = lane[i * kBlockRows];
  entry.payload = payload_of(row);
  return entry;
}

std::vector<uint64_t> BruteForceIndex::ids() const {
  std::vector<uint64_t> out = ids_;
  std::sort(out.begin(), out.end());
  return out;
}

std::vector<size_t> BruteForceIndex::passing_rows(const Filter* filter) const {
  std::vector<size_t> out;
  if (filter == nullptr) {
    out.resize(ids_.size());
    for (size_t r = 0; r < out.size(); ++r) out[r] = r;
    return out;
  }
  std::vector<uint64_t> bits;
  columns_.evaluate(filter->condition, [this](size_t r) -> const Payload& { return payload_of(r); },
                    &bits);
  for (size_t w = 0; w < bits.size(); ++w) {
    for (uint64_t word = bits[w]; word != 0; word &= word - 1) {
      out.push_back(w * 64 + static_cast<size_t>(std::countr_zero(word)));
    }
  }
  return out;
}

std::vector<uint64_t> BruteForceIndex::matching_ids(const Filter* filter) const {
  std::vector<uint64_t> out;
  if (filter == nullptr) return ids();
  for (size_t row : passing_rows(filter)) out.push_back(ids_[row]);
  std::sort(out.begin(), out.end());
  return out;
}

size_t BruteForceIndex::count(const Filter* filter) const {
  if (filter == nullptr) return ids_.size();
  std::vector<uint64_t> bits;
  columns_.evaluate(filter->condition, [this](size_t r) -> const Payload& { return payload_of(r); },
                    &bits);
  size_t n = 0;
  for (uint64_t word : bits) n += static_cast<size_t>(std::popcount(word));
  return n;
}

void BruteForceIndex::gather_vectors(const std::vector<size_t>& rows, size_t i0, size_t i1,
                                     float* out) const {
  for (size_t i = i0; i < i1; ++i) {
    const float* lane = block(rows[i] / kBlockRows) + rows[i] % kBlockRows;
    float* dst = out + i * dimension_;
    for (size_t c = 0; c < dimension_; ++c) dst[c] = lane[c * kBlockRows];
  }
}

void BruteForceIndex::scatter_vectors(const std::vector<size_t>& place, size_t b0, size_t b1,
                                      float* out) const {
  for (size_t b = b0; b < b1; ++b) {
    const float* src = block(b);
    const size_t in_block = std::min(kBlockRows, ids_.size() - b * kBlockRows);
    for (size_t r = 0; r < in_block; ++r) {
      const size_t at = place[b * kBlockRows + r];
      if (at == SIZE_MAX) continue;
      float* dst = out + at * dimension_;
      for (size_t c = 0; c < dimension_; ++c) dst[c] = src[c * kBlockRows + r];
    }
  }
}

// Few rows are gathered one by one from their lanes. Many are copied block
// by block: each block is read once, while it is in cache, and each of its
// rows written to its place, so an export of every row reads the index once
// in order whatever the order of the ids. Either way the work splits into
// ranges for the pool's threads, and the payload text is one more part.
Rows BruteForceIndex::rows(const Filter* filter, const RowRequest& request,
                           ThreadPool* pool) const {
  std::vector<size_t> rows = passing_rows(filter);
  auto by_id = [this](size_t a, size_t b) { return ids_[a] < ids_[b]; };
  if (!std::is_sorted(rows.begin(), rows.end(), by_id)) std::sort(rows.begin(), rows.end(), by_id);
  const size_t first = std::min(request.offset, rows.size());
  const size_t last = first + std::min(request.limit, rows.size() - first);
  rows.erase(rows.begin() + static_cast<ptrdiff_t>(last), rows.end());
  rows.erase(rows.begin(), rows.begin() + static_cast<ptrdiff_t>(first));
  Rows out;
  out.ids.reserve(rows.size());
  for (size_t row : rows) out.ids.push_back(ids_[row]);
  if (request.payloads) {
    out.payloads.reserve(rows.size());
    for (size_t row : rows) out.payloads.push_back(payload_of(row));
  }

  const bool gather = rows.size() * 8 < ids_.size();
  const size_t nblocks = (ids_.size() + kBlockRows - 1) / kBlockRows;
  const size_t units = gather ? rows.size() : nblocks;  // what the parts split
  std::vector<size_t> place;
  size_t parts = 0;
  if (request.vectors) {
    out.vectors.reset(new float[std::max<size_t>(rows.size() * dimension_, 1)]);
    if (!gather) {
      place.assign(ids_.size(), SIZE_MAX);
      for (size_t i = 0; i < rows.size(); ++i) place[rows[i]] = i;
    }
    // A part should copy this many floats at least, or waking a thread
    // costs more than it saves.
    constexpr size_t kMinPartFloats = size_t{1} << 16;
    const size_t threads = pool == nullptr ? 1 : pool->threads();
    const size_t floats = units * dimension_ * (gather ? 1 : kBlockRows);
    parts = std::max<size_t>(1, std::min(threads, floats / kMinPartFloats));
  }
  auto write_text = [&] {
    out.text_ends.reserve(rows.size());
    for (size_t row : rows) {
      payload_of(row).write_object(out.text);
      out.text_ends.push_back(out.text.size());
    }
  };
  auto job = [&](size_t p) {
    if (p == parts) return write_text();
    const size_t u0 = units * p / parts;
    const size_t u1 = units * (p + 1) / parts;
    if (gather) {
      gather_vectors(rows, u0, u1, out.vectors.get());
    } else {
      scatter_vectors(place, u0, u1, out.vectors.get());
    }
  };
  const size_t jobs = parts + (request.payload_text ? 1 : 0);
  if (pool != nullptr && jobs > 1) {
    pool->run(jobs, job);
  } else {
    for (size_t p = 0; p < jobs; ++p) job(p);
  }
  return out;
}

std::vector<SearchResult> BruteForceIndex::search(const float* query, size_t query_len, size_t k,
                                                  const Filter* filter, ThreadPool* pool) const {
  if (query_len != dimension_ || k == 0 || ids_.empty()) return {};
  return results(search_hits(query, 1, k, filter, pool)[0]);
}

std::vector<std::vector<SearchResult>> BruteForceIndex::search_batch(const float* queries,
                                                                     size_t nq, size_t dim,
                                                                     size_t k,
                                                                     const Filter* filter,
                                                                     ThreadPool* pool,
                                                                     SearchStop* stop) const {
  std::vector<std::vector<SearchResult>> out(nq);
  if (dim != dimension_ || k == 0 || ids_.empty() || nq == 0) return out;
  std::vector<std::vector<Hit>> hits = search_hits(queries, nq, k, filter, pool, stop);
  if (stop != nullptr && stop->stopped()) return out;
  for (size_t j = 0; j < nq; ++j) out[j] = results(hits[j]);
  return out;
}

}  // namespace varnel::index
