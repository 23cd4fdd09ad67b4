// varnel._engine: the extension module under the `varnel` package. It
// converts and forwards; ordering, ties, durability and errors are the
// core's. The Python layer (py/varnel) normalises arguments first: ids
// arrive as C-contiguous uint64 arrays, vectors and queries as C-contiguous
// float32 matrices of the right width, filters as a tree of tuples.
//
// Threads: every call releases the interpreter lock before it waits on a
// lock of its own or of the core, and takes it back only to build Python
// objects. Each object has one reader-writer lock guarding its core object:
// searches and reads share it, writes and close take it alone.
//
// Errors: a core Error of the I/O kinds becomes OSError(errno, message)
// (the errno read back from the message's " (os error N)"), the others
// ValueError with the message; a bad payload value is a ValueError or
// TypeError naming where in the payload it sits.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/string.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <utility>
#include <vector>

#include "collection.h"
#include "filter.h"
#include "index/brute_force.h"
#include "payload.h"
#include "thread_pool.h"

namespace nb = nanobind;
using namespace nb::literals;

namespace varnel {
namespace {

using index::BruteForceIndex;
using index::SearchResult;
using index::VectorEntry;
using storage::SyncTiming;

using IdArray = nb::ndarray<const uint64_t, nb::ndim<1>, nb::c_contig, nb::device::cpu>;
using Matrix = nb::ndarray<const float, nb::ndim<2>, nb::c_contig, nb::device::cpu>;

// ---- errors

[[noreturn]] void raise(PyObject* type, const std::string& text) {
  PyErr_SetString(type, text.c_str());
  throw nb::python_error();
}

// The errno of a message ending in " (os error N)", or 0.
int errno_of(const std::string& message) {
  static constexpr std::string_view kMark = " (os error ";
  if (message.empty() || message.back() != ')') return 0;
  const size_t at = message.rfind(kMark);
  if (at == std::string::npos) return 0;
  int n = 0;
  for (size_t i = at + kMark.size(); i + 1 < message.size(); ++i) {
    const char c = message[i];
    if (c < '0' || c > '9' || n > 100000) return 0;
    n = n * 10 + (c - '0');
  }
  return n;
}

[[noreturn]] void raise_error(const Error& error) {
  const std::string message = error.message();
  switch (error.kind()) {
    case Error::Kind::kIoError:
    case Error::Kind::kWalCorrupted:
    case Error::Kind::kCollectionError: {
      const int err = errno_of(message);
      PyObject* args = err != 0 ? Py_BuildValue("(is)", err, message.c_str())
                                : Py_BuildValue("(s)", message.c_str());
      if (args == nullptr) throw nb::python_error();
      PyErr_SetObject(PyExc_OSError, args);
      Py_DECREF(args);
      throw nb::python_error();
    }
    case Error::Kind::kNotFound:
      raise(PyExc_KeyError, message);
    default:
      raise(PyExc_ValueError, message);
  }
}

void check(const Status& status) {
  if (!status.ok()) raise_error(status.error());
}

// ---- JSON values from and to Python

// Where a value sits in a payload, for error texts: payload['a'][2].
struct Where {
  const Where* parent;
  const std::string* key;  // set for a member of an object
  size_t item;             // otherwise the position in an array
  std::string text() const {
    std::string out = parent != nullptr ? parent->text() : "payload";
    if (parent == nullptr && key == nullptr) return out;
    if (key != nullptr) {
      out += "['";
      out += *key;
      out += "']";
    } else {
      out += "[" + std::to_string(item) + "]";
    }
    return out;
  }
};

constexpr size_t kMaxValueDepth = json::kMaxDepth;

[[noreturn]] void refuse(PyObject* type, const Where& at, const std::string& why) {
  raise(type, at.text() + ": " + why);
}

std::string utf8(PyObject* s, const Where& at) {
  Py_ssize_t size = 0;
  const char* p = PyUnicode_AsUTF8AndSize(s, &size);
  if (p == nullptr) {
    PyErr_Clear();
    refuse(PyExc_ValueError, at, "text is not valid UTF-8");
  }
  return std::string(p, static_cast<size_t>(size));
}

json::Value to_json(PyObject* obj, const Where& at, size_t depth) {
  if (depth > kMaxValueDepth) refuse(PyExc_ValueError, at, "nested too deeply");
  if (obj == Py_None) return json::Value(nullptr);
  if (PyBool_Check(obj)) return json::Value(obj == Py_True);
  if (PyFloat_Check(obj)) {
    const double d = PyFloat_AS_DOUBLE(obj);
    if (!std::isfinite(d)) refuse(PyExc_ValueError, at, "float is not finite");
    return json::Value(d);
  }
  if (PyLong_Check(obj) || (PyIndex_Check(obj) && !PyUnicode_Check(obj))) {
    nb::object number = nb::steal(PyNumber_Index(obj));
    if (!number.is_valid()) throw nb::python_error();
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(number.ptr(), &overflow);
    if (v == -1 && PyErr_Occurred()) throw nb::python_error();
    if (overflow == 0) {
      return v >= 0 ? json::Value(static_cast<uint64_t>(v)) : json::Value(static_cast<int64_t>(v));
    }
    if (overflow > 0) {
      const unsigned long long u = PyLong_AsUnsignedLongLong(number.ptr());
      if (!(u == static_cast<unsigned long long>(-1) && PyErr_Occurred())) {
        return json::Value(static_cast<uint64_t>(u));
      }
      PyErr_Clear();
    }
    refuse(PyExc_ValueError, at, "int does not fit in 64 bits");
  }
  if (PyUnicode_Check(obj)) return json::Value(utf8(obj, at));
  if (PyList_Check(obj) || PyTuple_Check(obj)) {
    nb::object seq = nb::steal(PySequence_Fast(obj, "expected a sequence"));
    if (!seq.is_valid()) throw nb::python_error();
    json::Value out = json::Value::array();
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.ptr());
    for (Py_ssize_t i = 0; i < n; ++i) {
      const Where item{&at, nullptr, static_cast<size_t>(i)};
      out.push_back(to_json(PySequence_Fast_GET_ITEM(seq.ptr(), i), item, depth + 1));
    }
    return out;
  }
  if (PyDict_Check(obj)) {
    json::Value out = json::Value::object();
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    Py_ssize_t pos = 0;
    while (PyDict_Next(obj, &pos, &key, &value)) {
      if (!PyUnicode_Check(key)) {
        refuse(PyExc_TypeError, at, std::string("key of type '") + Py_TYPE(key)->tp_name +
                                        "' (keys must be str)");
      }
      const std::string name = utf8(key, at);
      const Where member{&at, &name, 0};
      nb::object held = nb::borrow(value);  // the dict may change under user code
      out[name] = to_json(held.ptr(), member, depth + 1);
    }
    return out;
  }
  refuse(PyExc_TypeError, at,
         std::string("values of type '") + Py_TYPE(obj)->tp_name + "' cannot be stored");
}

nb::object from_json(const json::Value& v) {
  switch (v.type()) {
    case json::Value::value_t::null:
      return nb::none();
    case json::Value::value_t::boolean:
      return nb::bool_(v.get<bool>());
    case json::Value::value_t::number_unsigned:
      return nb::steal(PyLong_FromUnsignedLongLong(v.get<uint64_t>()));
    case json::Value::value_t::number_integer:
      return nb::steal(PyLong_FromLongLong(v.get<int64_t>()));
    case json::Value::value_t::number_float:
      return nb::float_(v.get<double>());
    case json::Value::value_t::string: {
      const auto& s = v.get_ref<const std::string&>();
      return nb::steal(PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace"));
    }
    case json::Value::value_t::array: {
      nb::list out;
      for (const auto& item : v) out.append(from_json(item));
      return out;
    }
    case json::Value::value_t::object: {
      nb::dict out;
      for (const auto& [key, item] : v.items()) out[nb::str(key.c_str(), key.size())] = from_json(item);
      return out;
    }
    default:
      return nb::none();
  }
}

Payload to_payload(nb::handle obj) {
  Payload payload;
  if (obj.is_none()) return payload;
  if (!PyDict_Check(obj.ptr())) {
    raise(PyExc_TypeError, std::string("payload must be a dict or None, not '") +
                               Py_TYPE(obj.ptr())->tp_name + "'");
  }
  const Where top{nullptr, nullptr, 0};
  json::Value object = to_json(obj.ptr(), top, 0);
  for (auto& [key, value] : object.items()) payload.data.emplace(key, std::move(value));
  // The log entry holds the payload two levels down; the reader's nesting
  // limit counts those too.
  const std::string why = payload.check_writable(1);
  if (!why.empty()) raise(PyExc_ValueError, "payload cannot be stored: " + why);
  return payload;
}

nb::dict payload_dict(const Payload& payload) {
  std::vector<const std::pair<const std::string, json::Value>*> members;
  members.reserve(payload.data.size());
  for (const auto& member : payload.data) members.push_back(&member);
  std::sort(members.begin(), members.end(),
            [](const auto* a, const auto* b) { return a->first < b->first; });
  nb::dict out;
  for (const auto* m : members) out[nb::str(m->first.c_str(), m->first.size())] = from_json(m->second);
  return out;
}

std::vector<Payload> to_payloads(nb::handle payloads, size_t n) {
  std::vector<Payload> out(n);
  if (payloads.is_none()) return out;
  nb::list items = nb::borrow<nb::list>(payloads);
  if (items.size() != n) {
    raise(PyExc_ValueError, "expected " + std::to_string(n) + " payloads, got " +
                                std::to_string(items.size()));
  }
  for (size_t i = 0; i < n; ++i) out[i] = to_payload(items[i]);
  return out;
}

// ---- filters: a tree of tuples built by the Python layer
//   ("eq"|"ne"|"gt"|"gte"|"lt"|"lte", field, value)  ("in", field, [values])
//   ("contains", field, text)  ("exists", field)  ("not", tree)
//   ("and"|"or", tree, tree)  ("none",): matches nothing

json::Value filter_value(nb::handle obj) {
  const Where top{nullptr, nullptr, 0};
  return to_json(obj.ptr(), top, 1);
}

FilterCondition to_condition(nb::handle node) {
  nb::tuple t = nb::borrow<nb::tuple>(node);
  const std::string op = nb::cast<std::string>(t[0]);
  if (op == "and" || op == "or") {
    FilterCondition left = to_condition(t[1]);
    FilterCondition right = to_condition(t[2]);
    return op == "and" ? FilterCondition::and_of(std::move(left), std::move(right))
                       : FilterCondition::or_of(std::move(left), std::move(right));
  }
  if (op == "not") return FilterCondition::not_of(to_condition(t[1]));
  if (op == "none") {
    FilterCondition nothing;
    nothing.kind = FilterCondition::Kind::kOr;  // no operands: matches nothing
    return nothing;
  }
  std::string field = nb::cast<std::string>(t[1]);
  if (op == "exists") return FilterCondition::exists(std::move(field));
  if (op == "contains") return FilterCondition::contains(std::move(field), nb::cast<std::string>(t[2]));
  if (op == "in") {
    std::vector<json::Value> values;
    for (nb::handle item : nb::borrow<nb::list>(t[2])) values.push_back(filter_value(item));
    return FilterCondition::in(std::move(field), std::move(values));
  }
  json::Value value = filter_value(t[2]);
  if (op == "eq") return FilterCondition::eq(std::move(field), std::move(value));
  if (op == "ne") return FilterCondition::ne(std::move(field), std::move(value));
  if (op == "gt") return FilterCondition::gt(std::move(field), std::move(value));
  if (op == "gte") return FilterCondition::gte(std::move(field), std::move(value));
  if (op == "lt") return FilterCondition::lt(std::move(field), std::move(value));
  if (op == "lte") return FilterCondition::lte(std::move(field), std::move(value));
  raise(PyExc_ValueError, "unknown filter operation: " + op);
}

std::optional<Filter> to_filter(nb::handle tree) {
  if (tree.is_none()) return std::nullopt;
  return Filter{to_condition(tree)};
}

// ---- results

// An array that owns a heap block of `count` values of T.
template <typename T>
nb::ndarray<nb::numpy, T> owned_array(std::unique_ptr<T[]> data, std::initializer_list<size_t> shape) {
  T* raw = data.release();
  nb::capsule owner(raw, [](void* p) noexcept { delete[] static_cast<T*>(p); });
  return nb::ndarray<nb::numpy, T>(raw, shape.size(), shape.begin(), owner);
}

template <typename T>
nb::ndarray<nb::numpy, T> owned_array(std::unique_ptr<T[]> data, const std::vector<size_t>& shape) {
  T* raw = data.release();
  nb::capsule owner(raw, [](void* p) noexcept { delete[] static_cast<T*>(p); });
  return nb::ndarray<nb::numpy, T>(raw, shape.size(), shape.data(), owner);
}

nb::object ids_array(const std::vector<uint64_t>& ids) {
  std::unique_ptr<uint64_t[]> data(new uint64_t[std::max<size_t>(ids.size(), 1)]);
  std::copy(ids.begin(), ids.end(), data.get());
  return nb::cast(owned_array(std::move(data), {ids.size()}));
}

// (ids, distances, payloads or None) for `lists` of equal length; a single
// query (`one`) gives 1-D arrays and a flat payload list.
nb::tuple hits_tuple(const std::vector<std::vector<SearchResult>>& lists, bool one, bool payloads) {
  const size_t nq = lists.size();
  size_t m = 0;
  for (const auto& list : lists) m = std::max(m, list.size());
  const size_t cells = std::max<size_t>(nq * m, 1);
  std::unique_ptr<uint64_t[]> ids(new uint64_t[cells]());
  std::unique_ptr<float[]> distances(new float[cells]);
  std::fill(distances.get(), distances.get() + cells, std::nanf(""));
  for (size_t q = 0; q < nq; ++q) {
    for (size_t j = 0; j < lists[q].size(); ++j) {
      ids[q * m + j] = lists[q][j].id;
      distances[q * m + j] = lists[q][j].distance;
    }
  }
  nb::object payload_lists = nb::none();
  if (payloads) {
    nb::list outer;
    for (const auto& list : lists) {
      nb::list inner;
      for (const auto& hit : list) {
        inner.append(hit.payload.has_value() ? payload_dict(*hit.payload) : nb::dict());
      }
      if (one) {
        payload_lists = std::move(inner);
        break;
      }
      outer.append(std::move(inner));
    }
    if (!one) payload_lists = std::move(outer);
  }
  std::vector<size_t> shape = one ? std::vector<size_t>{m} : std::vector<size_t>{nq, m};
  return nb::make_tuple(owned_array(std::move(ids), shape), owned_array(std::move(distances), shape),
                        payload_lists);
}

nb::object entry_tuple(const std::optional<VectorEntry>& entry) {
  if (!entry.has_value()) return nb::none();
  const size_t n = entry->vector.size();
  std::unique_ptr<float[]> data(new float[std::max<size_t>(n, 1)]);
  std::copy(entry->vector.begin(), entry->vector.end(), data.get());
  return nb::make_tuple(owned_array(std::move(data), {n}), payload_dict(entry->payload));
}

DistanceMetric parse_metric(const std::string& name) {
  if (name == "euclidean") return DistanceMetric::Euclidean;
  if (name == "cosine") return DistanceMetric::Cosine;
  if (name == "dot") return DistanceMetric::DotProduct;
  raise(PyExc_ValueError, "unknown metric: '" + name + "' (expected 'euclidean', 'cosine' or 'dot')");
}

std::string metric_text(DistanceMetric metric) {
  switch (metric) {
    case DistanceMetric::Euclidean:
      return "euclidean";
    case DistanceMetric::Cosine:
      return "cosine";
    default:
      return "dot";
  }
}

// A batch write's changes let the log's periodic sync run behind them
// (SyncTiming::kBehind). Every way out of the batch waits for that sync;
// when it failed, its error is the one reported, as it came first.
Status settled_first(varnel::Collection& c, Status failure) {
  Status settled = c.settle_log();
  return settled.ok() ? failure : settled;
}

// ---- the two classes

// Shared by both classes: the lock, the pool, and the calls that differ
// only in the core object they reach. `Core` is BruteForceIndex or
// Collection; `Owner` says how to reach it.
class IndexObject {
 public:
  IndexObject(size_t dim, const std::string& metric, size_t threads, bool prune)
      : index_(parse_metric(metric), dim), pool_(threads) {
    if (dim == 0) raise(PyExc_ValueError, "dimension must be at least 1");
    index_.set_pruning(prune);
  }

  bool prune() {
    nb::gil_scoped_release released;
    std::shared_lock guard(lock_);
    return index_.pruning();
  }
  void set_prune(bool on) {
    nb::gil_scoped_release released;
    std::unique_lock guard(lock_);
    index_.set_pruning(on);
  }
  // (blocks read by a kernel, rows among them that could enter a result,
  // blocks whose codes were read), since the index was made.
  nb::tuple scan_counts() {
    index::ScanCounts c = index_.scan_counts();
    return nb::make_tuple(c.blocks_exact, c.rows_exact, c.blocks_bounded);
  }

  size_t dim() const { return index_.dimension(); }
  std::string metric() const { return metric_text(index_.metric()); }
  size_t threads() const { return pool_.threads(); }

  void upsert(IdArray ids, Matrix vectors, nb::handle payloads) {
    const size_t n = ids.shape(0);
    std::vector<Payload> items = to_payloads(payloads, n);
    Status status;
    {
      nb::gil_scoped_release released;
      std::unique_lock guard(lock_);
      for (size_t i = 0; i < n && status.ok(); ++i) {
        const uint64_t id = ids.data()[i];
        const float* row = vectors.data() + i * vectors.shape(1);
        if (vectors.shape(1) != index_.dimension()) {
          status = Error::dimension_mismatch(index_.dimension(), vectors.shape(1));
          break;
        }
        if (index_.contains(id)) index_.remove(id);
        status = index_.insert(id, row, vectors.shape(1), std::move(items[i]));
      }
    }
    check(status);
  }

  size_t remove(IdArray ids) {
    size_t removed = 0;
    nb::gil_scoped_release released;
    std::unique_lock guard(lock_);
    for (size_t i = 0; i < ids.shape(0); ++i) removed += index_.remove(ids.data()[i]).has_value();
    return removed;
  }

  nb::object get(uint64_t id) {
    std::optional<VectorEntry> entry;
    {
      nb::gil_scoped_release released;
      std::shared_lock guard(lock_);
      entry = index_.get(id);
    }
    return entry_tuple(entry);
  }

  bool contains(uint64_t id) {
    nb::gil_scoped_release released;
    std::shared_lock guard(lock_);
    return index_.contains(id);
  }

  size_t len() {
    nb::gil_scoped_release released;
    std::shared_lock guard(lock_);
    return index_.len();
  }

  nb::object ids() {
    std::vector<uint64_t> out;
    {
      nb::gil_scoped_release released;
      std::shared_lock guard(lock_);
      out = index_.ids();
    }
    return ids_array(out);
  }

  nb::tuple search(Matrix queries, size_t k, nb::handle where, bool one, bool payloads) {
    std::optional<Filter> filter = to_filter(where);
    std::vector<std::vector<SearchResult>> lists;
    {
      nb::gil_scoped_release released;
      std::shared_lock guard(lock_);
      const Filter* f = filter.has_value() ? &*filter : nullptr;
      if (one) {
        lists.push_back(index_.search(queries.data(), queries.shape(1), k, f, &pool_));
      } else {
        lists = index_.search_batch(queries.data(), queries.shape(0), queries.shape(1), k, f, &pool_);
      }
    }
    return hits_tuple(lists, one, payloads);
  }

 private:
  std::shared_mutex lock_;  // guards index_
  BruteForceIndex index_;
  ThreadPool pool_;
};

class CollectionObject {
 private:
  // Runs f on the core collection under the shared (or exclusive) lock,
  // with the interpreter lock released; a closed collection raises.
  template <typename F>
  auto with_shared(F&& f) {
    using R = decltype(f(std::declval<varnel::Collection&>()));
    std::optional<R> out;
    {
      nb::gil_scoped_release released;
      std::shared_lock guard(lock_);
      if (core_ != nullptr) out.emplace(f(*core_));
    }
    if (!out.has_value()) raise(PyExc_ValueError, "collection is closed");
    return std::move(*out);
  }
  template <typename F>
  Status with_unique(F&& f) {
    std::optional<Status> out;
    {
      nb::gil_scoped_release released;
      std::unique_lock guard(lock_);
      if (core_ != nullptr) out.emplace(f(*core_));
    }
    if (!out.has_value()) raise(PyExc_ValueError, "collection is closed");
    return std::move(*out);
  }

 public:
  CollectionObject(const std::string& path, size_t dim, const std::string& metric, size_t threads)
      : pool_(threads) {
    CollectionConfig config;
    config.dimension = dim;
    config.metric = parse_metric(metric);
    Result<std::unique_ptr<varnel::Collection>> opened = Error::empty_vector();
    {
      nb::gil_scoped_release released;
      opened = varnel::Collection::open_or_create(path, config, &pool_);
    }
    if (!opened.ok()) raise_error(opened.error());
    core_ = std::move(opened.value());
  }

  size_t dim() { return with_shared([](varnel::Collection& c) { return c.dimension(); }); }
  std::string metric() {
    return metric_text(with_shared([](varnel::Collection& c) { return c.config().metric; }));
  }
  size_t threads() const { return pool_.threads(); }
  bool closed() {
    std::shared_lock guard(lock_);
    return core_ == nullptr;
  }

  void upsert(IdArray ids, Matrix vectors, nb::handle payloads) {
    const size_t n = ids.shape(0);
    std::vector<Payload> items = to_payloads(payloads, n);
    check(with_unique([&](varnel::Collection& c) -> Status {
      for (size_t i = 0; i < n; ++i) {
        Status status = c.upsert(ids.data()[i], vectors.data() + i * vectors.shape(1),
                                 vectors.shape(1), items[i], SyncTiming::kBehind);
        if (!status.ok()) return settled_first(c, std::move(status));
      }
      return c.settle_log();
    }));
  }

  size_t remove(IdArray ids) {
    size_t removed = 0;
    check(with_unique([&](varnel::Collection& c) -> Status {
      for (size_t i = 0; i < ids.shape(0); ++i) {
        Result<bool> held = c.remove(ids.data()[i], SyncTiming::kBehind);
        if (!held.ok()) return settled_first(c, std::move(held.error()));
        removed += held.value();
      }
      return c.settle_log();
    }));
    return removed;
  }

  nb::object get(uint64_t id) {
    return entry_tuple(with_shared([&](varnel::Collection& c) { return c.get(id); }));
  }
  bool contains(uint64_t id) {
    return with_shared([&](varnel::Collection& c) { return c.contains(id); });
  }
  size_t len() {
    return with_shared([](varnel::Collection& c) { return c.len(); });
  }
  nb::object ids() { return ids_array(with_shared([](varnel::Collection& c) { return c.ids(); })); }

  nb::tuple search(Matrix queries, size_t k, nb::handle where, bool one, bool payloads) {
    std::optional<Filter> filter = to_filter(where);
    const Filter* f = filter.has_value() ? &*filter : nullptr;
    auto lists = with_shared([&](varnel::Collection& c) {
      std::vector<std::vector<SearchResult>> out;
      if (one) {
        out.push_back(c.search(queries.data(), queries.shape(1), k, f, &pool_));
      } else {
        out = c.search_batch(queries.data(), queries.shape(0), queries.shape(1), k, f, &pool_);
      }
      return out;
    });
    return hits_tuple(lists, one, payloads);
  }

  void flush() {
    check(with_unique([](varnel::Collection& c) { return c.flush(); }));
  }
  void compact() {
    check(with_unique([](varnel::Collection& c) { return c.compact(); }));
  }

  // Flushes, then drops the core collection (its files are closed). A
  // second close does nothing. When the flush fails the collection stays
  // open, so nothing acknowledged is silently left unsynced.
  void close() {
    Status status;
    {
      nb::gil_scoped_release released;
      std::unique_lock guard(lock_);
      if (core_ == nullptr) return;
      status = core_->flush();
      if (status.ok()) core_.reset();
    }
    check(status);
  }

 private:
  std::shared_mutex lock_;  // guards core_ (its presence; the core locks its own members)
  std::unique_ptr<varnel::Collection> core_;
  ThreadPool pool_;
};

// The metadata of the collection at `path`: (dim, metric) or None when the
// directory holds no meta.json.
nb::object stored_config(const std::string& path) {
  std::optional<storage::IoResult<bool>> exists;
  Result<CollectionMeta> meta = Error::empty_vector();
  {
    nb::gil_scoped_release released;
    exists.emplace(storage::stat_exists(std::filesystem::path(path) / kMetaFileName));
    if (exists->ok() && exists->value()) meta = read_meta(path);
  }
  if (!exists->ok()) raise_error(Error::collection("read meta failed: " + exists->error()));
  if (!exists->value()) return nb::none();
  if (!meta.ok()) raise_error(meta.error());
  const std::string& name = meta.value().metric;
  std::string metric = name == "Euclidean" ? "euclidean"
                       : name == "Cosine"  ? "cosine"
                       : name == "DotProduct" ? "dot"
                                              : name;
  return nb::make_tuple(meta.value().dimension, metric);
}

// Positions of the merged top-k of several hit lists of one query: a list
// of (part, position) pairs by the index's order of results.
nb::tuple merge(nb::list id_parts, nb::list distance_parts, size_t k) {
  using Ids = nb::ndarray<const uint64_t, nb::ndim<2>, nb::c_contig, nb::device::cpu>;
  using Distances = nb::ndarray<const float, nb::ndim<2>, nb::c_contig, nb::device::cpu>;
  const size_t parts = id_parts.size();
  std::vector<Ids> ids;
  std::vector<Distances> distances;
  size_t nq = 0;
  for (size_t p = 0; p < parts; ++p) {
    ids.push_back(nb::cast<Ids>(id_parts[p]));
    distances.push_back(nb::cast<Distances>(distance_parts[p]));
    if (p == 0) nq = ids[0].shape(0);
    if (ids[p].shape(0) != nq || distances[p].shape(0) != nq || ids[p].shape(1) != distances[p].shape(1)) {
      raise(PyExc_ValueError, "hit lists of different shapes");
    }
  }
  size_t total = 0;
  for (size_t p = 0; p < parts; ++p) total += ids[p].shape(1);
  const size_t m = std::min(k, total);
  std::unique_ptr<int64_t[]> part_of(new int64_t[std::max<size_t>(nq * m, 1)]);
  std::unique_ptr<int64_t[]> pos_of(new int64_t[std::max<size_t>(nq * m, 1)]);
  {
    nb::gil_scoped_release released;
    std::vector<std::pair<size_t, size_t>> cells;
    for (size_t q = 0; q < nq; ++q) {
      cells.clear();
      for (size_t p = 0; p < parts; ++p) {
        for (size_t j = 0; j < ids[p].shape(1); ++j) cells.emplace_back(p, j);
      }
      std::partial_sort(cells.begin(), cells.begin() + static_cast<ptrdiff_t>(m), cells.end(),
                        [&](const auto& a, const auto& b) {
                          return index::ranks_before(distances[a.first](q, a.second), ids[a.first](q, a.second),
                                                     distances[b.first](q, b.second), ids[b.first](q, b.second));
                        });
      for (size_t j = 0; j < m; ++j) {
        part_of[q * m + j] = static_cast<int64_t>(cells[j].first);
        pos_of[q * m + j] = static_cast<int64_t>(cells[j].second);
      }
    }
  }
  return nb::make_tuple(owned_array(std::move(part_of), {nq, m}), owned_array(std::move(pos_of), {nq, m}));
}

}  // namespace
}  // namespace varnel

