#include "json.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace varnel::json {
namespace {

std::string str(std::string_view v) {
  std::string s;
  write_string(s, v);
  return s;
}

std::string dump(const Value& v) {
  std::string s;
  write_value(s, v);
  return s;
}

// A value from our own reader (the test's inputs are valid).
Value v(std::string_view text) {
  Reader r(text);
  Value out;
  EXPECT_TRUE(r.read_value(&out) && r.finish()) << r.error();
  return out;
}

// Reads one whole value; the error text when that fails.
struct ReadOutcome {
  bool ok;
  Value value;
  std::string error;
};

ReadOutcome read_text(std::string_view text) {
  Reader r(text);
  Value v;
  bool ok = r.read_value(&v) && r.finish();
  return {ok, std::move(v), r.error()};
}

// ------------------------------------------------------------------ writer

struct EscapeCase {
  std::string raw;
  std::string text;
};

class WriteString : public ::testing::TestWithParam<EscapeCase> {};

TEST_P(WriteString, EscapesOnlyWhatItMust) {
  EXPECT_EQ(str(GetParam().raw), GetParam().text);
  // And the reader undoes it.
  ReadOutcome back = read_text(GetParam().text);
  ASSERT_TRUE(back.ok) << back.error;
  EXPECT_EQ(back.value.get<std::string>(), GetParam().raw);
}

INSTANTIATE_TEST_SUITE_P(
    Table, WriteString,
    ::testing::Values(
        EscapeCase{"", "\"\""}, EscapeCase{"plain", "\"plain\""},
        EscapeCase{"a\"b", "\"a\\\"b\""}, EscapeCase{"a\\b", "\"a\\\\b\""},
        EscapeCase{"\b\t\n\f\r", "\"\\b\\t\\n\\f\\r\""},
        EscapeCase{std::string("\0", 1), "\"\\u0000\""}, EscapeCase{"\x01", "\"\\u0001\""},
        EscapeCase{"\x0b", "\"\\u000b\""}, EscapeCase{"\x1f", "\"\\u001f\""},
        EscapeCase{"\x7f", "\"\x7f\""}, EscapeCase{"a/b", "\"a/b\""},
        EscapeCase{"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80",
                   "\"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80\""},
        EscapeCase{"x\ny\"z\\", "\"x\\ny\\\"z\\\\\""}));

TEST(WriteValue, WritesEveryKindCompactly) {
  Value val = v(R"({"b":[1,-2,2.0,true,false,null,"s",{}],"a":{"z":1,"y":[]}})");
  EXPECT_EQ(dump(val), R"({"a":{"y":[],"z":1},"b":[1,-2,2.0,true,false,null,"s",{}]})");
  EXPECT_EQ(dump(Value(std::numeric_limits<uint64_t>::max())), "18446744073709551615");
  EXPECT_EQ(dump(Value(std::numeric_limits<int64_t>::min())), "-9223372036854775808");
  EXPECT_EQ(dump(Value(std::nan(""))), "null");
  EXPECT_EQ(dump(Value::array()), "[]");
  EXPECT_EQ(dump(Value::object()), "{}");
  EXPECT_EQ(dump(Value("k\x01")), "\"k\\u0001\"");
}

TEST(WriteValue, WritesDeepNestingWithoutRecursion) {
  // Built programmatically (the reader refuses this depth); writing must
  // not run out of stack.
  const int depth = 100000;
  Value root = Value::array();
  Value* cur = &root;
  for (int i = 1; i < depth; ++i) {
    cur->push_back(Value::array());
    cur = &(*cur)[0];
  }
  std::string out;
  write_value(out, root);
  EXPECT_EQ(out, std::string(depth, '[') + std::string(depth, ']'));
  EXPECT_EQ(check_writable(root, 0), "nesting too deep");
  // Take it apart bottom-up so this test does not rely on the library's own
  // destructor being iterative.
  std::vector<Value*> chain{&root};
  while (!chain.back()->empty()) chain.push_back(&(*chain.back())[0]);
  for (size_t i = chain.size(); i-- > 1;) chain[i - 1]->clear();
}

// ------------------------------------------------------------------ reader

struct ValueCase {
  const char* text;
  Value::value_t type;
  const char* rewritten;  // write_value of what was read
};

class ReadValue : public ::testing::TestWithParam<ValueCase> {};

TEST_P(ReadValue, KeepsNumberFormsAndContent) {
  ReadOutcome r = read_text(GetParam().text);
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_EQ(r.value.type(), GetParam().type);
  EXPECT_EQ(dump(r.value), GetParam().rewritten);
}

using T = Value::value_t;
INSTANTIATE_TEST_SUITE_P(
    Table, ReadValue,
    ::testing::Values(
        ValueCase{"5", T::number_unsigned, "5"}, ValueCase{"0", T::number_unsigned, "0"},
        ValueCase{"-5", T::number_integer, "-5"}, ValueCase{"5.0", T::number_float, "5.0"},
        ValueCase{"1e2", T::number_float, "100.0"}, ValueCase{"1E+2", T::number_float, "100.0"},
        ValueCase{"-0", T::number_float, "-0.0"}, ValueCase{"-0.0", T::number_float, "-0.0"},
        ValueCase{"18446744073709551615", T::number_unsigned, "18446744073709551615"},
        ValueCase{"18446744073709551616", T::number_float, "1.8446744073709552e+19"},
        ValueCase{"-9223372036854775808", T::number_integer, "-9223372036854775808"},
        ValueCase{"-9223372036854775809", T::number_float, "-9.223372036854776e+18"},
        ValueCase{"1e-400", T::number_float, "0.0"}, ValueCase{"-1e-400", T::number_float, "-0.0"},
        ValueCase{"0.1e-999999999999999999999", T::number_float, "0.0"},
        ValueCase{"0e99999999999", T::number_float, "0.0"},
        ValueCase{"1.7976931348623157e308", T::number_float, "1.7976931348623157e+308"},
        ValueCase{"0.30000000000000004", T::number_float, "0.30000000000000004"},
        ValueCase{" \t\r\n true \n", T::boolean, "true"}, ValueCase{"false", T::boolean, "false"},
        ValueCase{"null", T::null, "null"},
        ValueCase{R"("\u00e9\ud83d\ude00\/\"")", T::string, "\"\xc3\xa9\xf0\x9f\x98\x80/\\\"\""},
        ValueCase{R"("\u0000")", T::string, "\"\\u0000\""},
        ValueCase{R"({"k":1,"k":2})", T::object, R"({"k":2})"},
        ValueCase{R"({"b":1,"a":2})", T::object, R"({"a":2,"b":1})"},
        ValueCase{"[ 1 , [ ] , { } ]", T::array, "[1,[],{}]"}));

