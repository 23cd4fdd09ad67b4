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
//   kAnd       operands          every operand matches (none: always true)
//   kOr        operands          some operand matches (none: never)
//   kNot       inner             inner does not match
//   kContainsElement  field, value  the field is an array with an element
//                                   equal to value
//
// Equality is json::equal: same kind and number form (integer 1 != float 1.0).
// And/Or look at their operands in order and stop at the first that decides.
// A missing inner condition of a Not (a null pointer) matches nothing, so
// the Not matches everything.
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
    kContainsElement = 12,
  };

  Kind kind = Kind::kExists;
  std::string field;
  json::Value value;
  std::vector<json::Value> values;
  std::string substring;
  std::vector<FilterCondition> operands;  // of kAnd and kOr
  std::unique_ptr<FilterCondition> inner;

  FilterCondition() = default;
  FilterCondition(FilterCondition&&) noexcept = default;
  FilterCondition& operator=(FilterCondition&& other) noexcept;
  FilterCondition(const FilterCondition&) = delete;
  FilterCondition& operator=(const FilterCondition&) = delete;
  // Destroys the subtree without recursion, so trees of any depth are safe.
  ~FilterCondition();

  // Evaluates against `payload`: never fails, allocates nothing for trees
  // whose And/Or nodes nest less than 64 deep (counting only those entered
  // through an operand other than the last), hashes the field at most once
  // per leaf and not at all for an empty payload. Runs in a loop: any width
  // and any depth of tree needs no native recursion.
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
  static FilterCondition contains_element(std::string field, json::Value value);
  static FilterCondition and_of(FilterCondition left, FilterCondition right);
  static FilterCondition or_of(FilterCondition left, FilterCondition right);
  static FilterCondition all_of(std::vector<FilterCondition> operands);
  static FilterCondition any_of(std::vector<FilterCondition> operands);
  static FilterCondition not_of(FilterCondition inner);
};

struct Filter {
  FilterCondition condition;

  bool matches(const Payload& payload) const { return condition.matches(payload); }
};

}  // namespace varnel
