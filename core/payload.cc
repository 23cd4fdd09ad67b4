#include "payload.h"

#include <algorithm>
#include <vector>

namespace varnel {
namespace {

constexpr std::string_view kPayloadFields[] = {"data"};

}  // namespace

void Payload::write_json(std::string& out) const {
  out.append("{\"data\":{", 9);
  bool first = true;
  for (const auto& [key, value] : data) {
    if (!first) out.push_back(',');
    first = false;
    json::write_string(out, key);
    out.push_back(':');
    json::write_value(out, value);
  }
  out.append("}}", 2);
}

void Payload::write_object(std::string& out) const {
  std::vector<const std::pair<const std::string, json::Value>*> members;
  members.reserve(data.size());
  for (const auto& member : data) members.push_back(&member);
  std::sort(members.begin(), members.end(),
            [](const auto* a, const auto* b) { return a->first < b->first; });
  out.push_back('{');
  for (size_t i = 0; i < members.size(); ++i) {
    if (i > 0) out.push_back(',');
    json::write_string(out, members[i]->first);
    out.push_back(':');
    json::write_value(out, members[i]->second);
  }
  out.push_back('}');
}

std::string Payload::to_json() const {
  std::string out;
  write_json(out);
  return out;
}

std::string Payload::check_writable(size_t depth_used) const {
  // The payload object and its data map take two levels.
  for (const auto& [key, value] : data) {
    if (!json::valid_utf8(key)) return "key is not valid UTF-8";
    std::string why = json::check_writable(value, depth_used + 2);
    if (!why.empty()) return why;
  }
  return {};
}

bool Payload::read_json(json::Reader& r, Payload* out) {
  out->data.clear();
  json::StructReader s(r, "Payload", kPayloadFields);
  for (int f; (f = s.next_field()) >= 0;) {
    // The only field is data: a map whose repeated keys keep the last value.
    if (!r.begin_object("a map")) break;
    std::string key;
    while (r.next_key(&key)) {
      json::Value v;
      if (!r.read_value(&v)) break;
      out->data.insert_or_assign(std::move(key), std::move(v));
      key = std::string();
    }
  }
  if (r.failed()) {
    out->data.clear();
    return false;
  }
  return true;
}

Result<Payload, std::string> Payload::from_json(std::string_view text) {
  json::Reader r(text);
  Payload p;
  if (!read_json(r, &p) || !r.finish()) return r.error();
  return p;
}

}  // namespace varnel