struct ErrorCase {
  std::string text;
  const char* error;
};

class ReadError : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(ReadError, GivesTextWithLineAndColumn) {
  ReadOutcome r = read_text(GetParam().text);
  ASSERT_FALSE(r.ok);
  EXPECT_EQ(r.error, GetParam().error) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    Table, ReadError,
    ::testing::Values(
        ErrorCase{"", "EOF while parsing a value at line 1 column 0"},
        ErrorCase{"   ", "EOF while parsing a value at line 1 column 3"},
        ErrorCase{"\n\n", "EOF while parsing a value at line 3 column 0"},
        ErrorCase{"x", "expected value at line 1 column 1"},
        ErrorCase{"nul", "EOF while parsing a value at line 1 column 3"},
        ErrorCase{"nulx", "expected value at line 1 column 4"},
        ErrorCase{"1 2", "trailing characters at line 1 column 3"},
        ErrorCase{"{}\n x", "trailing characters at line 2 column 2"},
        ErrorCase{"[", "EOF while parsing a list at line 1 column 1"},
        ErrorCase{"[1", "EOF while parsing a list at line 1 column 2"},
        ErrorCase{"[1,", "EOF while parsing a value at line 1 column 3"},
        ErrorCase{"[1 2]", "expected `,` or `]` at line 1 column 4"},
        ErrorCase{"[1,]", "trailing comma at line 1 column 4"},
        ErrorCase{"{", "EOF while parsing an object at line 1 column 1"},
        ErrorCase{"{\"a\"", "EOF while parsing an object at line 1 column 4"},
        ErrorCase{"{\"a\" 1}", "expected `:` at line 1 column 6"},
        ErrorCase{"{\"a\":", "EOF while parsing a value at line 1 column 5"},
        ErrorCase{"{\"a\":1 \"b\":2}", "expected `,` or `}` at line 1 column 8"},
        ErrorCase{"{\"a\":1,}", "trailing comma at line 1 column 8"},
        ErrorCase{"{1:2}", "key must be a string at line 1 column 2"},
        ErrorCase{"\"abc", "EOF while parsing a string at line 1 column 4"},
        ErrorCase{"\"a\\", "EOF while parsing a string at line 1 column 3"},
        ErrorCase{"\"a\\x\"", "invalid escape at line 1 column 4"},
        ErrorCase{"\"\\u12g4\"", "invalid escape at line 1 column 6"},
        ErrorCase{"\"\\u12", "EOF while parsing a string at line 1 column 5"},
        ErrorCase{"\"a\tb\"", "control character (\\u0000-\\u001F) found while parsing a string "
                              "at line 1 column 3"},
        ErrorCase{"\"\\ud800\"", "lone leading surrogate in hex escape at line 1 column 8"},
        ErrorCase{"\"\\ud800\\n\"", "lone leading surrogate in hex escape at line 1 column 9"},
        ErrorCase{"\"\\ud800\\u0041\"", "lone leading surrogate in hex escape at line 1 column 13"},
        ErrorCase{"\"\\udc00\"", "lone leading surrogate in hex escape at line 1 column 7"},
        ErrorCase{"\"\xff\"", "invalid unicode code point at line 1 column 2"},
        ErrorCase{"\"\xc3\"", "invalid unicode code point at line 1 column 2"},
        ErrorCase{"\"\xc0\xaf\"", "invalid unicode code point at line 1 column 2"},      // overlong
        ErrorCase{"\"\xed\xa0\x80\"", "invalid unicode code point at line 1 column 2"},  // surrogate
        ErrorCase{"\"\xf4\x90\x80\x80\"", "invalid unicode code point at line 1 column 2"},
        ErrorCase{"\"ok\xe2\x82\"", "invalid unicode code point at line 1 column 4"},  // cut short
        ErrorCase{"01", "invalid number at line 1 column 2"},
        ErrorCase{"-", "EOF while parsing a value at line 1 column 1"},
        ErrorCase{"-x", "invalid number at line 1 column 2"},
        ErrorCase{"1.", "EOF while parsing a value at line 1 column 2"},
        ErrorCase{"1.e5", "invalid number at line 1 column 3"},
        ErrorCase{"1e", "EOF while parsing a value at line 1 column 2"},
        ErrorCase{"1e+", "EOF while parsing a value at line 1 column 3"},
        ErrorCase{"1ex", "invalid number at line 1 column 3"},
        ErrorCase{"+1", "expected value at line 1 column 1"},
        ErrorCase{".5", "expected value at line 1 column 1"},
        ErrorCase{"1E400", "number out of range at line 1 column 5"},
        ErrorCase{"-1e309", "number out of range at line 1 column 6"},
        ErrorCase{"[\n  1E400]", "number out of range at line 2 column 7"},
        ErrorCase{std::string(400, '9'), "number out of range at line 1 column 400"},
        ErrorCase{"NaN", "expected value at line 1 column 1"},
        ErrorCase{"\xef\xbb\xbf{}", "expected value at line 1 column 1"}));

