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

  // Appends the compact JSON text to `out`. Never fails. An empty payload is
  // the 11 bytes {"data":{}}.
  void write_json(std::string& out) const;
  std::string to_json() const;

  // Reads one payload from `text`; the error is the JSON reader's text, which
  // the caller wraps in an Error of its own kind.
  static Result<Payload, std::string> from_json(std::string_view text);
};

}  // namespace varnel
