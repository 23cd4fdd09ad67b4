#include "json.h"

#include <charconv>
#include <cmath>
#include <system_error>

namespace varnel::json {
namespace {

// ---------------------------------------------------------------- UTF-8

// Length of the well-formed UTF-8 sequence that starts at s[i] with a lead
// byte >= 0x80, or 0 when it is not well formed.
size_t utf8_sequence(std::string_view s, size_t i) {
  auto at = [&](size_t k) -> unsigned {
    return i + k < s.size() ? static_cast<unsigned char>(s[i + k]) : 0u;
  };
  auto cont = [&](size_t k) { unsigned c = at(k); return c >= 0x80 && c <= 0xBF; };
  unsigned c = at(0);
  if (c >= 0xC2 && c <= 0xDF) return cont(1) ? 2 : 0;
  if (c >= 0xE0 && c <= 0xEF) {
    unsigned c1 = at(1);
    unsigned lo = c == 0xE0 ? 0xA0 : 0x80;
    unsigned hi = c == 0xED ? 0x9F : 0xBF;
    return c1 >= lo && c1 <= hi && cont(2) ? 3 : 0;
  }
  if (c >= 0xF0 && c <= 0xF4) {
    unsigned c1 = at(1);
    unsigned lo = c == 0xF0 ? 0x90 : 0x80;
    unsigned hi = c == 0xF4 ? 0x8F : 0xBF;
    return c1 >= lo && c1 <= hi && cont(2) && cont(3) ? 4 : 0;
  }
  return 0;
}

void append_utf8(std::string* out, uint32_t cp) {
  if (cp < 0x80) {
    out->push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}
std::string describe_scalar(const Value& v) {
  using T = Value::value_t;
  std::string s;
  switch (v.type()) {
    case T::null:
      return "null";
    case T::boolean:
      return v.get<bool>() ? "boolean `true`" : "boolean `false`";
    case T::number_unsigned:
      return "integer `" + std::to_string(v.get<uint64_t>()) + "`";
    case T::number_integer:
      return "integer `" + std::to_string(v.get<int64_t>()) + "`";
    case T::number_float:
      s = "floating point `";
      write_f64(s, v.get<double>());
      s += '`';
      return s;
    case T::string:
      s = "string ";
      write_string(s, v.get_ref<const std::string&>());
      return s;
    case T::array:
      return "sequence";
    default:
      return "map";
  }
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

bool valid_utf8(std::string_view s) {
  for (size_t i = 0; i < s.size();) {
    if (static_cast<unsigned char>(s[i]) < 0x80) {
      ++i;
      continue;
    }
    size_t n = utf8_sequence(s, i);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

// ==================================================================== reader

bool Reader::fail_at(std::string_view body, size_t end) {
  if (failed_) return false;
  failed_ = true;
  if (end > text_.size()) end = text_.size();
  size_t line = 1;
  size_t line_start = 0;
  for (size_t i = 0; i < end; ++i) {
    if (text_[i] == '\n') {
      ++line;
      line_start = i + 1;
    }
  }
  error_.assign(body);
  error_ += " at line ";
  error_ += std::to_string(line);
  error_ += " column ";
  error_ += std::to_string(end - line_start);
  return false;
}

void Reader::skip_ws() {
  while (pos_ < text_.size()) {
    char c = text_[pos_];
    if (c != ' ' && c != '\t' && c != '\n' && c != '\r') return;
    ++pos_;
  }
}

Reader::Next Reader::peek() {
  skip_ws();
  if (pos_ >= text_.size()) return Next::kEnd;
  switch (text_[pos_]) {
    case 'n':
      return Next::kNull;
    case 't':
    case 'f':
      return Next::kBool;
    case '"':
      return Next::kString;
    case '[':
      return Next::kArray;
    case '{':
      return Next::kObject;
    case '-':
      return Next::kNumber;
    default:
      return is_digit(text_[pos_]) ? Next::kNumber : Next::kInvalid;
  }
}

bool Reader::expect_value(Next next) {
  if (next == Next::kEnd) return fail("EOF while parsing a value");
  if (next == Next::kInvalid) return fail_at("expected value", pos_ + 1);
  return true;
}

bool Reader::enter(size_t open_at) {
  if (depth_ + 1 >= kMaxDepth) return fail_at("recursion limit exceeded", open_at + 1);
  ++depth_;
  first_[depth_] = true;
  pos_ = open_at + 1;
  return true;
}

bool Reader::parse_literal(std::string_view word) {
  for (char c : word) {
    if (pos_ >= text_.size()) return fail("EOF while parsing a value");
    if (text_[pos_] != c) return fail_at("expected value", pos_ + 1);
    ++pos_;
  }
  return true;
}

bool Reader::parse_string(std::string* out) {
  if (out) out->clear();
  const size_t n = text_.size();
  for (;;) {
    size_t run = pos_;
    while (pos_ < n) {
      unsigned char c = static_cast<unsigned char>(text_[pos_]);
      if (c < 0x20 || c == '"' || c == '\\' || c >= 0x80) break;
      ++pos_;
    }
    if (out) out->append(text_.data() + run, pos_ - run);
    if (pos_ >= n) return fail("EOF while parsing a string");
    unsigned char c = static_cast<unsigned char>(text_[pos_]);
    if (c == '"') {
      ++pos_;
      return true;
    }
    if (c < 0x20) {
      return fail_at("control character (\\u0000-\\u001F) found while parsing a string", pos_ + 1);
    }
    if (c >= 0x80) {
      size_t len = utf8_sequence(text_, pos_);
      if (len == 0) return fail_at("invalid unicode code point", pos_ + 1);
      if (out) out->append(text_.data() + pos_, len);
      pos_ += len;
      continue;
    }
    // A backslash escape.
    ++pos_;
    if (pos_ >= n) return fail("EOF while parsing a string");
    char e = text_[pos_++];
    char plain = 0;
    switch (e) {
      case '"': plain = '"'; break;
      case '\\': plain = '\\'; break;
      case '/': plain = '/'; break;
      case 'b': plain = '\b'; break;
      case 'f': plain = '\f'; break;
      case 'n': plain = '\n'; break;
      case 'r': plain = '\r'; break;
      case 't': plain = '\t'; break;
      case 'u': break;
      default:
        return fail("invalid escape");
    }
    if (e != 'u') {
      if (out) out->push_back(plain);
      continue;
    }
    auto hex4 = [&](uint32_t* cp) {
      *cp = 0;
      for (int i = 0; i < 4; ++i) {
        if (pos_ >= n) return fail("EOF while parsing a string");
        int h = hex_value(text_[pos_++]);
        if (h < 0) return fail("invalid escape");
        *cp = *cp << 4 | static_cast<uint32_t>(h);
      }
      return true;
    };
    uint32_t cp = 0;
    if (!hex4(&cp)) return false;
    if (cp >= 0xDC00 && cp <= 0xDFFF) return fail("lone leading surrogate in hex escape");
    if (cp >= 0xD800 && cp <= 0xDBFF) {
      // A leading surrogate must be followed by an escaped trailing one.
      if (pos_ >= n) return fail("EOF while parsing a string");
      if (text_[pos_] != '\\') return fail_at("lone leading surrogate in hex escape", pos_ + 1);
      if (pos_ + 1 >= n) return fail_at("EOF while parsing a string", n);
      if (text_[pos_ + 1] != 'u') return fail_at("lone leading surrogate in hex escape", pos_ + 2);
      pos_ += 2;
      uint32_t low = 0;
      if (!hex4(&low)) return false;
      if (low < 0xDC00 || low > 0xDFFF) return fail("lone leading surrogate in hex escape");
      cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
    }
    if (out) append_utf8(out, cp);
  }
}

bool Reader::scan_number(bool* is_float) {
  const size_t n = text_.size();
  *is_float = false;
  if (text_[pos_] == '-') {
    ++pos_;
    if (pos_ >= n) return fail("EOF while parsing a value");
  }
  if (text_[pos_] == '0') {
    ++pos_;
    if (pos_ < n && is_digit(text_[pos_])) return fail_at("invalid number", pos_ + 1);
  } else if (is_digit(text_[pos_])) {
    while (pos_ < n && is_digit(text_[pos_])) ++pos_;
  } else {
    return fail_at("invalid number", pos_ + 1);
  }
  if (pos_ < n && text_[pos_] == '.') {
    *is_float = true;
    ++pos_;
    if (pos_ >= n) return fail("EOF while parsing a value");
    if (!is_digit(text_[pos_])) return fail_at("invalid number", pos_ + 1);
    while (pos_ < n && is_digit(text_[pos_])) ++pos_;
  }
  if (pos_ < n && (text_[pos_] == 'e' || text_[pos_] == 'E')) {
    *is_float = true;
    ++pos_;
    if (pos_ < n && (text_[pos_] == '+' || text_[pos_] == '-')) ++pos_;
    if (pos_ >= n) return fail("EOF while parsing a value");
    if (!is_digit(text_[pos_])) return fail_at("invalid number", pos_ + 1);
    while (pos_ < n && is_digit(text_[pos_])) ++pos_;
  }
  return true;
}

bool Reader::to_double(size_t start, double* out) {
  const char* first = text_.data() + start;
  const char* last = text_.data() + pos_;
  auto r = std::from_chars(first, last, *out);
  if (r.ec == std::errc() && std::isfinite(*out)) return true;
  // Out of range either way. Tell overflow from underflow by the decimal
  // exponent of the first non-zero digit (the text has one, or the value
  // would have been zero): a huge value is refused, a tiny one becomes 0.
  const char* p = first;
  bool neg = *p == '-';
  if (neg) ++p;
  long long idx = 0;       // digits of the mantissa seen so far
  long long point = -1;    // digits before the decimal point
  long long first_nz = -1; // index of the first non-zero digit
  for (; p < last && *p != 'e' && *p != 'E'; ++p) {
    if (*p == '.') {
      point = idx;
      continue;
    }
    if (first_nz < 0 && *p != '0') first_nz = idx;
    ++idx;
  }
  if (point < 0) point = idx;
  long long lead = first_nz < 0 ? -1 : point - 1 - first_nz;
  long long exp = 0;
  if (p < last) {
    ++p;
    bool eneg = *p == '-';
    if (*p == '+' || *p == '-') ++p;
    for (; p < last; ++p) {
      if (exp < 1000000000) exp = exp * 10 + (*p - '0');
    }
    if (eneg) exp = -exp;
  }
  if (lead + exp >= 0) return fail("number out of range");
  *out = neg ? -0.0 : 0.0;
  return true;
}

bool Reader::parse_number(Value* out) {
  size_t start = pos_;
  bool is_float = false;
  if (!scan_number(&is_float)) return false;
  if (!is_float) {
    bool neg = text_[start] == '-';
    uint64_t mag = 0;
    bool overflow = false;
    for (size_t i = start + (neg ? 1 : 0); i < pos_; ++i) {
      if (__builtin_mul_overflow(mag, uint64_t{10}, &mag) ||
          __builtin_add_overflow(mag, static_cast<uint64_t>(text_[i] - '0'), &mag)) {
        overflow = true;
        break;
      }
    }
    if (!overflow) {
      if (!neg) {
        *out = static_cast<Value::number_unsigned_t>(mag);
        return true;
      }
      if (mag != 0 && mag <= uint64_t{1} << 63) {
        *out = static_cast<Value::number_integer_t>(-static_cast<int64_t>(mag - 1) - 1);
        return true;
      }
      // -0 has no signed integer form: it stays a float and keeps its sign.
    }
  }
  double d = 0;
  if (!to_double(start, &d)) return false;
  *out = static_cast<Value::number_float_t>(d);
  return true;
}

bool Reader::parse_any(Value* out) {
  if (failed_) return false;
  Next next = peek();
  switch (next) {
    case Next::kEnd:
    case Next::kInvalid:
      return expect_value(next);
    case Next::kNull:
      if (!parse_literal("null")) return false;
      if (out) *out = nullptr;
      return true;
    case Next::kBool: {
      bool t = text_[pos_] == 't';
      if (!parse_literal(t ? "true" : "false")) return false;
      if (out) *out = t;
      return true;
    }
    case Next::kNumber: {
      Value v;
      if (!parse_number(&v)) return false;
      if (out) *out = std::move(v);
      return true;
    }
    case Next::kString:
      ++pos_;
      if (!out) return parse_string(nullptr);
      *out = Value::string_t();
      return parse_string(&out->get_ref<Value::string_t&>());
    case Next::kArray: {
      if (!enter(pos_)) return false;
      Value::array_t* arr = nullptr;
      if (out) {
        *out = Value::array();
        arr = &out->get_ref<Value::array_t&>();
      }
      // Nesting is bounded by kMaxDepth, so this recursion is too.
      while (next_element()) {
        if (arr) {
          arr->emplace_back();
          if (!parse_any(&arr->back())) return false;
        } else if (!parse_any(nullptr)) {
          return false;
        }
      }
      return !failed_;
    }
    case Next::kObject: {
      if (!enter(pos_)) return false;
      Value::object_t* obj = nullptr;
      if (out) {
        *out = Value::object();
        obj = &out->get_ref<Value::object_t&>();
      }
      std::string key;
      while (next_key(&key)) {
        // A repeated key: the last occurrence wins.
        if (!parse_any(obj ? &(*obj)[key] : nullptr)) return false;
      }
      return !failed_;
    }
  }
  return false;
}

bool Reader::read_value(Value* out) { return parse_any(out); }

bool Reader::skip_value() { return parse_any(nullptr); }

bool Reader::fail_invalid_type(std::string_view expected) {
  if (failed_) return false;
  Next next = peek();
  if (!expect_value(next)) return false;
  std::string what;
  if (next == Next::kArray || next == Next::kObject) {
    what = next == Next::kArray ? "sequence" : "map";
    ++pos_;
  } else {
    Value v;
    if (!parse_any(&v)) return false;
    what = describe_scalar(v);
  }
  std::string body = "invalid type: ";
  body += what;
  body += ", expected ";
  body += expected;
  return fail(body);
}

bool Reader::read_u64(uint64_t* out, std::string_view expected) {
  if (failed_) return false;
  Next next = peek();
  if (next != Next::kNumber) return fail_invalid_type(expected);
  Value v;
  if (!parse_number(&v)) return false;
  if (v.is_number_unsigned()) {
    *out = v.get<uint64_t>();
    return true;
  }
  std::string body = v.is_number_integer() ? "invalid value: " : "invalid type: ";
  body += describe_scalar(v);
  body += ", expected ";
  body += expected;
  return fail(body);
}

bool Reader::read_string(std::string* out, std::string_view expected) {
  if (failed_) return false;
  if (peek() != Next::kString) return fail_invalid_type(expected);
  ++pos_;
  return parse_string(out);
}

bool Reader::read_null(std::string_view expected) {
  if (failed_) return false;
  if (peek() != Next::kNull) return fail_invalid_type(expected);
  return parse_literal("null");
}

bool Reader::read_f32_array(std::vector<float>* out) {
  out->clear();
  if (!begin_array("a sequence")) return false;
  while (next_element()) {
    if (peek() != Next::kNumber) return fail_invalid_type("f32");
    size_t start = pos_;
    bool is_float = false;
    double d = 0;
    if (!scan_number(&is_float) || !to_double(start, &d)) return false;
    out->push_back(static_cast<float>(d));
  }
  return !failed_;
}

bool Reader::end_object_now() {
  skip_ws();
  if (pos_ >= text_.size()) return fail("EOF while parsing an object");
  if (text_[pos_] != '}') return fail_at("expected `}`", pos_ + 1);
  ++pos_;
  --depth_;
  return true;
}

bool Reader::read_variant(std::span<const std::string_view> names, std::string_view what,
                          size_t* index) {
  if (failed_) return false;
  Next next = peek();
  bool object_form = next == Next::kObject;
  if (object_form) {
    if (!begin_object(what)) return false;
    if (!next_key(&scratch_)) {
      // An empty object names no variant.
      return failed_ ? false : fail("invalid length 0, expected map with a single key");
    }
  } else if (next == Next::kString) {
    ++pos_;
    if (!parse_string(&scratch_)) return false;
  } else {
    return fail_invalid_type(what);
  }
  size_t found = names.size();
  for (size_t i = 0; i < names.size(); ++i) {
    if (scratch_ == names[i]) found = i;
  }
  if (found == names.size()) {
    std::string body = "unknown variant `";
    body += scratch_;
    body += "`, expected ";
    body += names.size() == 1 ? "" : "one of ";
    for (size_t i = 0; i < names.size(); ++i) {
      if (i) body += ", ";
      body += '`';
      body += names[i];
      body += '`';
    }
    return fail(body);
  }
  if (object_form && (!read_null("unit") || !end_object_now())) return false;
  *index = found;
  return true;
}

bool Reader::begin_object(std::string_view expected) {
  if (failed_) return false;
  Next next = peek();
  if (next != Next::kObject) return fail_invalid_type(expected);
  return enter(pos_);
}

bool Reader::begin_array(std::string_view expected) {
  if (failed_) return false;
  Next next = peek();
  if (next != Next::kArray) return fail_invalid_type(expected);
  return enter(pos_);
}

bool Reader::next_key(std::string* key) {
  if (failed_) return false;
  skip_ws();
  const size_t n = text_.size();
  if (pos_ >= n) return fail("EOF while parsing an object");
  if (text_[pos_] == '}') {
    ++pos_;
    --depth_;
    return false;
  }
  if (first_[depth_]) {
    first_[depth_] = false;
  } else {
    if (text_[pos_] != ',') return fail_at("expected `,` or `}`", pos_ + 1);
    ++pos_;
    skip_ws();
    if (pos_ >= n) return fail("EOF while parsing a value");
    if (text_[pos_] == '}') return fail_at("trailing comma", pos_ + 1);
  }
  if (text_[pos_] != '"') return fail_at("key must be a string", pos_ + 1);
  ++pos_;
  if (!parse_string(key)) return false;
  skip_ws();
  if (pos_ >= n) return fail("EOF while parsing an object");
  if (text_[pos_] != ':') return fail_at("expected `:`", pos_ + 1);
  ++pos_;
  return true;
}

bool Reader::next_element() {
  if (failed_) return false;
  skip_ws();
  const size_t n = text_.size();
  if (pos_ >= n) return fail("EOF while parsing a list");
  if (text_[pos_] == ']') {
    ++pos_;
    --depth_;
    return false;
  }
  if (first_[depth_]) {
    first_[depth_] = false;
    return true;
  }
  if (text_[pos_] != ',') return fail_at("expected `,` or `]`", pos_ + 1);
  ++pos_;
  skip_ws();
  if (pos_ >= n) return fail("EOF while parsing a value");
  if (text_[pos_] == ']') return fail_at("trailing comma", pos_ + 1);
  return true;
}

bool Reader::finish() {
  if (failed_) return false;
  skip_ws();
  if (pos_ < text_.size()) return fail_at("trailing characters", pos_ + 1);
  return true;
}

// ============================================================== StructReader

int StructReader::next_field() {
  if (r_.failed()) return -1;
  const size_t k = fields_.size();
  if (state_ == State::kStart) {
    Reader::Next next = r_.peek();
    std::string expected = "struct ";
    expected += name_;
    if (next == Reader::Next::kObject) {
      if (!r_.begin_object(expected)) return -1;
      state_ = State::kObject;
    } else if (next == Reader::Next::kArray) {
      if (!r_.begin_array(expected)) return -1;
      state_ = State::kArray;
    } else {
      r_.fail_invalid_type(expected);
      return -1;
    }
  }
  if (state_ == State::kObject) {
    while (r_.next_key(&key_)) {
      size_t i = 0;
      while (i < k && key_ != fields_[i]) ++i;
      if (i == k) {
        // Members with other names are read and ignored.
        if (!r_.skip_value()) return -1;
        continue;
      }
      if (seen_ >> i & 1) {
        r_.fail("duplicate field `" + key_ + "`");
        return -1;
      }
      seen_ |= uint64_t{1} << i;
      return static_cast<int>(i);
    }
    if (r_.failed()) return -1;
    state_ = State::kDone;
    for (size_t i = 0; i < k; ++i) {
      if (!(seen_ >> i & 1)) {
        r_.fail("missing field `" + std::string(fields_[i]) + "`");
        return -1;
      }
    }
    return -1;
  }
  if (state_ == State::kArray) {
    if (r_.next_element()) {
      if (count_ == k) {
        r_.fail_at("trailing characters", r_.position() + 1);
        return -1;
      }
      return static_cast<int>(count_++);
    }
    if (r_.failed()) return -1;
    state_ = State::kDone;
    if (count_ < k) {
      std::string body = "invalid length " + std::to_string(count_) + ", expected struct ";
      body += name_;
      body += " with " + std::to_string(k) + (k == 1 ? " element" : " elements");
      r_.fail(body);
    }
    return -1;
  }
  return -1;
}

}  // namespace varnel::json
