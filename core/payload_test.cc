#include "payload.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

namespace varnel {
namespace {

json::Value val(std::string_view text) {
  json::Reader r(text);
  json::Value v;
  EXPECT_TRUE(r.read_value(&v) && r.finish()) << r.error();
  return v;
}

std::string dump(const json::Value& v) {
  std::string s;
  json::write_value(s, v);
  return s;
}

Payload read_ok(std::string_view text) {
  auto r = Payload::from_json(text);
  EXPECT_TRUE(r.ok()) << text << ": " << (r.ok() ? "" : r.error());
  return r.ok() ? std::move(r).value() : Payload{};
}

TEST(Payload, EmptyIsElevenBytesAndReadsBack) {
  Payload p;
  EXPECT_TRUE(p.empty());
  EXPECT_EQ(p.to_json(), "{\"data\":{}}");
  EXPECT_EQ(p.to_json().size(), 11u);
  EXPECT_TRUE(read_ok("{\"data\":{}}").empty());
}

TEST(Payload, WriteAppendsToWhatIsThere) {
  Payload p;
  p.data["a"] = 1u;
  std::string out = "x";
  p.write_json(out);
  EXPECT_EQ(out, "x{\"data\":{\"a\":1}}");
}

TEST(Payload, FieldsComeOutInAnyOrderAndReadBackTheSame) {
  Payload p;
  for (int i = 0; i < 50; ++i) p.data["k" + std::to_string(i)] = static_cast<uint64_t>(i);
  std::string text = p.to_json();
  EXPECT_EQ(text.find_first_of(" \t\n"), std::string::npos);
  Payload back = read_ok(text);
  ASSERT_EQ(back.data.size(), 50u);
  for (const auto& [k, v] : p.data) {
    ASSERT_EQ(back.data.count(k), 1u) << k;
    EXPECT_TRUE(json::equal(back.data.at(k), v)) << k;
  }
  // The same fields inserted in the opposite order read back to the same set.
  Payload q;
  for (int i = 49; i >= 0; --i) q.data["k" + std::to_string(i)] = static_cast<uint64_t>(i);
  Payload back_q = read_ok(q.to_json());
  EXPECT_EQ(back_q.data.size(), back.data.size());
  for (const auto& [k, v] : back.data) EXPECT_TRUE(json::equal(back_q.data.at(k), v)) << k;
}

struct ReadCase {
  const char* text;
  const char* fields;  // the data map written as a sorted JSON object
};

class PayloadRead : public ::testing::TestWithParam<ReadCase> {};

TEST_P(PayloadRead, AcceptsBothForms) {
  Payload p = read_ok(GetParam().text);
  json::Value sorted = json::Value::object();
  for (const auto& [k, v] : p.data) sorted[k] = v;
  EXPECT_EQ(dump(sorted), GetParam().fields);
}

INSTANTIATE_TEST_SUITE_P(
    Table, PayloadRead,
    ::testing::Values(
        ReadCase{R"({"other":1,"data":{}})", "{}"},
        ReadCase{R"({"data":{},"other":[1,{"x":null}]})", "{}"},
        ReadCase{R"([{"k":true}])", R"({"k":true})"},
        ReadCase{R"({"data":{"k":1,"k":2}})", R"({"k":2})"},
        ReadCase{R"({"data":{"f":2.0,"i":2,"n":-2}})", R"({"f":2.0,"i":2,"n":-2})"},
        ReadCase{R"({"data":{"o":{"b":1,"a":2}}})", R"({"o":{"a":2,"b":1}})"},
        ReadCase{" \n{ \"data\" : { \"a\" : [ 1 , \"s\" ] } }\r\n", R"({"a":[1,"s"]})"},
        ReadCase{R"({"data":{"a.b":1}})", R"({"a.b":1})"},
        ReadCase{R"({"d\u0061ta":{"a":1}})", R"({"a":1})"}));  // name compared after unescaping

struct ErrorCase {
  std::string text;
  const char* error;
};

class PayloadReadError : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(PayloadReadError, FailsWithTheReaderText) {
  auto r = Payload::from_json(GetParam().text);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error(), GetParam().error);
}

std::string nested_value(size_t levels) {
  return std::string(levels, '[') + std::string(levels, ']');
}

INSTANTIATE_TEST_SUITE_P(
    Table, PayloadReadError,
    ::testing::Values(
        ErrorCase{"{}", "missing field `data` at line 1 column 2"},
        ErrorCase{R"({"other":1})", "missing field `data` at line 1 column 11"},
        ErrorCase{R"({"data":{},"data":{}})", "duplicate field `data` at line 1 column 18"},
        ErrorCase{"[]", "invalid length 0, expected struct Payload with 1 element at line 1 "
                        "column 2"},
        ErrorCase{R"([{},{}])", "trailing characters at line 1 column 5"},
        ErrorCase{"1", "invalid type: integer `1`, expected struct Payload at line 1 column 1"},
        ErrorCase{"null", "invalid type: null, expected struct Payload at line 1 column 4"},
        ErrorCase{"\"data\"", "invalid type: string \"data\", expected struct Payload at line 1 "
                              "column 6"},
        ErrorCase{R"({"data":[]})", "invalid type: sequence, expected a map at line 1 column 9"},
        ErrorCase{R"({"data":null})", "invalid type: null, expected a map at line 1 column 12"},
        ErrorCase{R"({"data":{}} {})", "trailing characters at line 1 column 13"},
        ErrorCase{R"({"data":{"a":1)", "EOF while parsing an object at line 1 column 14"},
        ErrorCase{R"({"data":{"a":1E400}})", "number out of range at line 1 column 18"},
        ErrorCase{"", "EOF while parsing a value at line 1 column 0"},
        // Levels: payload 1, data 2, then 125 more reach 127; one more fails.
        ErrorCase{"{\"data\":{\"a\":" + nested_value(126) + "}}",
                  "recursion limit exceeded at line 1 column 139"}));

TEST(Payload, ValuesNestedUpToTheLimitRead) {
  std::string text = "{\"data\":{\"a\":" + nested_value(125) + "}}";
  Payload p = read_ok(text);
  EXPECT_EQ(p.to_json(), text);
}

TEST(Payload, FloatStaysFloatThroughWriteAndRead) {
  Payload p;
  p.data["f"] = 2.0;
  p.data["big"] = 1e16;
  EXPECT_EQ(dump(p.data["f"]), "2.0");
  Payload back = read_ok(p.to_json());
  ASSERT_TRUE(back.data["f"].is_number_float());
  EXPECT_EQ(back.data["f"].get<double>(), 2.0);
  ASSERT_TRUE(back.data["big"].is_number_float());
  EXPECT_FALSE(json::equal(back.data["f"], json::Value(2u)));
}

TEST(Payload, KeysWithEscapesRoundTrip) {
  Payload p;
  p.data["q\"b\\n\nz\x01"] = "v\"\\\n";
  EXPECT_EQ(p.to_json(), R"({"data":{"q\"b\\n\nz\u0001":"v\"\\\n"}})");
  Payload back = read_ok(p.to_json());
  ASSERT_EQ(back.data.size(), 1u);
  EXPECT_EQ(back.data.begin()->first, "q\"b\\n\nz\x01");
  EXPECT_EQ(back.data.begin()->second.get<std::string>(), "v\"\\\n");
}

