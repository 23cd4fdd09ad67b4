// BruteForceIndex: exact k-nearest-neighbour search by comparing the query
// with every stored vector that a guaranteed lower bound of its distance
// (prune.h) does not rule out; set_pruning(false) compares with all of them,
// with the same results. No approximation, no persistence, no locking: the
// owner provides exclusion (shared for search and len, exclusive otherwise).
//
// Rows are stored the way the search kernels read them (distance.h): blocks
// of kBlockRows rows, transposed, cache-line aligned, the last block padded
// with zero rows. Removing moves the last row into the freed place, so the
// rows stay dense; the rows' codes (prune.h) move with them. Every distance
// is bit for bit what distance() gives.
#pragma once

#include <cstddef>
#include <atomic>
#include <cstdint>
#include <string>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <vector>

#include "distance.h"
#include "id_map.h"
#include "index/prune.h"
#include "payload.h"
#include "payload_columns.h"
#include "result.h"
#include "zeroed_memory.h"

namespace varnel {

struct Filter;
class ThreadPool;

namespace index {

struct VectorEntry {
  std::vector<float> vector;
  Payload payload;
};

struct SearchResult {
  uint64_t id = 0;
  float distance = 0.0f;
  std::optional<Payload> payload;
};

// The ordering rule below as a comparison: whether a hit at distance `da`
// with id `ia` comes before one at (`db`, `ib`). Whoever merges result
// lists (of threads, of shards) orders by it.
inline bool ranks_before(float da, uint64_t ia, float db, uint64_t ib) {
  const bool nan_a = da != da;
  const bool nan_b = db != db;
  if (nan_a != nan_b) return nan_b;
  if (!nan_a && da != db) return da < db;
  return ia < ib;
}

// What rows() copies out besides the ids: a page [offset, offset + limit)
// of the matching rows in ascending id order, and which parts of each row.
struct RowRequest {
  size_t offset = 0;
  size_t limit = SIZE_MAX;
  bool vectors = false;       // Rows::vectors
  bool payloads = false;      // Rows::payloads
  bool payload_text = false;  // Rows::text and Rows::text_ends
};

// Rows in ascending id order: ids.size() rows, each part filled when asked.
struct Rows {
  std::vector<uint64_t> ids;
  // Row after row, dimension floats each; null unless asked for (left
  // uninitialised before the copy, as an export of every row is one pass).
  std::unique_ptr<float[]> vectors;
  std::vector<Payload> payloads;  // one per row
  // The payloads as JSON objects, keys ascending, back to back; row i's
  // text ends at text_ends[i] and starts where row i - 1's ends (0 for row 0).
  std::string text;
  std::vector<uint64_t> text_ends;
};

// Lets a long batch search be stopped part way, e.g. to answer an
// interrupt: the scan calls `ask` between pieces of its work, each time with
// the work done since the last call (row components times queries, about
// 2^16 per query and piece). Once a call returns true no further piece
// starts and stopped() is true; the results of a stopped search are
// incomplete and are to be thrown away. With a pool the calls come from its
// threads, one at a time. A search that is not stopped gives exactly what it
// gives without a SearchStop.
class SearchStop {
 public:
  explicit SearchStop(std::function<bool(size_t work)> ask) : ask_(std::move(ask)) {}
  bool stopped() const { return stopped_.load(std::memory_order_relaxed); }
  // Reports `work` done; true when the search is to stop.
  bool after(size_t work) {
    if (stopped()) return true;
    std::lock_guard guard(calls_);
    if (!stopped() && ask_(work)) stopped_.store(true, std::memory_order_relaxed);
    return stopped();
  }

