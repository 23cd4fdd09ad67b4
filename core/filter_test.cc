#include "filter.h"

#include <gtest/gtest.h>

#include <functional>
#include <limits>
#include <string>
#include <vector>

namespace varnel {
namespace {

using C = FilterCondition;
using json::Value;

Value val(std::string_view text) {
  json::Reader r(text);
  Value v;
  EXPECT_TRUE(r.read_value(&v) && r.finish()) << r.error();
  return v;
}

// A payload from the text of its data map.
Payload payload(std::string_view data) {
  Payload p;
  Value v = val(data);
  for (auto& [k, x] : v.items()) p.data[k] = x;
  return p;
}

struct Case {
  const char* name;
  const char* data;  // the payload's fields
  C (*make)();
  bool want;
};

class FilterTable : public ::testing::TestWithParam<Case> {};

TEST_P(FilterTable, Matches) {
  Filter f{GetParam().make()};
  EXPECT_EQ(f.matches(payload(GetParam().data)), GetParam().want);
}

std::string case_name(const ::testing::TestParamInfo<Case>& info) { return info.param.name; }

INSTANTIATE_TEST_SUITE_P(
    EmptyPayload, FilterTable,
    ::testing::Values(
        Case{"Eq", "{}", [] { return C::eq("a", nullptr); }, false},
        Case{"Ne", "{}", [] { return C::ne("a", 1u); }, true},
        Case{"Gt", "{}", [] { return C::gt("a", 1u); }, false},
        Case{"Gte", "{}", [] { return C::gte("a", 1u); }, false},
        Case{"Lt", "{}", [] { return C::lt("a", 1u); }, false},
        Case{"Lte", "{}", [] { return C::lte("a", 1u); }, false},
        Case{"In", "{}", [] { return C::in("a", {Value(1u)}); }, false},
        Case{"Contains", "{}", [] { return C::contains("a", ""); }, false},
        Case{"Exists", "{}", [] { return C::exists("a"); }, false},
        Case{"NotExists", "{}", [] { return C::not_of(C::exists("a")); }, true}),
    case_name);

INSTANTIATE_TEST_SUITE_P(
    NullField, FilterTable,
    ::testing::Values(
        Case{"Exists", R"({"a":null})", [] { return C::exists("a"); }, true},
        Case{"EqNull", R"({"a":null})", [] { return C::eq("a", nullptr); }, true},
        Case{"EqFalse", R"({"a":null})", [] { return C::eq("a", false); }, false},
        Case{"NeNull", R"({"a":null})", [] { return C::ne("a", nullptr); }, false},
        Case{"Gt", R"({"a":null})", [] { return C::gt("a", -1e300); }, false},
        Case{"Lte", R"({"a":null})", [] { return C::lte("a", 1e300); }, false}),
    case_name);

INSTANTIATE_TEST_SUITE_P(
    Numbers, FilterTable,
    ::testing::Values(
        Case{"IntEqFloat", R"({"a":5})", [] { return C::eq("a", 5.0); }, false},
        Case{"IntEqInt", R"({"a":5})", [] { return C::eq("a", 5u); }, true},
        Case{"IntEqSignedBuilt", R"({"a":5})", [] { return C::eq("a", 5); }, true},
        Case{"IntNeFloat", R"({"a":5})", [] { return C::ne("a", 5.0); }, true},
        Case{"IntGteFloat", R"({"a":5})", [] { return C::gte("a", 5.0); }, true},
        Case{"IntGtFloat", R"({"a":5})", [] { return C::gt("a", 5.0); }, false},
        Case{"IntLtString", R"({"a":5})", [] { return C::lt("a", "6"); }, false},
        Case{"StringGtInt", R"({"a":"9"})", [] { return C::gt("a", 1u); }, false},
        Case{"FloatGtInt", R"({"a":2.5})", [] { return C::gt("a", 2u); }, true},
        Case{"FloatLteInt", R"({"a":2.5})", [] { return C::lte("a", 2u); }, false},
        Case{"FloatLtInt", R"({"a":2.5})", [] { return C::lt("a", 3u); }, true},
        Case{"NegativeLt", R"({"a":-3})", [] { return C::lt("a", 0u); }, true},
        Case{"StoredOnLeft", R"({"a":1})", [] { return C::lt("a", 2u); }, true},
        Case{"BoolIsNotNumber", R"({"a":true})", [] { return C::gte("a", 0u); }, false},
        // Above 2^53 integers compare by their rounded doubles.
        Case{"BigGteRounded", R"({"a":9007199254740993})",
             [] { return C::gte("a", uint64_t{9007199254740992}); }, true},
        Case{"BigLteRounded", R"({"a":9007199254740993})",
             [] { return C::lte("a", uint64_t{9007199254740992}); }, true},
        Case{"BigEqExact", R"({"a":9007199254740993})",
             [] { return C::eq("a", uint64_t{9007199254740992}); }, false},
        Case{"NanNeverOrders", R"({"a":1})",
             [] { return C::lte("a", std::numeric_limits<double>::quiet_NaN()); }, false},
        Case{"NegativeVsUnsignedMax", R"({"a":-1})",
             [] { return C::eq("a", std::numeric_limits<uint64_t>::max()); }, false}),
    case_name);

INSTANTIATE_TEST_SUITE_P(
    Structured, FilterTable,
    ::testing::Values(
        Case{"ArrayEq", R"({"a":[1,{"b":"x"}]})", [] { return C::eq("a", val(R"([1,{"b":"x"}])")); },
             true},
        Case{"ArrayEqFloatInside", R"({"a":[1,{"b":"x"}]})",
             [] { return C::eq("a", val(R"([1.0,{"b":"x"}])")); }, false},
        Case{"ObjectEqOtherKey", R"({"a":{"b":1}})", [] { return C::eq("a", val(R"({"c":1})")); },
             false},
        Case{"KeyWithDotIsJustAKey", R"({"a.b":1,"a":{"b":2}})", [] { return C::eq("a.b", 1u); },
             true},
        Case{"FieldComparedByteForByte", R"({"A":1})", [] { return C::exists("a"); }, false}),
    case_name);

INSTANTIATE_TEST_SUITE_P(
    InList, FilterTable,
    ::testing::Values(
        Case{"Empty", R"({"a":1})", [] { return C::in("a", {}); }, false},
        Case{"NotEmpty", R"({"a":1})", [] { return C::not_of(C::in("a", {})); }, true},
        Case{"Second", R"({"a":"y"})", [] { return C::in("a", {Value("x"), Value("y")}); }, true},
        Case{"FloatDoesNotMatchInt", R"({"a":1})", [] { return C::in("a", {Value(1.0)}); }, false},
        Case{"NullInList", R"({"a":null})", [] { return C::in("a", {Value(0u), Value()}); }, true},
        Case{"AbsentField", R"({"b":1})", [] { return C::in("a", {Value(1u)}); }, false}),
    case_name);

INSTANTIATE_TEST_SUITE_P(
    Element, FilterTable,
    ::testing::Values(
        Case{"Number", R"({"a":[3,1,2]})", [] { return C::contains_element("a", 1u); }, true},
        Case{"NumberFormKept", R"({"a":[3,1,2]})", [] { return C::contains_element("a", 1.0); },
             false},
        Case{"String", R"({"a":["x","jazz"]})", [] { return C::contains_element("a", "jazz"); },
             true},
        Case{"NoSubstringInElements", R"({"a":["jazz fusion"]})",
             [] { return C::contains_element("a", "jazz"); }, false},
        Case{"Null", R"({"a":[null]})", [] { return C::contains_element("a", nullptr); }, true},
        Case{"Nested", R"({"a":[[1,2],{"b":1}]})",
             [] { return C::contains_element("a", val(R"({"b":1})")); }, true},
        Case{"NotDeep", R"({"a":[[1,2]]})", [] { return C::contains_element("a", 1u); }, false},
        Case{"EmptyArray", R"({"a":[]})", [] { return C::contains_element("a", nullptr); }, false},
        Case{"StringFieldIsNoArray", R"({"a":"jazz"})",
             [] { return C::contains_element("a", "jazz"); }, false},
        Case{"ObjectFieldIsNoArray", R"({"a":{"jazz":1}})",
             [] { return C::contains_element("a", "jazz"); }, false},
        Case{"Absent", R"({"b":[1]})", [] { return C::contains_element("a", 1u); }, false}),
    case_name);

INSTANTIATE_TEST_SUITE_P(
    Substring, FilterTable,
    ::testing::Values(
        Case{"Middle", R"({"s":"hello"})", [] { return C::contains("s", "ell"); }, true},
        Case{"Empty", R"({"s":"hello"})", [] { return C::contains("s", ""); }, true},
        Case{"CaseSensitive", R"({"s":"hello"})", [] { return C::contains("s", "Hello"); }, false},
        Case{"Whole", R"({"s":"hello"})", [] { return C::contains("s", "hello"); }, true},
        Case{"Longer", R"({"s":"hello"})", [] { return C::contains("s", "hello!"); }, false},
        Case{"OneByteEnd", R"({"s":"hello"})", [] { return C::contains("s", "o"); }, true},
        Case{"Utf8Bytes", R"({"s":"caf\u00e9"})", [] { return C::contains("s", "\xc3\xa9"); }, true},
        Case{"EmptyText", R"({"s":""})", [] { return C::contains("s", ""); }, true},
        Case{"ArrayNotSearched", R"({"s":["hello"]})", [] { return C::contains("s", "hello"); },
             false},
        Case{"ArrayEmptySubstring", R"({"s":["hello"]})", [] { return C::contains("s", ""); },
             false},
        Case{"NumberNotString", R"({"s":123})", [] { return C::contains("s", "2"); }, false}),
    case_name);

INSTANTIATE_TEST_SUITE_P(
    Logic, FilterTable,
    ::testing::Values(
        Case{"AndBoth", R"({"a":1,"b":2})",
             [] { return C::and_of(C::eq("a", 1u), C::eq("b", 2u)); }, true},
        Case{"AndRightFails", R"({"a":1,"b":2})",
             [] { return C::and_of(C::eq("a", 1u), C::eq("b", 3u)); }, false},
        Case{"AndLeftFails", R"({"a":1,"b":2})",
             [] { return C::and_of(C::eq("a", 0u), C::eq("b", 2u)); }, false},
        Case{"OrLeft", R"({"a":1})", [] { return C::or_of(C::exists("a"), C::exists("z")); }, true},
        Case{"OrRight", R"({"a":1})", [] { return C::or_of(C::exists("z"), C::exists("a")); },
             true},
        Case{"OrNeither", R"({"a":1})", [] { return C::or_of(C::exists("y"), C::exists("z")); },
             false},
        Case{"NotNot", R"({"a":1})", [] { return C::not_of(C::not_of(C::exists("a"))); }, true},
        Case{"NotAnd", R"({"a":1})",
             [] { return C::not_of(C::and_of(C::exists("a"), C::exists("z"))); }, true},
        Case{"NotOr", R"({"a":1})",
             [] { return C::not_of(C::or_of(C::exists("z"), C::exists("a"))); }, false},
        Case{"NotInsideLeftOfAnd", R"({"a":1})",
             [] { return C::and_of(C::not_of(C::exists("z")), C::exists("a")); }, true},
        Case{"NotAroundLeftAndRight", R"({"a":1})",
             [] {
               return C::not_of(C::or_of(C::and_of(C::exists("a"), C::not_of(C::exists("a"))),
                                         C::not_of(C::exists("z"))));
             },
             false}),
    case_name);

// A reference evaluation by plain recursion, to compare the loop with.
bool reference(const C* c, const Payload& p) {
  switch (c->kind) {
    case C::Kind::kAnd:
      for (const C& op : c->operands) {
        if (!reference(&op, p)) return false;
      }
      return true;
    case C::Kind::kOr:
      for (const C& op : c->operands) {
        if (reference(&op, p)) return true;
      }
      return false;
    case C::Kind::kNot: return !reference(c->inner.get(), p);
    default: return c->matches(p);
  }
}

TEST(Filter, LoopAgreesWithRecursionOnRandomTrees) {
  uint64_t seed = 12345;
  auto next = [&]() {
    seed = seed * 6364136223846793005ull + 1442695040888963407ull;
    return seed >> 33;
  };
  std::function<C(int)> tree = [&](int depth) -> C {
    int pick = static_cast<int>(next() % (depth > 6 ? 3 : 8));
    switch (pick) {
      case 0: return C::exists(next() % 2 ? "a" : "z");
      case 1: return C::eq("a", static_cast<uint64_t>(next() % 2));
      case 2: return C::gt("b", static_cast<double>(next() % 3));
      case 3: return C::not_of(tree(depth + 1));
      case 4: return C::and_of(tree(depth + 1), tree(depth + 1));
      case 5: return C::or_of(tree(depth + 1), tree(depth + 1));
      default: {
        std::vector<C> ops;
        for (uint64_t n = next() % 5; n > 0; --n) ops.push_back(tree(depth + 1));
        return pick == 6 ? C::all_of(std::move(ops)) : C::any_of(std::move(ops));
      }
    }
  };
  const Payload payloads[] = {payload("{}"), payload(R"({"a":1,"b":2})"),
                              payload(R"({"a":0,"b":0.5})")};
  for (int i = 0; i < 3000; ++i) {
    C c = tree(0);
    for (const Payload& p : payloads) ASSERT_EQ(c.matches(p), reference(&c, p)) << i;
  }
}

TEST(Filter, ContainsSearchesBytes) {
  Payload p;
  std::string text(5000, 'a');
  text += "b";
  text += std::string("x\0y", 3);
  p.data["s"] = text;
  struct Sub {
    std::string sub;
    bool found;
  };
  const Sub subs[] = {
      {std::string(1000, 'a') + "b", true},  {std::string(1000, 'a') + "c", false},
      {std::string("\0y", 2), true},          {std::string("x\0", 2), true},
      {std::string("\0", 1), true},           {std::string("\0z", 2), false},
      {text, true},                           {text + "!", false},
      {"ab", true},                           {"ba", false},
  };
  for (const Sub& s : subs) {
    EXPECT_EQ(C::contains("s", s.sub).matches(p), s.found) << s.sub.size();
  }
}

// And/Or of n operands: the answer for every pattern of operand results,
// the deciding operand at every position, under a Not as well.
TEST(Filter, AndOrOfManyOperandsDecideAtEveryPosition) {
  Payload p = payload(R"({"a":1})");
  for (size_t n = 0; n <= 5; ++n) {
    for (uint32_t mask = 0; mask < (1u << n); ++mask) {
      auto operands = [&] {
        std::vector<C> ops;
        for (size_t i = 0; i < n; ++i) ops.push_back(C::exists((mask >> i & 1) ? "a" : "z"));
        return ops;
      };
      const bool all = mask == (1u << n) - 1;
      const bool any = mask != 0;
      EXPECT_EQ(C::all_of(operands()).matches(p), all) << n << " " << mask;
      EXPECT_EQ(C::any_of(operands()).matches(p), any) << n << " " << mask;
      EXPECT_EQ(C::not_of(C::all_of(operands())).matches(p), !all) << n << " " << mask;
      EXPECT_EQ(C::not_of(C::any_of(operands())).matches(p), !any) << n << " " << mask;
    }
  }
}

TEST(Filter, MissingSubConditionMatchesNothingAndEmptyAndMatchesAll) {
  C n;
  n.kind = C::Kind::kNot;  // no inner
  C a;
  a.kind = C::Kind::kAnd;  // no operands
  C o;
  o.kind = C::Kind::kOr;  // no operands
  Payload p = payload(R"({"a":1})");
  EXPECT_TRUE(n.matches(p));
  EXPECT_TRUE(a.matches(p));
  EXPECT_FALSE(o.matches(p));
}

TEST(Filter, HundredThousandOperandsEvaluateAndAreDestroyed) {
  Payload p = payload(R"({"a":7})");
  std::vector<C> ors;
  for (uint64_t i = 0; i < 100000; ++i) ors.push_back(C::eq("a", i + 8));
  ors.push_back(C::eq("a", 7u));
  std::vector<C> ands;
  for (int i = 0; i < 100000; ++i) ands.push_back(C::exists("a"));
  ands.push_back(C::any_of(std::move(ors)));
  C c = C::all_of(std::move(ands));
  EXPECT_TRUE(c.matches(p));
  EXPECT_FALSE(c.matches(payload(R"({"a":6})")));
}

C not_chain(size_t n, C leaf) {
  C c = std::move(leaf);
  for (size_t i = 0; i < n; ++i) c = C::not_of(std::move(c));
  return c;
}

TEST(Filter, MillionNotChainEvaluatesAndIsDestroyed) {
  Payload p = payload(R"({"a":1})");
  {
    C even = not_chain(1000000, C::exists("a"));
    EXPECT_TRUE(even.matches(p));
  }
  EXPECT_FALSE(not_chain(99999, C::exists("a")).matches(p));
  EXPECT_TRUE(not_chain(1000, C::exists("a")).matches(p));
}

TEST(Filter, MillionAndChainThroughRightEvaluatesAndIsDestroyed) {
  Payload p = payload(R"({"a":1})");
  C c = C::exists("a");
  for (int i = 0; i < 1000000; ++i) c = C::and_of(C::exists("a"), std::move(c));
  EXPECT_TRUE(c.matches(p));
  C o = C::exists("z");
  for (int i = 0; i < 100000; ++i) o = C::or_of(C::exists("z"), std::move(o));
  EXPECT_FALSE(o.matches(p));
}

TEST(Filter, DeepChainThroughLeftEvaluatesAndIsDestroyed) {
  // Nesting through the left operand takes frames of its own; 200,000 of
  // them must not exhaust the native stack.
  Payload p = payload(R"({"a":1})");
  C c = C::exists("a");
  for (int i = 0; i < 200000; ++i) c = C::and_of(std::move(c), C::exists("a"));
  EXPECT_TRUE(c.matches(p));
  C o = C::exists("z");
  for (int i = 0; i < 200000; ++i) o = C::or_of(std::move(o), C::exists("z"));
  EXPECT_FALSE(o.matches(p));
  EXPECT_TRUE(C::not_of(std::move(o)).matches(p));
}

TEST(Filter, MoveAssignIntoOwnSubtree) {
  C c = C::not_of(C::not_of(C::exists("a")));
  c = std::move(*c.inner);  // the old root owns the source
  ASSERT_EQ(c.kind, C::Kind::kNot);
  ASSERT_TRUE(c.inner);
  EXPECT_EQ(c.inner->kind, C::Kind::kExists);
  EXPECT_FALSE(c.matches(payload(R"({"a":1})")));
}

}  // namespace
}  // namespace varnel
