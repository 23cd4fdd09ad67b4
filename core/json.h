// The JSON unit: the value type, a compact writer and a strict pull reader.
// The value type is nlohmann::json (numbers keep an unsigned, signed or float
// form; objects are key-sorted maps). Its own dump() and parse() are never
// used for our texts: the writer fixes the float layout and escapes, and the
// reader enforces a nesting limit and gives errors that end in
// " at line L column C". Nothing here throws, logs or allocates globally.
// Floats are written by float_text.h. One interface, three sources by job:
// json_writer.cc (write_*, check_writable), json_reader.cc (Reader,
// StructReader, valid_utf8: the reader's rule for strings) and json.cc
// (equal).
//
// Reading a record (a struct with named fields, as an object in any member
// order or as an array in field order), the pattern every decoder follows:
//
//   constexpr std::string_view kFields[] = {"kind", "id", "vector", "payload"};
//   json::Reader r(text);
//   json::StructReader s(r, "WalEntry", kFields);
//   for (int f; (f = s.next_field()) >= 0;) {
//     switch (f) {
//       case 0: read_kind(r, &e.kind); break;         // r.read_variant(...)
//       case 1: r.read_u64(&e.id); break;
//       case 2: r.read_f32_array(&e.vector); break;
//       case 3: Payload::read_json(r, &e.payload); break;
//     }
//   }
//   if (!r.finish()) return Error::wal_corrupted(kDecode + r.error());
//
// Every read call returns false on failure and records the first error in the
// reader; afterwards every call does nothing and returns false, so decoders
// need not test each call. next_field() skips members with other names and
// reports duplicate members, missing members (first missing in field order),
// short arrays ("invalid length N, expected struct X with K elements"), long
// arrays ("trailing characters") and values of another type ("invalid type:
// ..., expected struct X"). finish() refuses anything but whitespace after
// the value.
#pragma once

#include <bitset>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "float_text.h"  // the writer's float form

namespace varnel::json {

using Value = nlohmann::json;

// The 128th array or object open, counting the outermost as the first, fails
// with "recursion limit exceeded"; 127 levels read.
inline constexpr size_t kMaxDepth = 128;

// ---- Writer: compact text appended to `out`; never fails.

// Quotes; escapes \" \\ \b \t \n \f \r and other bytes below 0x20 as \u00xx
// (lower-case hex); every other byte (0x7F, '/', non-ASCII) is copied as is.
void write_string(std::string& out, std::string_view s);

// null/true/false, integers in decimal, floats by write_f64, arrays, objects
// in ascending key order. Iterative: any nesting depth is written.
void write_value(std::string& out, const Value& v);

// Empty when `v` would read back from our text as an equal value at
// `depth_used` enclosing levels; otherwise why not: a string or key that is
// not valid UTF-8, a float that is not finite (written as null), or nesting
// that reaches the reader's limit.
std::string check_writable(const Value& v, size_t depth_used);

// True when `s` is well-formed UTF-8 (no overlong forms, no surrogates, no
// code point above U+10FFFF).
bool valid_utf8(std::string_view s);

// Equality of values: same kind and content; numbers only in the same form
// (integer 1 != float 1.0; a non-negative signed integer counts as the
// unsigned form it stands for); floats by IEEE ==. Iterative, allocation-free
// up to 32 levels of nesting.
bool equal(const Value& a, const Value& b);

// ---- Reader: strict pull reader over UTF-8 bytes. The text must outlive it.

class Reader {
 public:
  // What the next value is, judged from its first byte.
  enum class Next { kNull, kBool, kNumber, kString, kArray, kObject, kEnd, kInvalid };

  explicit Reader(std::string_view text) : text_(text) {}

  bool failed() const { return failed_; }
  // The first error, ending in " at line L column C"; empty while none.
  const std::string& error() const { return error_; }

  // Skips whitespace and classifies the next value; kEnd at end of input.
  Next peek();

  // Any value, within the nesting limit. Objects with a repeated key keep
  // the last occurrence.
  bool read_value(Value* out);
  // Reads and checks a value, keeping nothing.
  bool skip_value();