 private:
  std::function<bool(size_t)> ask_;
  std::mutex calls_;
  std::atomic<bool> stopped_{false};
};

// What the searches of one index have done so far, for benchmarks: blocks
// of kBlockRows rows whose floats went through a kernel, the rows among them
// that could enter a result (existing, passing the filter, not pruned), and
// blocks whose codes were read to bound distances. Counted per scan.
struct ScanCounts {
  uint64_t blocks_exact = 0;
  uint64_t rows_exact = 0;
  uint64_t blocks_bounded = 0;
};

// Ordering of results, the one rule of every search path: ascending distance
// by IEEE less-than (so -0.0 and 0.0 are equal); equal distances by ascending
// id; NaN distances after every number, among themselves by ascending id.
// The order is total, so a stored set gives one list whatever the order of
// its insertion, the thread count or the path (single or batch) taken.
class BruteForceIndex {
 public:
  // Searches with the widest kernels this CPU runs.
  BruteForceIndex(DistanceMetric metric, size_t dimension);
  // Searches with the kernels of `path`, or the portable ones when the CPU
  // cannot run it. Results are the same on every path; tests and benchmarks
  // use this to pick one.
  BruteForceIndex(DistanceMetric metric, size_t dimension, KernelPath path);

  // Takes the vector and payload. DimensionMismatch when the length differs
  // from the dimension (checked first), DuplicateId when `id` is present;
  // on error the index is unchanged.
  Status insert(uint64_t id, std::vector<float> vector, Payload payload);
  // The same, reading `len` floats at `vector` (copied into the index).
  Status insert(uint64_t id, const float* vector, size_t len, Payload payload);

  // Makes room for `rows` entries in all, so that inserting up to that many
  // allocates nothing more. Never shrinks; changes no entry. Moving an
  // index is cheap; it cannot be copied.
  void reserve(size_t rows);

  // The k nearest entries that pass `filter` (all when null), nearest first,
  // each with a copy of its payload. A query of the wrong length gives none.
  // The filter sees each payload before any distance of its row is taken.
  // With a pool, the rows are split over its threads; every distance is the
  // one a single thread computes and the parts merge by the ordering rule,
  // so the list is the same for every thread count. The filter is then
  // asked from several threads at once (matches only reads).
  std::vector<SearchResult> search(const float* query, size_t query_len, size_t k,
                                   const Filter* filter = nullptr,
                                   ThreadPool* pool = nullptr) const;
  std::vector<SearchResult> search(const std::vector<float>& query, size_t k,
                                   const Filter* filter = nullptr,
                                   ThreadPool* pool = nullptr) const {
    return search(query.data(), query.size(), k, filter, pool);
  }

  // `nq` queries of `dim` floats each, back to back at `queries`: one result
  // list per query, each exactly what search() gives for that query. All
  // lists are empty when `dim` differs from the dimension. One pass over the
  // rows serves every query; a pool splits the rows (or, when there are
  // too few of them, the queries) over its threads, with the same results.
  // With `stop`, the search may end part way (see SearchStop).
  std::vector<std::vector<SearchResult>> search_batch(const float* queries, size_t nq, size_t dim,
                                                      size_t k, const Filter* filter = nullptr,
                                                      ThreadPool* pool = nullptr,
                                                      SearchStop* stop = nullptr) const;

  // A copy of the vector and payload stored under `id`; nothing when absent.
  std::optional<VectorEntry> get(uint64_t id) const;
  // Every stored identifier, ascending.
  std::vector<uint64_t> ids() const;
  // The identifiers of the entries whose payload passes `filter` (all when
  // null), ascending.
  std::vector<uint64_t> matching_ids(const Filter* filter) const;
  // How many entries pass `filter` (all when null).
  size_t count(const Filter* filter) const;
  // The page `request` names of the entries passing `filter`, in ascending
  // id order, with copies of the parts asked for. Vectors are bit for bit
  // what get() gives. A pool splits the copying of the vectors over its
  // threads and writes the payload text beside them; the rows are the same.
  Rows rows(const Filter* filter, const RowRequest& request, ThreadPool* pool = nullptr) const;