std::string nested(size_t levels) {
  std::string s;
  for (size_t i = 0; i < levels; ++i) s += i % 2 ? "{\"k\":" : "[";
  for (size_t i = levels; i-- > 0;) s += i % 2 ? "}" : "]";
  return s;
}

TEST(ReadNesting, Allows127LevelsAndRefuses128th) {
  ReadOutcome ok = read_text(nested(127));
  EXPECT_TRUE(ok.ok) << ok.error;
  EXPECT_EQ(dump(ok.value), nested(127));

  ReadOutcome deep = read_text(nested(128));
  ASSERT_FALSE(deep.ok);
  // Level 128 is an array opened after 64 "[" and 63 "{\"k\":".
  EXPECT_EQ(deep.error, "recursion limit exceeded at line 1 column " +
                            std::to_string(64 + 63 * 5 + 1));
}

TEST(ReadNesting, HundredThousandLevelsFailCleanly) {
  for (std::string open : {"[", "{\"a\":"}) {
    std::string text;
    for (int i = 0; i < 100000; ++i) text += open;
    ReadOutcome r = read_text(text);
    ASSERT_FALSE(r.ok);
    EXPECT_EQ(r.error, "recursion limit exceeded at line 1 column " +
                           std::to_string(127 * open.size() + 1));
    Reader skipping(text);
    EXPECT_FALSE(skipping.skip_value());
  }
}

TEST(ReadNesting, LimitCountsLevelsOpenedByTheCaller) {
  std::string text = "[" + nested(127) + "]";
  Reader r(text);
  ASSERT_TRUE(r.begin_array());
  ASSERT_TRUE(r.next_element());
  Value v;
  EXPECT_FALSE(r.read_value(&v));
  EXPECT_EQ(r.error().rfind("recursion limit exceeded", 0), 0u) << r.error();
}

