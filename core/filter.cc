#include "filter.h"

#include <string.h>  // memmem

#include <cstring>
#include <utility>

namespace varnel {
namespace {

using Kind = FilterCondition::Kind;

// A JSON number as a double (integers rounded to the nearest double).
bool as_double(const json::Value& v, double* out) {
  using T = json::Value::value_t;
  switch (v.type()) {
    case T::number_unsigned:
      *out = static_cast<double>(v.get_ref<const json::Value::number_unsigned_t&>());
      return true;
    case T::number_integer:
      *out = static_cast<double>(v.get_ref<const json::Value::number_integer_t&>());
      return true;
    case T::number_float:
      *out = v.get_ref<const json::Value::number_float_t&>();
      return true;
    default:
      return false;
  }
}

// A leaf (any kind but And, Or and Not) against the payload.
bool leaf_matches(const FilterCondition& c, const Payload& p) {
  const json::Value* stored = nullptr;
  if (!p.data.empty()) {  // an empty map is not hashed into
    auto it = p.data.find(c.field);
    if (it != p.data.end()) stored = &it->second;
  }
  switch (c.kind) {
    case Kind::kEq:
      return stored && json::equal(*stored, c.value);
    case Kind::kNe:
      return !stored || !json::equal(*stored, c.value);
    case Kind::kGt:
    case Kind::kGte:
    case Kind::kLt:
    case Kind::kLte: {
      double a = 0;
      double b = 0;
      if (!stored || !as_double(c.value, &b) || !as_double(*stored, &a)) return false;
      // The stored value is on the left.
      if (c.kind == Kind::kGt) return a > b;
      if (c.kind == Kind::kGte) return a >= b;
      if (c.kind == Kind::kLt) return a < b;
      return a <= b;
    }
    case Kind::kIn:
      if (!stored) return false;
      for (const json::Value& v : c.values) {
        if (json::equal(*stored, v)) return true;
      }
      return false;
    case Kind::kContains: {
      if (!stored || !stored->is_string()) return false;
      const std::string& text = stored->get_ref<const std::string&>();
      const std::string& sub = c.substring;
      if (sub.empty()) return true;
      if (sub.size() > text.size()) return false;
      if (sub.size() == 1) return std::memchr(text.data(), sub[0], text.size()) != nullptr;
      // glibc's memmem is linear in the text for any substring (two-way
      // search) and allocates nothing.
      return memmem(text.data(), text.size(), sub.data(), sub.size()) != nullptr;
    }
    case Kind::kExists:
      return stored != nullptr;
    case Kind::kContainsElement:
      if (!stored || !stored->is_array()) return false;
      for (const json::Value& element : *stored) {
        if (json::equal(element, c.value)) return true;
      }
      return false;
    default:
      return false;
  }
}

}  // namespace

bool FilterCondition::matches(const Payload& payload) const {
  // The loop carries an inversion flag: Not flips it and goes on with its
  // inner condition; And/Or push a frame (with the flag in force) and go on
  // with their first operand under a fresh flag; a leaf gives its result
  // xor the flag. A frame whose operand has given a result that does not
  // decide goes on with its next operand; the last operand replaces the
  // frame (its result is the node's), so chains through last operands need
  // no frames. Frames live on a small inline stack: only And/Or nested 64
  // deep through other operands cost an allocation, and nothing recurses.
  struct Frame {
    const FilterCondition* node;  // the And/Or whose operand is running
    size_t next;                  // the operand after the running one
    bool flip;                    // the flag in force at that node
  };
  json::detail::SmallStack<Frame, 64> pending;
  const FilterCondition* c = this;
  bool flip = false;
  for (;;) {
    bool result = false;
    // Walk down to a leaf.
    for (;;) {
      if (c == nullptr) {
        result = flip;  // a missing sub-condition matches nothing
        break;
      }
      if (c->kind == Kind::kNot) {
        flip = !flip;
        c = c->inner.get();
        continue;
      }
      if (c->kind == Kind::kAnd || c->kind == Kind::kOr) {
        const bool is_and = c->kind == Kind::kAnd;
        if (c->operands.empty()) {
          result = is_and != flip;  // no operands: And holds, Or does not
          break;
        }
        if (c->operands.size() > 1) {
          pending.push(Frame{c, 1, flip});
          flip = false;
        }
        c = &c->operands[0];
        continue;
      }
      result = leaf_matches(*c, payload) != flip;
      break;
    }
    // Settle the And/Or nodes whose running operand has just given `result`.
    for (;;) {
      if (pending.empty()) return result;
      Frame& f = pending.back();
      const bool is_and = f.node->kind == Kind::kAnd;
      if (is_and != result) {
        // And with a false operand, Or with a true one: decided.
        result = result != f.flip;
        pending.pop();
        continue;
      }
      c = &f.node->operands[f.next];
      if (++f.next == f.node->operands.size()) {
        flip = f.flip;  // the last operand decides: it takes the frame's place
        pending.pop();
      } else {
        flip = false;
      }
      break;
    }
  }
}

FilterCondition& FilterCondition::operator=(FilterCondition&& other) noexcept {
  if (this != &other) {
    // Our old subtree goes to a local whose destructor takes it apart
    // without recursion (`other` may even live inside it; moving a vector
    // keeps its elements where they are).
    FilterCondition old(std::move(*this));
    kind = other.kind;
    field = std::move(other.field);
    value = std::move(other.value);
    values = std::move(other.values);
    substring = std::move(other.substring);
    operands = std::move(other.operands);
    inner = std::move(other.inner);
  }
  return *this;
}

FilterCondition::~FilterCondition() {
  if (operands.empty() && !inner) return;
  // Move the children out onto a worklist and take them apart one at a
  // time, each left with no children of its own, so a tree of any depth
  // needs no deep stack. A moved-from node holds no children.
  std::vector<FilterCondition> pending;
  auto detach = [&pending](FilterCondition& c) {
    for (FilterCondition& op : c.operands) {
      if (!op.operands.empty() || op.inner) pending.push_back(std::move(op));
    }
    c.operands.clear();
    if (c.inner) {
      pending.push_back(std::move(*c.inner));
      c.inner.reset();
    }
  };
  detach(*this);
  while (!pending.empty()) {
    FilterCondition node = std::move(pending.back());
    pending.pop_back();
    detach(node);
  }
}

namespace {

FilterCondition leaf(Kind kind, std::string field, json::Value value) {
  FilterCondition c;
  c.kind = kind;
  c.field = std::move(field);
  c.value = std::move(value);
  return c;
}

std::unique_ptr<FilterCondition> boxed(FilterCondition c) {
  return std::make_unique<FilterCondition>(std::move(c));
}

}  // namespace

FilterCondition FilterCondition::eq(std::string field, json::Value value) {
  return leaf(Kind::kEq, std::move(field), std::move(value));
}
FilterCondition FilterCondition::ne(std::string field, json::Value value) {
  return leaf(Kind::kNe, std::move(field), std::move(value));
}
FilterCondition FilterCondition::gt(std::string field, json::Value value) {
  return leaf(Kind::kGt, std::move(field), std::move(value));
}
FilterCondition FilterCondition::gte(std::string field, json::Value value) {
  return leaf(Kind::kGte, std::move(field), std::move(value));
}
FilterCondition FilterCondition::lt(std::string field, json::Value value) {
  return leaf(Kind::kLt, std::move(field), std::move(value));
}
FilterCondition FilterCondition::lte(std::string field, json::Value value) {
  return leaf(Kind::kLte, std::move(field), std::move(value));
}

FilterCondition FilterCondition::in(std::string field, std::vector<json::Value> values) {
  FilterCondition c;
  c.kind = Kind::kIn;
  c.field = std::move(field);
  c.values = std::move(values);
  return c;
}

FilterCondition FilterCondition::contains(std::string field, std::string substring) {
  FilterCondition c;
  c.kind = Kind::kContains;
  c.field = std::move(field);
  c.substring = std::move(substring);
  return c;
}

FilterCondition FilterCondition::exists(std::string field) {
  FilterCondition c;
  c.kind = Kind::kExists;
  c.field = std::move(field);
  return c;
}

FilterCondition FilterCondition::contains_element(std::string field, json::Value value) {
  return leaf(Kind::kContainsElement, std::move(field), std::move(value));
}

FilterCondition FilterCondition::and_of(FilterCondition left, FilterCondition right) {
  std::vector<FilterCondition> operands;
  operands.reserve(2);
  operands.push_back(std::move(left));
  operands.push_back(std::move(right));
  return all_of(std::move(operands));
}

FilterCondition FilterCondition::or_of(FilterCondition left, FilterCondition right) {
  std::vector<FilterCondition> operands;
  operands.reserve(2);
  operands.push_back(std::move(left));
  operands.push_back(std::move(right));
  return any_of(std::move(operands));
}

FilterCondition FilterCondition::all_of(std::vector<FilterCondition> operands) {
  FilterCondition c;
  c.kind = Kind::kAnd;
  c.operands = std::move(operands);
  return c;
}

FilterCondition FilterCondition::any_of(std::vector<FilterCondition> operands) {
  FilterCondition c;
  c.kind = Kind::kOr;
  c.operands = std::move(operands);
  return c;
}

FilterCondition FilterCondition::not_of(FilterCondition inner) {
  FilterCondition c;
  c.kind = Kind::kNot;
  c.inner = boxed(std::move(inner));
  return c;
}

}  // namespace varnel