  // Adds rows in a run, the way a collection rebuilds its index from its
  // data file: the caller writes each row's components to row(), then
  // add()s it. Rows go into their block sixteen at a time in one pass, into
  // segments that need no clearing first. Afterwards the index is exactly
  // what the same rows inserted one by one, each replacing an earlier row of
  // its identifier (remove, then insert), would have made of it: same rows,
  // same order, same norms. While a Loader is at work, the index may be
  // reached only through it; finish() (or destruction) ends the run.
  class Loader {
   public:
    // Makes room for `expected_rows` more rows (a bound; more still fit).
    // With `populate_ahead`, the memory of those rows is mapped at once, so
    // that populate() can have it backed from another thread meanwhile.
    Loader(BruteForceIndex& index, size_t expected_rows, bool populate_ahead = false);
    ~Loader() { finish(); }
    Loader(const Loader&) = delete;
    Loader& operator=(const Loader&) = delete;

    // dimension() floats for the next row, to fill before add().
    float* row() { return staged_.get() + count_ * dim_; }
    // Adds the row written to row() under `id`, in place of any row `id`
    // has already; takes the payload.
    void add(uint64_t id, Payload payload);
    // Writes the rows still waiting into their block, the unused rows of a
    // last partial block as zeros, and gives back the memory mapped ahead
    // that no row needed. Further calls do nothing.
    void finish();

    // May run on one other thread while rows are added (and must have
    // returned before finish()): has the kernel back the memory of the
    // first `rows` expected rows now, writing nothing, so that the thread
    // adding rows finds it ready. Does nothing without populate_ahead.
    void populate(size_t rows);

   private:
    struct AlignedFree {
      void operator()(float* p) const { ::operator delete(p, std::align_val_t{64}); }
    };
    using Floats = std::unique_ptr<float[], AlignedFree>;

    void remove_row(uint64_t id, size_t row);
    void stage_partial_block();
    void write_block();

    BruteForceIndex& index_;
    size_t dim_;
    Floats staged_;      // rows base_ .. base_ + count_ - 1, one after another, then room
                         // for the next row, which the caller writes in place
    Floats aside_;       // one row: the next row while add() replaces an earlier one
    std::vector<ZeroedMemory> ahead_;  // mapped ahead; write_block takes them in order
    std::vector<void*> ahead_at_;    // their addresses, fixed from construction to finish()
    size_t taken_ = 0;               // ahead_ segments moved into the index
    size_t populated_ = 0;           // ahead_ segments populate() has done (its thread only)
    size_t ahead_from_ = 0;          // index of the segment ahead_[0] becomes
    size_t start_len_ = 0;           // len() when the run began
    size_t base_ = 0;    // first staged row; a multiple of kBlockRows
    size_t count_ = 0;   // rows staged; base_ + count_ == len()
    bool finished_ = false;
  };

  // Takes the entry out and gives it back; nothing when `id` is absent.
  std::optional<VectorEntry> remove(uint64_t id);

  // Whether single-query scans may skip rows by their bounds (prune.h):
  // on by default. Off forces the full scan; results are the same either
  // way, bit for bit. Needs exclusive access, like insert.
  void set_pruning(bool on) { pruning_ = on; }
  bool pruning() const { return pruning_; }
  // Since the index was made (relaxed counters; searches may run meanwhile).
  ScanCounts scan_counts() const;

  size_t len() const { return ids_.size(); }
  bool contains(uint64_t id) const { return row_of_.contains(id); }
  size_t dimension() const { return dimension_; }
  DistanceMetric metric() const { return metric_; }
  KernelPath kernel_path() const { return path_; }

 private:
  // Row blocks live in segments of kSegmentBlocks blocks each, 64-byte
  // aligned (one cache line holds one component of a whole block). Growing
  // adds a segment and never moves a row, so filling a large index touches
  // each page once; a kernel call never spans two segments.
  static constexpr size_t kSegmentBlocks = 256;
  using Segment = ZeroedMemory;

  struct Hit {
    float distance;
    size_t row;
  };
  class Selection;