TEST(ReadValue, RoundTripsRandomValues) {
  std::mt19937_64 rng(42);
  auto random_string = [&]() {
    static const char* pieces[] = {"a", "\"", "\\", "\n", "\x01", "\x7f", "/", "\xc3\xa9",
                                   "\xf0\x9f\x98\x80", "key", " ", "\t", "\x1f"};
    std::string s;
    for (int n = rng() % 6; n > 0; --n) s += pieces[rng() % std::size(pieces)];
    return s;
  };
  std::function<Value(int)> random_value = [&](int depth) -> Value {
    switch (rng() % (depth > 4 ? 6 : 8)) {
      case 0: return nullptr;
      case 1: return rng() % 2 == 0;
      case 2: return static_cast<uint64_t>(rng() >> (rng() % 64));
      case 3: return -static_cast<int64_t>(rng() >> (1 + rng() % 63)) - 1;
      case 4: {
        uint64_t bits = rng();
        double d;
        std::memcpy(&d, &bits, sizeof d);
        if (!std::isfinite(d)) d = 1.5;
        return d;
      }
      case 5: return random_string();
      case 6: {
        Value a = Value::array();
        for (int n = rng() % 4; n > 0; --n) a.push_back(random_value(depth + 1));
        return a;
      }
      default: {
        Value o = Value::object();
        for (int n = rng() % 4; n > 0; --n) o[random_string()] = random_value(depth + 1);
        return o;
      }
    }
  };
  for (int i = 0; i < 2000; ++i) {
    Value orig = random_value(0);
    std::string text = dump(orig);
    ReadOutcome back = read_text(text);
    ASSERT_TRUE(back.ok) << back.error << " in " << text;
    EXPECT_TRUE(equal(back.value, orig)) << text;
    EXPECT_EQ(dump(back.value), text);
    EXPECT_EQ(check_writable(orig, 0), "");
  }
}

// --------------------------------------------------------- typed reading

TEST(ReadF32Array, RoundsEachNumberFromDouble) {
  Reader r("[0.1, 1, -2, 3.4028235e38, 1e-50, 16777217, 0.30000000000000004, -0.0]");
  std::vector<float> v{9.0f};
  ASSERT_TRUE(r.read_f32_array(&v) && r.finish()) << r.error();
  std::vector<float> want{0.1f, 1.0f, -2.0f, FLT_MAX, 0.0f, 16777216.0f,
                          static_cast<float>(0.30000000000000004), -0.0f};
  ASSERT_EQ(v.size(), want.size());
  for (size_t i = 0; i < v.size(); ++i) EXPECT_EQ(v[i], want[i]) << i;
  EXPECT_TRUE(std::signbit(v.back()));
}

struct TypedErrorCase {
  const char* text;
  const char* error;
};

class ReadF32ArrayError : public ::testing::TestWithParam<TypedErrorCase> {};

TEST_P(ReadF32ArrayError, RefusesOtherTypes) {
  Reader r(GetParam().text);
  std::vector<float> v;
  EXPECT_FALSE(r.read_f32_array(&v));
  EXPECT_EQ(r.error(), GetParam().error);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ReadF32ArrayError,
    ::testing::Values(
        TypedErrorCase{"[1,null]", "invalid type: null, expected f32 at line 1 column 7"},
        TypedErrorCase{"[\"1\"]", "invalid type: string \"1\", expected f32 at line 1 column 4"},
        TypedErrorCase{"[[1]]", "invalid type: sequence, expected f32 at line 1 column 2"},
        TypedErrorCase{"[true]", "invalid type: boolean `true`, expected f32 at line 1 column 5"},
        TypedErrorCase{"{}", "invalid type: map, expected a sequence at line 1 column 1"},
        TypedErrorCase{"null", "invalid type: null, expected a sequence at line 1 column 4"},
        TypedErrorCase{"[1e400]", "number out of range at line 1 column 6"},
        TypedErrorCase{"[1,", "EOF while parsing a value at line 1 column 3"}));

class ReadU64Error : public ::testing::TestWithParam<TypedErrorCase> {};

