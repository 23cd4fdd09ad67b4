// IdMap: a flat map from a 64-bit identifier to a 64-bit value, for the
// index's rows and the collection's record offsets. Open addressing with
// linear probing, at most half full, no allocation per entry, no
// tombstones. Hashed with a seed drawn per map, so that no set of
// identifiers can be made to collide on purpose. No locking.
#pragma once

#include <cstddef>
#include <cstdint>

#include "zeroed_memory.h"

namespace varnel {

class IdMap {
 public:
  // The one value that cannot be stored: find's answer for a missing id.
  static constexpr uint64_t kAbsent = ~uint64_t{0};

  IdMap();

  uint64_t find(uint64_t id) const;          // the value, or kAbsent
  bool contains(uint64_t id) const { return find(id) != kAbsent; }
  bool insert(uint64_t id, uint64_t value);  // false, changing nothing, when present
  void put(uint64_t id, uint64_t value);     // inserts or replaces
  void set(uint64_t id, uint64_t value);     // `id` must be present
  bool erase(uint64_t id);                   // false when absent
  // Room for `entries` in all without growing again. Never shrinks.
  void reserve(size_t entries);
  size_t size() const { return size_; }

 private:
  // A slot holds its value plus one, so that zeroed memory is a table of
  // free slots: a new table costs no pass of its own.
  struct Slot {
    uint64_t id;
    uint64_t stored;  // value + 1; 0 marks a free slot
  };
  Slot* slots() const { return static_cast<Slot*>(table_.get()); }
  size_t home(uint64_t id) const;
  size_t probe(uint64_t id) const;  // the slot holding `id`, or the free slot ending its run
  void fetch_ahead(uint64_t id) const;  // a cache hint only; needs slots
  void grow(size_t slot_count);

  ZeroedMemory table_;         // slot_count_ slots
  size_t slot_count_ = 0;      // 0, or a power of two at least twice size_
  size_t size_ = 0;            // slots in use
  uint64_t seed_;            // drawn when the map is made
};

}  // namespace varnel
