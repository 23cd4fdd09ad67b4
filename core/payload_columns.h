// PayloadColumns: the payloads of an index's rows held a second time, field
// by field, so that a search evaluates its filter once over whole columns
// instead of payload by payload (one hash lookup per leaf and row). The
// answer is one bit per row, exactly what FilterCondition::matches gives for
// each row's payload.
//
// A column holds, per row, the kind of the field's value and, for scalars,
// the value itself: numbers as they are, strings as a number in the
// column's dictionary of distinct strings. Arrays and objects are only
// marked; a leaf that meets one asks the row's payload. Rows follow the
// index: appended at the end, removed by moving the last row into the gap.
// The first kMaxColumns field names get columns; a leaf on any other field
// is evaluated on the payloads. Nothing here fails or locks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "filter.h"
#include "payload.h"

namespace varnel {

class PayloadColumns {
 public:
  // Field names that get a column; payloads with more distinct names keep
  // the rest in the payload alone.
  static constexpr size_t kMaxColumns = 64;

  // The full payload of a row, for the leaves the columns cannot answer.
  using PayloadOf = std::function<const Payload&(size_t row)>;

  size_t rows() const { return rows_; }
  void reserve(size_t rows);

  // Appends row rows() with the fields of `payload`.
  void push_back(const Payload& payload);
  // Row `row` takes the cells of the last row, which goes; `row` may be the
  // last row itself.
  void move_last_to(size_t row);

  // Sets `bits` to ceil(rows() / 64) words: bit r % 64 of word r / 64 is
  // set when `condition` matches row r's payload. Bits past the last row
  // are clear.
  void evaluate(const FilterCondition& condition, const PayloadOf& payload_of,
                std::vector<uint64_t>* bits) const;
  // The same answer's words [w0, w1) only, into bits[w0 .. w1) of an array
  // of words() words; threads may fill disjoint ranges of one array at once.
  void evaluate_words(const FilterCondition& condition, const PayloadOf& payload_of,
                      uint64_t* bits, size_t w0, size_t w1) const;
  size_t words() const;

 private:
  enum CellKind : uint8_t {
    kAbsent = 0,
    kNull,
    kFalse,
    kTrue,
    kUnsigned,  // also a signed integer that is not negative
    kSigned,    // negative
    kFloat,
    kString,    // value: the index of the text in `strings`
    kOther,     // an array or an object: ask the payload
  };
  struct Column {
    std::vector<uint8_t> kinds;    // one per row
    std::vector<uint64_t> values;  // one per row: the bits of the scalar
    std::vector<std::string> strings;
    std::unordered_map<std::string, uint32_t> string_ids;
  };
  struct Cell {
    CellKind kind;
    uint64_t value;
  };

  // The cell `value` would get in `column`; a string the column has never
  // held gets kString with an index past its dictionary.
  static Cell cell_of(const json::Value& value, const Column* column);
  Cell add_cell(Column& column, const json::Value& value);
  const Column* column(const std::string& field) const;
  void leaf(const FilterCondition& c, const PayloadOf& payload_of, uint64_t* bits, size_t w0,
            size_t w1) const;
  void eval(const FilterCondition* c, const PayloadOf& payload_of, uint64_t* bits, size_t w0,
            size_t w1, size_t depth) const;

  size_t rows_ = 0;
  size_t reserved_ = 0;
  std::unordered_map<std::string, std::unique_ptr<Column>> columns_;  // each holds rows_ cells
  bool capped_ = false;  // some field name got no column
};

}  // namespace varnel
