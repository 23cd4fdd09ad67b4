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

// A leaf (kinds kEq to kExists) against the payload.
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
    default:
      return false;
  }
}

}  // namespace

bool FilterCondition::matches(const Payload& payload) const {
  // The loop carries an inversion flag: Not flips it and goes on with its
  // inner condition; And/Or evaluate their left operand first (a pushed
  // frame, with a fresh flag) and then go on with the right one; a leaf
  // gives its result xor the flag. Frames live on a small inline stack, so
  // only left operands nested 64 deep or more cost an allocation, and no
  // shape of tree recurses natively.
  struct Frame {
    const FilterCondition* node;  // the And/Or whose left operand is running
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
        pending.push(Frame{c, flip});
        c = c->left.get();
        flip = false;
        continue;
      }
      result = leaf_matches(*c, payload) != flip;
      break;
    }
    // Settle the And/Or nodes whose left operand has just given `result`.
    for (;;) {
      if (pending.empty()) return result;
      Frame f = pending.back();
      pending.pop();
      bool is_and = f.node->kind == Kind::kAnd;
      if (is_and != result) {
        // And with a false left operand, Or with a true one: decided.
        result = result != f.flip;
        continue;
      }
      c = f.node->right.get();
      flip = f.flip;
      break;
    }
  }
}

FilterCondition& FilterCondition::operator=(FilterCondition&& other) noexcept {
  if (this != &other) {
    // Our old subtree goes to a local whose destructor takes it apart
    // without recursion (`other` may even live inside it).
    FilterCondition old(std::move(*this));
    kind = other.kind;
    field = std::move(other.field);
    value = std::move(other.value);
    values = std::move(other.values);
    substring = std::move(other.substring);
    left = std::move(other.left);
    right = std::move(other.right);
    inner = std::move(other.inner);
  }
  return *this;
}

FilterCondition::~FilterCondition() {
  if (!left && !right && !inner) return;
  // Detach the children onto a worklist and free nodes one at a time, each
  // with no children left, so a million-deep chain needs no deep stack.
  std::vector<std::unique_ptr<FilterCondition>> pending;
  auto detach = [&pending](FilterCondition& c) {
    if (c.left) pending.push_back(std::move(c.left));
    if (c.right) pending.push_back(std::move(c.right));
    if (c.inner) pending.push_back(std::move(c.inner));
  };
  detach(*this);
  while (!pending.empty()) {
    std::unique_ptr<FilterCondition> node = std::move(pending.back());
    pending.pop_back();
    detach(*node);
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

FilterCondition FilterCondition::and_of(FilterCondition left, FilterCondition right) {
  FilterCondition c;
  c.kind = Kind::kAnd;
  c.left = boxed(std::move(left));
  c.right = boxed(std::move(right));
  return c;
}

FilterCondition FilterCondition::or_of(FilterCondition left, FilterCondition right) {
  FilterCondition c;
  c.kind = Kind::kOr;
  c.left = boxed(std::move(left));
  c.right = boxed(std::move(right));
  return c;
}

FilterCondition FilterCondition::not_of(FilterCondition inner) {
  FilterCondition c;
  c.kind = Kind::kNot;
  c.inner = boxed(std::move(inner));
  return c;
}

}  // namespace varnel
