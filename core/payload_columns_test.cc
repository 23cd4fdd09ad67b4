#include "payload_columns.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace varnel {
namespace {

using json::Value;

// Values of every kind, with the number forms that equality tells apart.
const std::vector<Value>& value_pool() {
  static const std::vector<Value> pool = {
      Value(nullptr), Value(true), Value(false), Value(uint64_t{1}), Value(int64_t{1}),
      Value(1.0), Value(-0.0), Value(0.0), Value(uint64_t{0}), Value(int64_t{-3}),
      Value(2.5), Value(uint64_t{18446744073709551615ull}), Value("jazz"), Value("jazz fusion"),
      Value(""), Value("rock"), Value::array({1, 2}), Value::array(), Value::object({{"a", 1}}),
      Value::array({"jazz"}),
  };
  return pool;
}

const std::vector<std::string> kFields = {"a", "b", "c"};

Payload random_payload(std::mt19937& rng) {
  Payload p;
  for (const auto& f : kFields) {
    if (rng() % 3 != 0) p.data.emplace(f, value_pool()[rng() % value_pool().size()]);
  }
  return p;
}

FilterCondition random_condition(std::mt19937& rng, int depth) {
  const auto& pool = value_pool();
  const std::string field = rng() % 8 == 0 ? "zz" : kFields[rng() % kFields.size()];
  const Value& v = pool[rng() % pool.size()];
  switch (depth < 3 ? rng() % 14 : rng() % 10) {
    case 0:
      return FilterCondition::eq(field, v);
    case 1:
      return FilterCondition::ne(field, v);
    case 2:
      return FilterCondition::gt(field, v);
    case 3:
      return FilterCondition::gte(field, v);
    case 4:
      return FilterCondition::lt(field, Value(1.5));
    case 5:
      return FilterCondition::lte(field, Value(int64_t{-3}));
    case 6:
      return FilterCondition::in(field, {v, pool[rng() % pool.size()]});
    case 7:
      return FilterCondition::contains(field, rng() % 2 ? "jazz" : "");
    case 8:
      return FilterCondition::exists(field);
    case 9:
      return FilterCondition::contains_element(field, v);
    case 10:
      return FilterCondition::and_of(random_condition(rng, depth + 1), random_condition(rng, depth + 1));
    case 11:
      return FilterCondition::or_of(random_condition(rng, depth + 1), random_condition(rng, depth + 1));
    case 12: {
      // Zero to four operands, And or Or.
      std::vector<FilterCondition> ops;
      const size_t n = rng() % 5;
      for (size_t i = 0; i < n; ++i) ops.push_back(random_condition(rng, depth + 1));
      return rng() % 2 ? FilterCondition::all_of(std::move(ops)) : FilterCondition::any_of(std::move(ops));
    }
    default:
      return FilterCondition::not_of(random_condition(rng, depth + 1));
  }
}

void expect_same_as_payloads(const PayloadColumns& columns, const std::vector<Payload>& payloads,
                             const FilterCondition& c) {
  ASSERT_EQ(columns.rows(), payloads.size());
  std::vector<uint64_t> bits;
  columns.evaluate(c, [&](size_t r) -> const Payload& { return payloads[r]; }, &bits);
  ASSERT_EQ(bits.size(), (payloads.size() + 63) / 64);
  for (size_t r = 0; r < payloads.size(); ++r) {
    ASSERT_EQ((bits[r / 64] >> (r % 64) & 1) != 0, c.matches(payloads[r])) << "row " << r;
  }
  if (payloads.size() % 64 != 0) {
    EXPECT_EQ(bits.back() >> (payloads.size() % 64), 0u);
  }
  // The same words again, in parts as threads take them: each part fills
  // its own words and touches no other.
  const size_t words = columns.words();
  for (size_t cut = 1; cut < words; cut += 2) {
    std::vector<uint64_t> parts(words, 0xa5a5a5a5a5a5a5a5u);
    columns.evaluate_words(c, [&](size_t r) -> const Payload& { return payloads[r]; },
                           parts.data(), cut, words + 5);
    for (size_t w = 0; w < cut; ++w) ASSERT_EQ(parts[w], 0xa5a5a5a5a5a5a5a5u) << "word " << w;
    columns.evaluate_words(c, [&](size_t r) -> const Payload& { return payloads[r]; },
                           parts.data(), 0, cut);
    ASSERT_EQ(parts, bits) << "split at word " << cut;
  }
}

TEST(PayloadColumns, EveryFilterAgreesWithThePayloadsThroughAppendsAndMoves) {
  std::mt19937 rng(3);
  for (int round = 0; round < 20; ++round) {
    PayloadColumns columns;
    std::vector<Payload> payloads;
    const size_t n = 1 + rng() % 400;
    for (size_t i = 0; i < n; ++i) {
      payloads.push_back(random_payload(rng));
      columns.push_back(payloads.back());
      if (rng() % 4 == 0) {  // remove a row the way the index does
        const size_t row = rng() % payloads.size();
        payloads[row] = payloads.back();
        payloads.pop_back();
        columns.move_last_to(row);
      }
    }
    for (int q = 0; q < 40; ++q) expect_same_as_payloads(columns, payloads, random_condition(rng, 0));
  }
}

TEST(PayloadColumns, FieldsBeyondTheColumnLimitAreAskedOfThePayload) {
  PayloadColumns columns;
  std::vector<Payload> payloads;
  for (size_t i = 0; i < PayloadColumns::kMaxColumns + 10; ++i) {
    Payload p;
    p.data.emplace("f" + std::to_string(i), Value(uint64_t{i}));
    p.data.emplace("shared", Value(uint64_t{i % 3}));
    payloads.push_back(p);
    columns.push_back(p);
  }
  const size_t last = PayloadColumns::kMaxColumns + 9;
  for (const FilterCondition& c :
       {FilterCondition::eq("f" + std::to_string(last), Value(uint64_t{last})),
        FilterCondition::ne("f" + std::to_string(last), Value(uint64_t{last})),
        FilterCondition::exists("nowhere"), FilterCondition::eq("shared", Value(uint64_t{1}))}) {
    expect_same_as_payloads(columns, payloads, c);
  }
}

TEST(PayloadColumns, EdgeShapes) {
  PayloadColumns empty;
  std::vector<uint64_t> bits{7};
  empty.evaluate(FilterCondition::exists("a"), [](size_t) -> const Payload& { std::abort(); }, &bits);
  EXPECT_TRUE(bits.empty());

  PayloadColumns columns;
  std::vector<Payload> payloads(130);
  for (size_t i = 0; i < payloads.size(); ++i) {
    if (i % 2) payloads[i].data.emplace("a", Value(uint64_t{i}));
    columns.push_back(payloads[i]);
  }
  FilterCondition missing;  // And without operands matches nothing; its Not everything
  missing.kind = FilterCondition::Kind::kAnd;
  expect_same_as_payloads(columns, payloads, missing);
  expect_same_as_payloads(columns, payloads, FilterCondition::not_of(std::move(missing)));
  // A chain deeper than the column-wise evaluation goes row by row.
  FilterCondition chain = FilterCondition::gte("a", Value(uint64_t{64}));
  for (int i = 0; i < 200; ++i) chain = FilterCondition::not_of(FilterCondition::not_of(std::move(chain)));
  expect_same_as_payloads(columns, payloads, chain);
}

}  // namespace
}  // namespace varnel
