// Payload: the named JSON values stored with one vector. Written as compact
// JSON text {"data":{...}}; read back from text by the rules of the JSON unit
// (nesting limit, trailing text refused, errors ending in "at line L column C").
#pragma once

#include <string>
#include <string_view>
#include <unordered_map>

#include "json.h"
#include "result.h"

namespace varnel {

struct Payload {
  std::unordered_map<std::string, json::Value> data;

  bool empty() const { return data.empty(); }
  // Sets every member of `patch` here, keeping the members it does not name
  // (a partial update).
  void merge(const Payload& patch) {
    for (const auto& [key, value] : patch.data) data[key] = value;
  }

  // Appends the compact JSON text to `out`. Never fails. An empty payload is
  // the 11 bytes {"data":{}}.
  void write_json(std::string& out) const;
  std::string to_json() const;
  // Appends the members alone as one compact JSON object, keys ascending
  // (an empty payload is {}), the form an export gives.
  void write_object(std::string& out) const;

  // Reads one payload from `text`; the error is the JSON reader's text, which
  // the caller wraps in an Error of its own kind.
  static Result<Payload, std::string> from_json(std::string_view text);

  // Reads one payload at the reader's position, for records that embed one
  // (the log entry). On failure the error is recorded in `r`, *out is empty.
  static bool read_json(json::Reader& r, Payload* out);

  // Empty when the written text reads back as an equal payload with
  // `depth_used` containers open around it (1 inside a log entry); otherwise
  // why not: a key or string that is not valid UTF-8, a non-finite float
  // (written as null) or nesting that reaches the reader's limit.
  std::string check_writable(size_t depth_used) const;
};

}  // namespace varnel