TEST_P(ReadU64Error, RefusesAnythingButAnUnsignedInteger) {
  Reader r(GetParam().text);
  uint64_t v = 0;
  EXPECT_FALSE(r.read_u64(&v));
  EXPECT_EQ(r.error(), GetParam().error);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ReadU64Error,
    ::testing::Values(
        TypedErrorCase{"-1", "invalid value: integer `-1`, expected u64 at line 1 column 2"},
        TypedErrorCase{"3.0", "invalid type: floating point `3.0`, expected u64 at line 1 column 3"},
        TypedErrorCase{"18446744073709551616",
                       "invalid type: floating point `1.8446744073709552e+19`, expected u64 at "
                       "line 1 column 20"},
        TypedErrorCase{"\"7\"", "invalid type: string \"7\", expected u64 at line 1 column 3"},
        TypedErrorCase{"[7]", "invalid type: sequence, expected u64 at line 1 column 1"},
        TypedErrorCase{"", "EOF while parsing a value at line 1 column 0"}));

TEST(ReadVariant, AcceptsNameOrOneMemberObject) {
  constexpr std::string_view kNames[] = {"Insert", "Update", "Delete", "Checkpoint"};
  struct Case {
    const char* text;
    size_t index;
    const char* error;
  };
  const Case cases[] = {
      {"\"Insert\"", 0, ""},
      {"\"Checkpoint\"", 3, ""},
      {"{\"Delete\":null}", 2, ""},
      {" { \"Update\" : null } ", 1, ""},
      {"\"insert\"", 0,
       "unknown variant `insert`, expected one of `Insert`, `Update`, `Delete`, `Checkpoint` at "
       "line 1 column 8"},
      {"{\"Insert\":1}", 0, "invalid type: integer `1`, expected unit at line 1 column 11"},
      {"{\"Insert\":null,\"x\":null}", 0, "expected `}` at line 1 column 15"},
      {"{}", 0, "invalid length 0, expected map with a single key at line 1 column 2"},
      {"1", 0, "invalid type: integer `1`, expected enum Kind at line 1 column 1"},
  };
  for (const Case& c : cases) {
    Reader r(c.text);
    size_t index = 99;
    bool ok = r.read_variant(kNames, "enum Kind", &index) && r.finish();
    EXPECT_EQ(r.error(), c.error) << c.text;
    if (ok) {
      EXPECT_EQ(index, c.index) << c.text;
    }
  }
}

// A worked example for decoders of records: a record with four fields read
// from its object form (any member order, other members skipped) or its
// array form.
struct Sample {
  std::string name;
  uint64_t count = 0;
  std::vector<float> weights;
  size_t shape = 0;
};

// Returns the error text, empty on success.
std::string decode_sample(std::string_view text, Sample* out) {
  static constexpr std::string_view kFields[] = {"name", "count", "weights", "shape"};
  static constexpr std::string_view kShapes[] = {"Round", "Square"};
  Reader r(text);
  StructReader s(r, "Sample", kFields);
  for (int f; (f = s.next_field()) >= 0;) {
    switch (f) {
      case 0: r.read_string(&out->name); break;
      case 1: r.read_u64(&out->count); break;
      case 2: r.read_f32_array(&out->weights); break;
      case 3: r.read_variant(kShapes, "enum Shape", &out->shape); break;
    }
  }
  r.finish();
  return r.error();
}

TEST(StructReader, DecodesBothFormsOfARecord) {
  const char* texts[] = {
      R"({"name":"n","count":3,"weights":[0.5,-1],"shape":"Square"})",
      R"({"shape":{"Square":null},"weights":[0.5,-1.0],"note":{"x":[1,2]},"count":3,"name":"n"})",
      R"(["n",3,[0.5,-1],"Square"])",
      " [ \"n\" , 3 , [ 0.5 , -1 ] , \"Square\" ] \n",
  };
  for (const char* text : texts) {
    Sample s;
    ASSERT_EQ(decode_sample(text, &s), "") << text;
    EXPECT_EQ(s.name, "n");
    EXPECT_EQ(s.count, 3u);
    EXPECT_EQ(s.weights, (std::vector<float>{0.5f, -1.0f}));
    EXPECT_EQ(s.shape, 1u);
  }
}

