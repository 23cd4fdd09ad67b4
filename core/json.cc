#include "json.h"

namespace varnel::json {
namespace {

// Equality of the value itself, and for containers of their kind and size
// only; the elements are compared by the caller.
bool shallow_equal(const Value& a, const Value& b) {
  using T = Value::value_t;
  T ta = a.type();
  T tb = b.type();
  bool ia = ta == T::number_integer || ta == T::number_unsigned;
  bool ib = tb == T::number_integer || tb == T::number_unsigned;
  if (ia && ib) {
    // A signed integer that is not negative stands for the unsigned form.
    if (ta == T::number_integer && tb == T::number_integer) {
      return a.get_ref<const Value::number_integer_t&>() ==
             b.get_ref<const Value::number_integer_t&>();
    }
    auto as_u = [](const Value& v, bool* neg) -> uint64_t {
      if (v.type() == T::number_unsigned) return v.get_ref<const Value::number_unsigned_t&>();
      int64_t i = v.get_ref<const Value::number_integer_t&>();
      *neg = i < 0;
      return static_cast<uint64_t>(i);
    };
    bool na = false;
    bool nb = false;
    uint64_t ua = as_u(a, &na);
    uint64_t ub = as_u(b, &nb);
    return !na && !nb && ua == ub;
  }
  if (ta != tb) return false;
  switch (ta) {
    case T::null:
      return true;
    case T::boolean:
      return a.get_ref<const Value::boolean_t&>() == b.get_ref<const Value::boolean_t&>();
    case T::number_float:
      return a.get_ref<const Value::number_float_t&>() == b.get_ref<const Value::number_float_t&>();
    case T::string:
      return a.get_ref<const Value::string_t&>() == b.get_ref<const Value::string_t&>();
    case T::array:
    case T::object:
      return a.size() == b.size();
    default:
      return a == b;  // binary, discarded: never produced by the reader
  }
}

}  // namespace

bool equal(const Value& a, const Value& b) {
  if (!shallow_equal(a, b)) return false;
  if (!a.is_structured()) return true;
  struct Frame {
    Value::const_iterator ia, ea, ib;
    bool object = false;
  };
  detail::SmallStack<Frame, 32> stack;
  if (!a.empty()) stack.push(Frame{a.cbegin(), a.cend(), b.cbegin(), a.is_object()});
  while (!stack.empty()) {
    Frame& f = stack.back();
    if (f.ia == f.ea) {
      stack.pop();
      continue;
    }
    if (f.object && f.ia.key() != f.ib.key()) return false;
    const Value& x = *f.ia;
    const Value& y = *f.ib;
    ++f.ia;
    ++f.ib;
    if (!shallow_equal(x, y)) return false;
    if (x.is_structured() && !x.empty()) {
      stack.push(Frame{x.cbegin(), x.cend(), y.cbegin(), x.is_object()});
    }
  }
  return true;
}

}  // namespace varnel::json