  // The nearest hits of each query, nearest first; queries hold the index's
  // dimension. The filter is evaluated once per row, before any distance.
  std::vector<std::vector<Hit>> search_hits(const float* queries, size_t nq, size_t k,
                                            const Filter* filter, ThreadPool* pool,
                                            SearchStop* stop = nullptr) const;
  // One part of that work: blocks [b0, b1), rows whose `pass` bit is set
  // (all when null).
  std::vector<std::vector<Hit>> scan(const float* queries, size_t nq, size_t k,
                                     const float* query_norms, const uint16_t* pass, size_t b0,
                                     size_t b1, SearchStop* stop = nullptr) const;
  // The kernel calls of a scan: blocks [c0, c1) for `nq` queries, offered
  // to chosen[0 .. nq); with `pass` (the mask of block c0 first), only the
  // rows whose bit is set.
  void scan_blocks(const float* queries, size_t nq, const float* query_norms,
                   const uint16_t* pass, size_t c0, size_t c1, Selection* chosen) const;
  // scan() for one query, skipping blocks and rows by their bounds; the same
  // hits. Falls back to the full scan when a sample shows that the bounds
  // do not prune.
  std::vector<Hit> scan_pruned(const float* query, size_t k, const float* query_norm,
                               const uint16_t* pass, size_t b0, size_t b1,
                               const PruneQuery& pq) const;
  // Chooses the grid of the codes again and codes every row.
  void rebuild_codes();
  std::vector<SearchResult> results(const std::vector<Hit>& hits) const;
  // The rows whose payload passes `filter` (every row when null), ascending.
  std::vector<size_t> passing_rows(const Filter* filter) const;
  // Copies the vectors of rows[i] to out + i * dimension_ for i in [i0, i1).
  void gather_vectors(const std::vector<size_t>& rows, size_t i0, size_t i1, float* out) const;
  // Copies row r of blocks [b0, b1) to out + place[r] * dimension_ for
  // every r whose place is not SIZE_MAX.
  void scatter_vectors(const std::vector<size_t>& place, size_t b0, size_t b1, float* out) const;
  // The block with index `b` (row b * kBlockRows onwards).
  const float* block(size_t b) const {
    return static_cast<const float*>(segments_[b / kSegmentBlocks].get()) +
           b % kSegmentBlocks * kBlockRows * dimension_;
  }
  // Component 0 of `row`; component i is kBlockRows * i floats further.
  float* lane_of(size_t row) {
    return const_cast<float*>(block(row / kBlockRows)) + row % kBlockRows;
  }
  // Adds a segment whose every float is zero.
  void add_segment();
  // Room in every per-row list (and for the segment pointers) for `rows`
  // rows; segments themselves are left to be added as rows arrive.
  void reserve_bookkeeping(size_t rows);
  const Payload& payload_of(size_t row) const;

  DistanceMetric metric_;
  size_t dimension_;
  KernelPath path_;     // as asked, or Portable when the CPU lacks it
  BlockKernel kernel_;  // block_kernel(path_, metric_)
  std::vector<Segment> segments_;  // hold at least len() rows; every row past len() is all zero
  std::vector<float> norms_;  // Cosine only: vector_norm of row r at r, zero past len(); else empty
  std::vector<uint64_t> ids_;      // ids_[r] is the identifier of row r
  // payloads_[r] belongs to row r; null stands for an empty payload, so the
  // common case costs one pointer per row and no allocation.
  std::vector<std::unique_ptr<Payload>> payloads_;
  IdMap row_of_;                   // identifier -> row, for every row
  PayloadColumns columns_;         // the payloads again, field by field, row for row
  PruneCodes prune_;               // codes of every row when prune_.ready(), row for row
  bool pruning_ = true;
  struct Counters {
    std::atomic<uint64_t> blocks_exact{0}, rows_exact{0}, blocks_bounded{0};
    Counters() = default;
    Counters(Counters&&) noexcept {}  // a moved index starts counting again
    Counters& operator=(Counters&&) noexcept { return *this; }
  };
  mutable Counters counters_;
};

}  // namespace index
}  // namespace varnel