TEST(StructReader, ReportsShapeErrors) {
  struct Case {
    const char* text;
    const char* error;
  };
  const Case cases[] = {
      {R"({"name":"n","count":3,"weights":[]})", "missing field `shape` at line 1 column 35"},
      {R"({"shape":"Round"})", "missing field `name` at line 1 column 17"},
      {"{}", "missing field `name` at line 1 column 2"},
      {R"({"name":"a","name":"b"})", "duplicate field `name` at line 1 column 19"},
      {R"(["n",3,[]])", "invalid length 3, expected struct Sample with 4 elements at line 1 "
                        "column 10"},
      {"[]", "invalid length 0, expected struct Sample with 4 elements at line 1 column 2"},
      {R"(["n",3,[],"Round",5])", "trailing characters at line 1 column 19"},
      {"7", "invalid type: integer `7`, expected struct Sample at line 1 column 1"},
      {"\"x\"", "invalid type: string \"x\", expected struct Sample at line 1 column 3"},
      {"null", "invalid type: null, expected struct Sample at line 1 column 4"},
      {"", "EOF while parsing a value at line 1 column 0"},
      {R"({"name":"n","count":3,"weights":[],"shape":"Round"} x)",
       "trailing characters at line 1 column 53"},
      {R"({"name":"n","count":-3})", "invalid value: integer `-3`, expected u64 at line 1 "
                                     "column 22"},
      {R"({"name":"n","other":[1,})", "expected value at line 1 column 24"},
      {R"({"name":"n","weights":[null]})", "invalid type: null, expected f32 at line 1 column 27"},
      {R"({"name":"n","shape":"Oval"})",
       "unknown variant `Oval`, expected one of `Round`, `Square` at line 1 column 26"},
  };
  for (const Case& c : cases) {
    Sample s;
    EXPECT_EQ(decode_sample(c.text, &s), c.error) << c.text;
  }
}

TEST(Reader, FirstErrorSticks) {
  Reader r("[1,2");
  std::vector<float> v;
  EXPECT_FALSE(r.read_f32_array(&v));
  std::string first = r.error();
  uint64_t x;
  EXPECT_FALSE(r.read_u64(&x));
  EXPECT_FALSE(r.finish());
  EXPECT_FALSE(r.fail("other"));
  EXPECT_EQ(r.error(), first);
}

// ------------------------------------------------------------------ values

TEST(Equal, NeedsSameKindAndNumberForm) {
  struct Case {
    Value a;
    Value b;
    bool equal;
  };
  const Case cases[] = {
      {Value(1u), Value(1.0), false},
      {Value(1u), Value(1u), true},
      {Value(5), Value(5u), true},  // a non-negative signed integer is the unsigned form
      {Value(-1), Value(std::numeric_limits<uint64_t>::max()), false},
      {Value(-1), Value(-1), true},
      {Value(2.5), Value(2.5), true},
      {Value(0.0), Value(-0.0), true},
      {Value(std::nan("")), Value(std::nan("")), false},
      {Value(nullptr), Value(nullptr), true},
      {Value(nullptr), Value(false), false},
      {Value(true), Value(true), true},
      {Value("a"), Value("a"), true},
      {Value("a"), Value("b"), false},
      {v("[1,[2,{\"a\":3}]]"), v("[1,[2,{\"a\":3}]]"), true},
      {v("[1,[2,{\"a\":3}]]"), v("[1,[2,{\"a\":3.0}]]"), false},
      {v("[1,[2,{\"a\":3}]]"), v("[1,[2,{\"b\":3}]]"), false},
      {v("[1,2]"), v("[2,1]"), false},
      {v("[1,2]"), v("[1,2,3]"), false},
      {v("{\"a\":1,\"b\":2}"), v("{\"b\":2,\"a\":1}"), true},
      {v("{}"), v("[]"), false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(equal(c.a, c.b), c.equal) << dump(c.a) << " vs " << dump(c.b);
    EXPECT_EQ(equal(c.b, c.a), c.equal) << dump(c.b) << " vs " << dump(c.a);
  }
}

TEST(CheckWritable, NamesWhatWouldNotReadBack) {
  EXPECT_EQ(check_writable(v(R"({"a":[1,"x",null]})"), 0), "");
  EXPECT_EQ(check_writable(Value("\xff"), 0), "string is not valid UTF-8");
  Value bad_key = Value::object();
  bad_key["\xc3"] = 1;
  EXPECT_EQ(check_writable(bad_key, 0), "key is not valid UTF-8");
  EXPECT_EQ(check_writable(Value(std::numeric_limits<double>::infinity()), 0),
            "number is not finite");
  // Containers may take levels up to 127 counting those around them.
  ReadOutcome v = read_text(nested(125));
  ASSERT_TRUE(v.ok);
  EXPECT_EQ(check_writable(v.value, 2), "");
  EXPECT_EQ(check_writable(v.value, 3), "nesting too deep");
}

}  // namespace
}  // namespace varnel::json
