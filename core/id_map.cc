#include "id_map.h"

#include <algorithm>
#include <chrono>

namespace varnel {
namespace {

constexpr int kRunBits = 4;
constexpr uint64_t kRunMask = (uint64_t{1} << kRunBits) - 1;
constexpr uint64_t kFetchAhead = 8;  // two cache lines of slots further on

// splitmix64's finalizer: every input bit moves every output bit.
inline uint64_t mix(uint64_t x) {
  x ^= x >> 30;
  x *= 0xbf58476d1ce4e5b9ull;
  x ^= x >> 27;
  x *= 0x94d049bb133111ebull;
  x ^= x >> 31;
  return x;
}

}  // namespace

IdMap::IdMap()
    : seed_(mix(static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
                reinterpret_cast<uintptr_t>(this))) {}

// Identifiers that differ only in their low four bits get neighbouring
// slots, so a run of sixteen consecutive identifiers (the usual case) shares
// four cache lines instead of touching sixteen; the rest of the bits are
// mixed with the seed and spread the runs over the whole table.
size_t IdMap::home(uint64_t id) const {
  return static_cast<size_t>(mix((id >> kRunBits) ^ seed_) << kRunBits | (id & kRunMask)) &
         (slot_count_ - 1);
}

size_t IdMap::probe(uint64_t id) const {
  const size_t mask = slot_count_ - 1;
  const Slot* s = slots();
  size_t i = home(id);
  while (s[i].stored != 0 && s[i].id != id) i = (i + 1) & mask;
  return i;
}

uint64_t IdMap::find(uint64_t id) const {
  if (slot_count_ == 0) return kAbsent;
  return slots()[probe(id)].stored - 1;  // a free slot gives kAbsent
}

// Identifiers tend to arrive in ascending runs (a data file written by
// consecutive inserts), so the slot of an identifier a little further on is
// fetched now: when it is wanted its cache line is there, whether it lies in
// this run of slots or begins the next one. It costs one hash otherwise.
void IdMap::fetch_ahead(uint64_t id) const {
  __builtin_prefetch(slots() + home(id + kFetchAhead), 1);
}

bool IdMap::insert(uint64_t id, uint64_t value) {
  if ((size_ + 1) * 2 > slot_count_) grow(std::max<size_t>(16, slot_count_ * 2));
  fetch_ahead(id);
  Slot& slot = slots()[probe(id)];
  if (slot.stored != 0) return false;
  slot = {id, value + 1};
  ++size_;
  return true;
}

void IdMap::put(uint64_t id, uint64_t value) {
  if ((size_ + 1) * 2 > slot_count_) grow(std::max<size_t>(16, slot_count_ * 2));
  fetch_ahead(id);
  Slot& slot = slots()[probe(id)];
  if (slot.stored == 0) ++size_;
  slot = {id, value + 1};
}

void IdMap::set(uint64_t id, uint64_t value) { slots()[probe(id)].stored = value + 1; }

bool IdMap::erase(uint64_t id) {
  if (slot_count_ == 0) return false;
  // Backward shift: entries after the hole move up into it unless their home
  // lies after the hole, so every run stays unbroken without tombstones.
  const size_t mask = slot_count_ - 1;
  Slot* s = slots();
  size_t hole = probe(id);
  if (s[hole].stored == 0) return false;
  s[hole].stored = 0;
  --size_;
  for (size_t j = (hole + 1) & mask; s[j].stored != 0; j = (j + 1) & mask) {
    const size_t h = home(s[j].id);
    if (((j - h) & mask) >= ((j - hole) & mask)) {
      s[hole] = s[j];
      s[j].stored = 0;
      hole = j;
    }
  }
  return true;
}

void IdMap::reserve(size_t entries) {
  size_t want = 16;
  while (want < entries * 2) want *= 2;
  if (want > slot_count_) grow(want);
}

void IdMap::grow(size_t slot_count) {
  ZeroedMemory old = std::move(table_);
  const size_t old_count = slot_count_;
  table_ = ZeroedMemory(slot_count * sizeof(Slot));
  slot_count_ = slot_count;
  const Slot* from = static_cast<const Slot*>(old.get());
  Slot* s = slots();
  for (size_t i = 0; i < old_count; ++i) {
    if (from[i].stored != 0) s[probe(from[i].id)] = from[i];
  }
}

}  // namespace varnel
