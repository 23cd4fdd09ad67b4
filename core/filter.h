// Payload filters: an in-memory predicate tree over a Payload that a search
// may take. Built by the caller, never parsed, stored or printed; no
// validation is done and every tree evaluates without failing.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "json.h"
#include "payload.h"

namespace varnel {

// One node of a filter. A tagged union kept flat: `kind` says which members
// belong to the node; the others stay empty.
//
//   kind       members           matches a payload when
//   kEq        field, value      the field is present and equals value
//   kNe        field, value      the field is absent or differs from value
//   kGt..kLte  field, value      both are numbers and field <op> value, as doubles
//   kIn        field, values     the field is present and equals some element
//   kContains  field, substring  the field is a string holding substring
//   kExists    field             the field is present (null included)
//   kAnd/kOr   left, right       both / at least one match (right only if needed)
//   kNot       inner             inner does not match
//
// Equality is json::equal: same kind and number form (integer 1 != float 1.0).
// A missing sub-condition (a null pointer) matches nothing.
struct FilterCondition {
  // In tag order.
  enum class Kind : uint8_t {
    kEq = 0,
    kNe = 1,
    kGt = 2,
    kGte = 3,
    kLt = 4,
    kLte = 5,
    kIn = 6,
    kContains = 7,
    kExists = 8,
    kAnd = 9,
    kOr = 10,
    kNot = 11,
  };

  Kind kind = Kind::kExists;
  std::string field;
  json::Value value;
  std::vector<json::Value> values;
  std::string substring;
  std::unique_ptr<FilterCondition> left;
  std::unique_ptr<FilterCondition> right;
  std::unique_ptr<FilterCondition> inner;

  FilterCondition() = default;
  FilterCondition(FilterCondition&&) noexcept = default;
  FilterCondition& operator=(FilterCondition&& other) noexcept;
  FilterCondition(const FilterCondition&) = delete;
  FilterCondition& operator=(const FilterCondition&) = delete;
  // Destroys the subtree without recursion, so chains of any length are safe.
  ~FilterCondition();

  // Evaluates against `payload`: never fails, allocates nothing for trees
  // whose left operands nest less than 64 deep, hashes the field at most
  // once per leaf and not at all for an empty payload. Runs in a loop:
  // chains through Not and through the right operand need no nesting.
  bool matches(const Payload& payload) const;

  // Builders.
  static FilterCondition eq(std::string field, json::Value value);
  static FilterCondition ne(std::string field, json::Value value);
  static FilterCondition gt(std::string field, json::Value value);
  static FilterCondition gte(std::string field, json::Value value);
  static FilterCondition lt(std::string field, json::Value value);
  static FilterCondition lte(std::string field, json::Value value);
  static FilterCondition in(std::string field, std::vector<json::Value> values);
  static FilterCondition contains(std::string field, std::string substring);
  static FilterCondition exists(std::string field);
  static FilterCondition and_of(FilterCondition left, FilterCondition right);
  static FilterCondition or_of(FilterCondition left, FilterCondition right);
  static FilterCondition not_of(FilterCondition inner);
};

struct Filter {
  FilterCondition condition;

  bool matches(const Payload& payload) const { return condition.matches(payload); }
};

}  // namespace varnel
