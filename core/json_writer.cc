#include "json.h"

#include <charconv>
#include <cmath>

namespace varnel::json {
namespace {

constexpr char kHex[] = "0123456789abcdef";

}  // namespace

void write_string(std::string& out, std::string_view s) {
  out.push_back('"');
  size_t run = 0;  // start of the bytes not yet copied
  for (size_t i = 0; i < s.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    if (c >= 0x20 && c != '"' && c != '\\') continue;
    out.append(s.data() + run, i - run);
    run = i + 1;
    char esc[6] = {'\\', 0, 0, 0, 0, 0};
    switch (c) {
      case '"': esc[1] = '"'; break;
      case '\\': esc[1] = '\\'; break;
      case 0x08: esc[1] = 'b'; break;
      case 0x09: esc[1] = 't'; break;
      case 0x0A: esc[1] = 'n'; break;
      case 0x0C: esc[1] = 'f'; break;
      case 0x0D: esc[1] = 'r'; break;
      default:
        esc[1] = 'u';
        esc[2] = '0';
        esc[3] = '0';
        esc[4] = kHex[c >> 4];
        esc[5] = kHex[c & 0xF];
        out.append(esc, 6);
        continue;
    }
    out.append(esc, 2);
  }
  out.append(s.data() + run, s.size() - run);
  out.push_back('"');
}
void write_value(std::string& out, const Value& root) {
  using T = Value::value_t;
  // Frames of the containers being written; `first` is true until the first
  // element or member has been written.
  struct Frame {
    const Value* v = nullptr;
    Value::const_iterator it;
    bool first = true;
  };
  detail::SmallStack<Frame, 16> stack;
  const Value* v = &root;
  for (;;) {
    // Write one value; a container opens a frame and its elements follow.
    switch (v->type()) {
      case T::null:
        out.append("null", 4);
        break;
      case T::boolean:
        if (v->get_ref<const Value::boolean_t&>()) {
          out.append("true", 4);
        } else {
          out.append("false", 5);
        }
        break;
      case T::number_unsigned: {
        char buf[24];
        auto r = std::to_chars(buf, buf + sizeof buf, v->get_ref<const Value::number_unsigned_t&>());
        out.append(buf, r.ptr - buf);
        break;
      }
      case T::number_integer: {
        char buf[24];
        auto r = std::to_chars(buf, buf + sizeof buf, v->get_ref<const Value::number_integer_t&>());
        out.append(buf, r.ptr - buf);
        break;
      }
      case T::number_float:
        write_f64(out, v->get_ref<const Value::number_float_t&>());
        break;
      case T::string:
        write_string(out, v->get_ref<const Value::string_t&>());
        break;
      case T::array:
      case T::object:
        out.push_back(v->is_array() ? '[' : '{');
        stack.push(Frame{v, v->cbegin(), true});
        break;
      default:  // binary and discarded have no text form
        out.append("null", 4);
        break;
    }
    // Find the next value to write, closing finished containers.
    v = nullptr;
    while (!stack.empty()) {
      Frame& f = stack.back();
      if (f.it == f.v->cend()) {
        out.push_back(f.v->is_array() ? ']' : '}');
        stack.pop();
        continue;
      }
      if (!f.first) out.push_back(',');
      f.first = false;
      if (f.v->is_object()) {
        write_string(out, f.it.key());
        out.push_back(':');
      }
      v = &*f.it;
      ++f.it;
      break;
    }
    if (v == nullptr) return;
  }
}
std::string check_writable(const Value& root, size_t depth_used) {
  struct Frame {
    const Value* v = nullptr;
    Value::const_iterator it;
  };
  detail::SmallStack<Frame, 16> stack;
  const Value* v = &root;
  for (;;) {
    if (v->is_string() && !valid_utf8(v->get_ref<const std::string&>())) {
      return "string is not valid UTF-8";
    }
    if (v->is_number_float() && !std::isfinite(v->get_ref<const Value::number_float_t&>())) {
      return "number is not finite";
    }
    if (v->is_binary() || v->is_discarded()) return "value has no JSON form";
    if (v->is_structured()) {
      // The container opened here is level depth_used + depth + 1.
      if (depth_used + 1 >= kMaxDepth) return "nesting too deep";
      ++depth_used;
      stack.push(Frame{v, v->cbegin()});
    }
    v = nullptr;
    while (!stack.empty()) {
      Frame& f = stack.back();
      if (f.it == f.v->cend()) {
        stack.pop();
        --depth_used;
        continue;
      }
      if (f.v->is_object() && !valid_utf8(f.it.key())) return "key is not valid UTF-8";
      v = &*f.it;
      ++f.it;
      break;
    }
    if (v == nullptr) return {};
  }
}

}  // namespace varnel::json