TEST(Payload, NestedObjectIsWrittenSorted) {
  Payload p = read_ok(R"({"data":{"o":{"b":1,"a":2}}})");
  EXPECT_EQ(p.to_json(), R"({"data":{"o":{"a":2,"b":1}}})");
}

TEST(Payload, CopyIsDeep) {
  Payload p;
  p.data["o"] = val(R"({"a":[1,2]})");
  Payload q = p;
  q.data["o"]["a"].push_back(3u);
  EXPECT_EQ(dump(p.data["o"]), R"({"a":[1,2]})");
  EXPECT_EQ(dump(q.data["o"]), R"({"a":[1,2,3]})");
}

TEST(Payload, ReadsInsideAnEnclosingRecord) {
  json::Reader r(R"([{"data":{"a":1}}, 5])");
  Payload p;
  ASSERT_TRUE(r.begin_array());
  ASSERT_TRUE(r.next_element());
  ASSERT_TRUE(Payload::read_json(r, &p)) << r.error();
  EXPECT_EQ(p.to_json(), R"({"data":{"a":1}})");
  ASSERT_TRUE(r.next_element());
  EXPECT_TRUE(r.skip_value());
  EXPECT_FALSE(r.next_element());
  EXPECT_TRUE(r.finish()) << r.error();
}

TEST(Payload, FailedReadLeavesNoPartialPayload) {
  json::Reader r(R"({"data":{"a":1,"b":})");
  Payload p;
  p.data["old"] = 1u;
  EXPECT_FALSE(Payload::read_json(r, &p));
  EXPECT_TRUE(p.empty());
}

TEST(Payload, CheckWritableFindsWhatWouldNotReadBack) {
  Payload p;
  p.data["a"] = val(R"([1,{"b":"c"}])");
  EXPECT_EQ(p.check_writable(1), "");
  Payload bad_key;
  bad_key.data["\xff"] = 1u;
  EXPECT_EQ(bad_key.check_writable(0), "key is not valid UTF-8");
  Payload inf;
  inf.data["x"] = std::numeric_limits<double>::infinity();
  EXPECT_EQ(inf.check_writable(0), "number is not finite");
  Payload deep;
  deep.data["a"] = val(nested_value(125));
  EXPECT_EQ(deep.check_writable(0), "");  // 1 + 1 + 125 = 127 levels
  EXPECT_EQ(deep.check_writable(1), "nesting too deep");
}

}  // namespace
}  // namespace varnel