  // Typed scalars; `expected` names the wanted type in the invalid-type text
  // ("invalid type: string \"x\", expected u64").
  bool read_u64(uint64_t* out, std::string_view expected = "u64");
  bool read_string(std::string* out, std::string_view expected = "a string");
  bool read_null(std::string_view expected = "unit");
  // An array of numbers, each read as a double then rounded to float; other
  // element types (null included) are an invalid-type error. Replaces *out.
  bool read_f32_array(std::vector<float>* out);
  // An enumeration written as one of `names` ("Insert") or as the one-member
  // object form {"Insert":null}. `what` names the enumeration in type errors
  // ("enum WalEntryKind"). Gives the index into `names`.
  bool read_variant(std::span<const std::string_view> names, std::string_view what,
                    size_t* index);

  // Containers. begin_* consumes the opening bracket (counting one nesting
  // level) or fails with an invalid-type error naming `expected`.
  bool begin_object(std::string_view expected = "a map");
  bool begin_array(std::string_view expected = "a sequence");
  // Reads the next key and its colon and returns true; returns false at the
  // closing brace (consumed) or on failure.
  bool next_key(std::string* key);
  // Returns true when another element follows (the caller reads it); false
  // at the closing bracket (consumed) or on failure.
  bool next_element();

  // Only whitespace may follow the value. True when no error was recorded.
  bool finish();

  // Record `body` + " at line L column C" as the error (the first one wins).
  // fail() places it after the bytes consumed so far; fail_at() after byte
  // offset `end`. Both return false.
  bool fail(std::string_view body) { return fail_at(body, pos_); }
  bool fail_at(std::string_view body, size_t end);
  // "invalid type: <description of the next value>, expected <expected>";
  // consumes a scalar to describe it.
  bool fail_invalid_type(std::string_view expected);

  // Bytes consumed so far.
  size_t position() const { return pos_; }

 private:
  enum class Frame : uint8_t { kArray, kObject };

  void skip_ws();
  bool enter(size_t open_at);
  bool expect_value(Next next);  // false with the error for kEnd / kInvalid
  bool parse_string(std::string* out);  // after the opening quote; null keeps nothing
  bool scan_number(bool* is_float);     // checks the grammar, leaves pos_ after it
  bool parse_number(Value* out);
  bool to_double(size_t start, double* out);  // text_[start, pos_) checked by scan_number
  bool parse_literal(std::string_view word);
  bool parse_any(Value* out);           // null keeps nothing
  bool end_object_now();                // the closing brace must come next

  std::string_view text_;
  size_t pos_ = 0;
  size_t depth_ = 0;  // containers open now
  // Bit d: the container open at depth d has not yet given an element or key.
  std::bitset<kMaxDepth + 1> first_;
  bool failed_ = false;
  std::string error_;
  std::string scratch_;
};

// Reads a record that is either an object with named members (any order,
// other names skipped) or an array of exactly fields.size() elements in field
// order; at most 64 fields. See the usage comment at the top of this file.
// Errors: "missing field `x`" after the closing brace, "duplicate field `x`"
// after the repeated key, "invalid length N, expected struct X with K
// elements", "trailing characters" at an extra element, "invalid type: ...,
// expected struct X".
class StructReader {
 public:
  StructReader(Reader& r, std::string_view name, std::span<const std::string_view> fields)
      : r_(r), name_(name), fields_(fields) {}

  // Index of the next field, whose value the caller reads from the reader
  // next; -1 when the record is complete or an error has been recorded.
  int next_field();

 private:
  enum class State : uint8_t { kStart, kObject, kArray, kDone };

  Reader& r_;
  std::string_view name_;
  std::span<const std::string_view> fields_;
  State state_ = State::kStart;
  uint64_t seen_ = 0;  // bit i: field i was read (at most 64 fields)
  size_t count_ = 0;   // array form: elements handed out
  std::string key_;
};

namespace detail {

// A stack that keeps its first N entries inline and moves to the heap only
// beyond them, for walks over trees whose depth is usually small.
template <typename T, size_t N>
class SmallStack {
 public:
  bool empty() const { return size_ == 0; }
  T& back() { return size_ <= N ? inline_[size_ - 1] : heap_[size_ - N - 1]; }
  void push(const T& v) {
    if (size_ < N) {
      inline_[size_] = v;
    } else {
      heap_.push_back(v);
    }
    ++size_;
  }
  void pop() {
    if (size_ > N) heap_.pop_back();
    --size_;
  }

 private:
  T inline_[N];
  std::vector<T> heap_;
  size_t size_ = 0;
};

}  // namespace detail

}  // namespace varnel::json