NB_MODULE(_engine, m) {
  using varnel::CollectionObject;
  using varnel::IndexObject;
  m.doc() = "The compiled half of the varnel package; use the classes of `varnel` instead.";

  nb::class_<IndexObject>(m, "Index")
      .def(nb::init<size_t, const std::string&, size_t, bool>(), "dim"_a, "metric"_a, "threads"_a,
           "prune"_a)
      .def_prop_rw("prune", &IndexObject::prune, &IndexObject::set_prune)
      .def("scan_counts", &IndexObject::scan_counts)
      .def_prop_ro("dim", &IndexObject::dim)
      .def_prop_ro("metric", &IndexObject::metric)
      .def_prop_ro("threads", &IndexObject::threads)
      .def("upsert", &IndexObject::upsert, "ids"_a, "vectors"_a, "payloads"_a.none())
      .def("delete", &IndexObject::remove, "ids"_a)
      .def("get", &IndexObject::get, "id"_a)
      .def("contains", &IndexObject::contains, "id"_a)
      .def("__len__", &IndexObject::len)
      .def("ids", &IndexObject::ids)
      .def("search", &IndexObject::search, "queries"_a, "k"_a, "where"_a.none(), "one"_a, "payloads"_a);

  nb::class_<CollectionObject>(m, "Collection")
      .def(nb::init<const std::string&, size_t, const std::string&, size_t>(), "path"_a, "dim"_a,
           "metric"_a, "threads"_a)
      .def_prop_ro("dim", &CollectionObject::dim)
      .def_prop_ro("metric", &CollectionObject::metric)
      .def_prop_ro("threads", &CollectionObject::threads)
      .def_prop_ro("closed", &CollectionObject::closed)
      .def("upsert", &CollectionObject::upsert, "ids"_a, "vectors"_a, "payloads"_a.none())
      .def("delete", &CollectionObject::remove, "ids"_a)
      .def("get", &CollectionObject::get, "id"_a)
      .def("contains", &CollectionObject::contains, "id"_a)
      .def("__len__", &CollectionObject::len)
      .def("ids", &CollectionObject::ids)
      .def("search", &CollectionObject::search, "queries"_a, "k"_a, "where"_a.none(), "one"_a, "payloads"_a)
      .def("flush", &CollectionObject::flush)
      .def("compact", &CollectionObject::compact)
      .def("close", &CollectionObject::close);

  m.def("stored_config", &varnel::stored_config, "path"_a);
  m.def("merge", &varnel::merge, "ids"_a, "distances"_a, "k"_a);
}
