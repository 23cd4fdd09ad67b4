#include "payload_columns.h"

#include <algorithm>
#include <cstring>

namespace varnel {
namespace {

using Op = FilterCondition::Kind;

// Nesting of And/Or/Not evaluated column-wise; a deeper subtree is
// evaluated row by row on the payloads (same answer, no deep recursion).
constexpr size_t kMaxEvalDepth = 48;

size_t words_for(size_t rows) { return (rows + 63) / 64; }

uint64_t bits_of(double d) {
  uint64_t u;
  std::memcpy(&u, &d, sizeof u);
  return u;
}
double double_of(uint64_t u) {
  double d;
  std::memcpy(&d, &u, sizeof d);
  return d;
}

// The words [w0, w1) of the answer, bits[0] being word w0: bit r is set for
// every row r < rows where keep(r) holds, clear for the others.
template <typename Keep>
void fill(uint64_t* bits, size_t w0, size_t w1, size_t rows, Keep keep) {
  for (size_t w = w0; w < w1; ++w) {
    const size_t first = w * 64;
    const size_t n = std::min<size_t>(64, rows - first);
    uint64_t word = 0;
    for (size_t i = 0; i < n; ++i) word |= static_cast<uint64_t>(keep(first + i) ? 1 : 0) << i;
    bits[w - w0] = word;
  }
}

}  // namespace

PayloadColumns::Cell PayloadColumns::cell_of(const json::Value& v, const Column* column) {
  using T = json::Value::value_t;
  switch (v.type()) {
    case T::null:
      return {kNull, 0};
    case T::boolean:
      return {v.get<bool>() ? kTrue : kFalse, 0};
    case T::number_unsigned:
      return {kUnsigned, v.get<uint64_t>()};
    case T::number_integer: {
      const int64_t i = v.get<int64_t>();
      return i >= 0 ? Cell{kUnsigned, static_cast<uint64_t>(i)} : Cell{kSigned, static_cast<uint64_t>(i)};
    }
    case T::number_float:
      return {kFloat, bits_of(v.get<double>())};
    case T::string: {
      const auto& s = v.get_ref<const std::string&>();
      uint32_t id = UINT32_MAX;
      if (column != nullptr) {
        auto it = column->string_ids.find(s);
        if (it != column->string_ids.end()) id = it->second;
      }
      return {kString, id};
    }
    default:
      return {kOther, 0};
  }
}

PayloadColumns::Cell PayloadColumns::add_cell(Column& column, const json::Value& value) {
  Cell cell = cell_of(value, &column);
  if (cell.kind == kString && cell.value == UINT32_MAX) {
    cell.value = column.strings.size();
    column.strings.push_back(value.get_ref<const std::string&>());
    column.string_ids.emplace(column.strings.back(), static_cast<uint32_t>(cell.value));
  }
  return cell;
}

void PayloadColumns::reserve(size_t rows) {
  reserved_ = std::max(reserved_, rows);
  for (auto& [name, column] : columns_) {
    column->kinds.reserve(reserved_);
    column->values.reserve(reserved_);
  }
}

void PayloadColumns::push_back(const Payload& payload) {
  for (auto& [name, column] : columns_) {
    column->kinds.push_back(kAbsent);
    column->values.push_back(0);
  }
  const size_t row = rows_++;
  for (const auto& [name, value] : payload.data) {
    auto it = columns_.find(name);
    if (it == columns_.end()) {
      if (columns_.size() >= kMaxColumns) {
        capped_ = true;
        continue;
      }
      auto column = std::make_unique<Column>();
      column->kinds.reserve(std::max(reserved_, rows_));
      column->values.reserve(std::max(reserved_, rows_));
      column->kinds.assign(rows_, kAbsent);
      column->values.assign(rows_, 0);
      it = columns_.emplace(name, std::move(column)).first;
    }
    const Cell cell = add_cell(*it->second, value);
    it->second->kinds[row] = cell.kind;
    it->second->values[row] = cell.value;
  }
}

void PayloadColumns::move_last_to(size_t row) {
  const size_t last = rows_ - 1;
  for (auto& [name, column] : columns_) {
    column->kinds[row] = column->kinds[last];
    column->values[row] = column->values[last];
    column->kinds.pop_back();
    column->values.pop_back();
  }
  rows_ = last;
}

const PayloadColumns::Column* PayloadColumns::column(const std::string& field) const {
  auto it = columns_.find(field);
  return it == columns_.end() ? nullptr : it->second.get();
}

void PayloadColumns::evaluate(const FilterCondition& condition, const PayloadOf& payload_of,
                              std::vector<uint64_t>* bits) const {
  bits->assign(words(), 0);
  evaluate_words(condition, payload_of, bits->data(), 0, words());
}

size_t PayloadColumns::words() const { return words_for(rows_); }

void PayloadColumns::evaluate_words(const FilterCondition& condition, const PayloadOf& payload_of,
                                    uint64_t* bits, size_t w0, size_t w1) const {
  w1 = std::min(w1, words());
  if (w0 >= w1) return;
  eval(&condition, payload_of, bits + w0, w0, w1, 0);
}

void PayloadColumns::eval(const FilterCondition* c, const PayloadOf& payload_of, uint64_t* bits,
                          size_t w0, size_t w1, size_t depth) const {
  const size_t n = w1 - w0;
  if (c == nullptr) {  // a missing sub-condition matches nothing
    std::fill(bits, bits + n, 0);
    return;
  }
  if (depth > kMaxEvalDepth) {
    fill(bits, w0, w1, rows_, [&](size_t r) { return c->matches(payload_of(r)); });
    return;
  }
  switch (c->kind) {
    case Op::kNot: {
      eval(c->inner.get(), payload_of, bits, w0, w1, depth + 1);
      for (size_t w = 0; w < n; ++w) bits[w] = ~bits[w];
      if (w1 == words() && rows_ % 64 != 0) bits[n - 1] &= (uint64_t{1} << (rows_ % 64)) - 1;
      return;
    }
    case Op::kAnd:
    case Op::kOr: {
      const bool is_and = c->kind == Op::kAnd;
      const std::vector<FilterCondition>& ops = c->operands;
      if (ops.empty()) {
        fill(bits, w0, w1, rows_, [&](size_t) { return is_and; });
        return;
      }
      eval(&ops[0], payload_of, bits, w0, w1, depth + 1);
      std::vector<uint64_t> more;
      for (size_t i = 1; i < ops.size(); ++i) {
        // An And that keeps no row is decided, and so is an Or whose words
        // are all full (a last word cut short by the end of the rows never
        // looks full: that Or just goes on, at some cost in time only).
        bool decided = true;
        for (size_t w = 0; w < n && decided; ++w) decided = is_and ? bits[w] == 0 : bits[w] == ~uint64_t{0};
        if (decided) return;
        more.resize(n);
        eval(&ops[i], payload_of, more.data(), w0, w1, depth + 1);
        if (is_and) {
          for (size_t w = 0; w < n; ++w) bits[w] &= more[w];
        } else {
          for (size_t w = 0; w < n; ++w) bits[w] |= more[w];
        }
      }
      return;
    }
    default:
      leaf(*c, payload_of, bits, w0, w1);
  }
}

// One leaf over its field's column. A cell holding an array or an object,
// and every row of a field without a column, goes to the payload.
void PayloadColumns::leaf(const FilterCondition& c, const PayloadOf& payload_of,
                          uint64_t* bits, size_t w0, size_t w1) const {
  const Column* col = column(c.field);
  if (col == nullptr) {
    if (capped_) {
      fill(bits, w0, w1, rows_, [&](size_t r) { return c.matches(payload_of(r)); });
    } else {
      // No row holds the field.
      const bool absent_matches = c.kind == Op::kNe;
      fill(bits, w0, w1, rows_, [&](size_t) { return absent_matches; });
    }
    return;
  }
  const uint8_t* kinds = col->kinds.data();
  const uint64_t* values = col->values.data();
  auto payload_says = [&](size_t r) { return c.matches(payload_of(r)); };

  // Whether row r holds a value equal to `target` (json::equal), asking
  // the payload for containers.
  auto equal_to = [&](const Cell& target, size_t r) {
    if (kinds[r] == kOther) return target.kind == kOther && payload_says(r);
    if (kinds[r] != target.kind) return false;
    if (target.kind == kFloat) return double_of(values[r]) == double_of(target.value);
    return values[r] == target.value;
  };
  auto as_double = [&](size_t r, double* out) {
    switch (kinds[r]) {
      case kUnsigned:
        *out = static_cast<double>(values[r]);
        return true;
      case kSigned:
        *out = static_cast<double>(static_cast<int64_t>(values[r]));
        return true;
      case kFloat:
        *out = double_of(values[r]);
        return true;
      default:
        return false;
    }
  };

  switch (c.kind) {
    case Op::kEq:
    case Op::kNe: {
      const Cell target = cell_of(c.value, col);
      const bool ne = c.kind == Op::kNe;
      if (target.kind == kOther) {
        // A container: only rows holding one may be equal, and the payload
        // decides (it also answers kNe for them).
        fill(bits, w0, w1, rows_, [&](size_t r) { return kinds[r] == kOther ? payload_says(r) : ne; });
      } else {
        fill(bits, w0, w1, rows_, [&](size_t r) { return equal_to(target, r) != ne; });
      }
      return;
    }
    case Op::kGt:
    case Op::kGte:
    case Op::kLt:
    case Op::kLte: {
      const Cell v = cell_of(c.value, nullptr);
      double b = 0;
      if (v.kind == kUnsigned) {
        b = static_cast<double>(v.value);
      } else if (v.kind == kSigned) {
        b = static_cast<double>(static_cast<int64_t>(v.value));
      } else if (v.kind == kFloat) {
        b = double_of(v.value);
      } else {
        fill(bits, w0, w1, rows_, [](size_t) { return false; });
        return;
      }
      const Op op = c.kind;
      fill(bits, w0, w1, rows_, [&](size_t r) {
        double a = 0;
        if (!as_double(r, &a)) return false;
        if (op == Op::kGt) return a > b;
        if (op == Op::kGte) return a >= b;
        if (op == Op::kLt) return a < b;
        return a <= b;
      });
      return;
    }
    case Op::kIn: {
      // Strings by their dictionary number, the other values one by one.
      std::vector<uint8_t> listed(col->strings.size());
      std::vector<Cell> others;
      bool container = false;
      for (const json::Value& v : c.values) {
        const Cell t = cell_of(v, col);
        if (t.kind == kString) {
          if (t.value < listed.size()) listed[t.value] = 1;
        } else if (t.kind == kOther) {
          container = true;
        } else {
          others.push_back(t);
        }
      }
      fill(bits, w0, w1, rows_, [&](size_t r) {
        if (kinds[r] == kString) return listed[values[r]] != 0;
        if (kinds[r] == kOther) return container && payload_says(r);
        for (const Cell& t : others) {
          if (equal_to(t, r)) return true;
        }
        return false;
      });
      return;
    }
    case Op::kContains: {
      // Each distinct string is searched once.
      std::vector<uint8_t> holds(col->strings.size());
      FilterCondition probe = FilterCondition::contains("s", c.substring);
      for (size_t i = 0; i < holds.size(); ++i) {
        Payload p;
        p.data.emplace("s", col->strings[i]);
        holds[i] = probe.matches(p);
      }
      fill(bits, w0, w1, rows_, [&](size_t r) { return kinds[r] == kString && holds[values[r]] != 0; });
      return;
    }
    case Op::kExists:
      fill(bits, w0, w1, rows_, [&](size_t r) { return kinds[r] != kAbsent; });
      return;
    case Op::kContainsElement:
      // Only an array may hold the element.
      fill(bits, w0, w1, rows_, [&](size_t r) { return kinds[r] == kOther && payload_says(r); });
      return;
    default:
      fill(bits, w0, w1, rows_, payload_says);
  }
}

}  // namespace varnel
