// The `korvane` extension module: the classes RadixEngine and HybridEngine,
// each over one engine of the engine library, and the function version().
//
// Written against the CPython C API directly. After the helpers (owned
// references, errors, argument binding, conversions) the file follows the
// usual order of a CPython module: object struct, dealloc, construction and
// methods, method tables, type slots and PyType_Spec, exec slot, module
// definition, init function. The two classes share the object struct and
// every method but construction and pickling; the class a method runs for
// only shows in its error texts (through the type's name) and in whether
// writes may wait on a server.
//
// Every method converts its Python arguments into plain C++ values first,
// then calls the engine once, then builds the Python result. The engine call
// runs with the interpreter lock held, except the inserts and removes of an
// engine that writes through to Redis (and its construction and
// destruction), which may wait on the server and release the lock meanwhile.
// No C++ exception may cross into the interpreter: each entry point catches
// and translates them.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif

#include <array>
#include <cstdint>
#include <cstring>
#include <exception>
#include <iterator>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "korvane/korvane.hpp"

namespace {

// ------------------------------------------------------------ helpers

// Owning reference to a Python object; releases it on scope exit so that
// early returns and C++ exceptions leak nothing.
class Ref {
 public:
  Ref() noexcept = default;
  explicit Ref(PyObject* object) noexcept : object_(object) {}
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& other) noexcept : object_(other.release()) {}
  Ref& operator=(Ref&& other) noexcept {
    Py_XSETREF(object_, other.release());
    return *this;
  }
  ~Ref() { Py_XDECREF(object_); }

  PyObject* get() const noexcept { return object_; }
  PyObject* release() noexcept { return std::exchange(object_, nullptr); }
  explicit operator bool() const noexcept { return object_ != nullptr; }

 private:
  PyObject* object_ = nullptr;
};

// Translates the C++ exception being handled into a Python exception.
// Call only from a catch block. Always returns nullptr.
//
// The one thing it lets pass is the unwinding that ends a thread: a thread
// that takes the interpreter lock back while the interpreter shuts down
// (a daemon thread coming back from an engine call, see Unlocked) is ended
// by pthread_exit, which unwinds its stack; swallowing that unwinding
// aborts the process.
PyObject* raise_from_cpp() {
  try {
    throw;
#if defined(__GLIBCXX__)
  } catch (const abi::__forced_unwind&) {
    throw;
#endif
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "unknown C++ exception");
  }
  return nullptr;
}

// Adds the note "while processing '<param>'" to the pending exception. If
// adding the note fails, that failure replaces the original exception.
void note_parameter(const char* param) noexcept {
  PyObject* exc = PyErr_GetRaisedException();  // normalized
  if (exc == nullptr) return;
  Ref note(PyUnicode_FromFormat("while processing '%s'", param));
  if (!note) {
    Py_DECREF(exc);
    return;
  }
  Ref result(PyObject_CallMethod(exc, "add_note", "O", note.get()));
  if (!result) {
    Py_DECREF(exc);
    return;
  }
  PyErr_SetRaisedException(exc);  // steals
}

// Raises the TypeError of a failed type check:
//   '<qualified type name>' object is not an instance of '<expected>'
//   'None' is not an instance of '<expected>'
void raise_type_mismatch(PyObject* object, const char* expected) noexcept {
  if (object == Py_None) {
    PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", expected);
    return;
  }
  Ref name(PyType_GetQualName(Py_TYPE(object)));
  if (!name) return;
  PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", name.get(), expected);
}

// UTF-8 view of a str (or subclass), without a note on failure. The view
// borrows the str's cached UTF-8 buffer and lives as long as the str.
std::optional<std::string_view> utf8_of(PyObject* object) noexcept {
  if (!PyUnicode_Check(object)) {
    raise_type_mismatch(object, "str");
    return std::nullopt;
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(object, &size);  // lone surrogate: UnicodeEncodeError
  if (data == nullptr) return std::nullopt;
  return std::string_view(data, static_cast<std::size_t>(size));
}

// A str argument as UTF-8; any failure carries the parameter's note.
std::optional<std::string_view> str_argument(PyObject* object, const char* param) noexcept {
  std::optional<std::string_view> text = utf8_of(object);
  if (!text) note_parameter(param);
  return text;
}

PyObject* str_from(std::string_view text) noexcept {
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

// Raises `type` with the whole text as its message; unlike PyErr_SetString
// an embedded NUL (possible in a rejected argument) does not cut it short.
void raise_text(PyObject* type, std::string_view text) noexcept {
  Ref message(str_from(text));
  if (message) PyErr_SetObject(type, message.get());
}

// ------------------------------------------------------------ argument binding

// Parameters of a method, all positional-or-keyword; the first `required`
// have no default.
struct Signature {
  const char* method;  // "insert": the error texts name <class>.insert()
  const char* const* names;
  Py_ssize_t count;
  Py_ssize_t required;
};

// "<class>.<method>()" for the error texts, e.g. RadixEngine.insert().
Ref function_name(PyTypeObject* owner, const Signature& sig) {
  Ref qualname(PyType_GetQualName(owner));
  if (!qualname) return Ref();
  return Ref(PyUnicode_FromFormat("%U.%s()", qualname.get(), sig.method));
}

// The keyword part of a call: names and values side by side.
struct Keywords {
  PyObject* const* names = nullptr;  // str objects
  PyObject* const* values = nullptr;
  Py_ssize_t count = 0;
};

// Joins missing names the way CPython does: 'a' / 'a' and 'b' /
// 'a', 'b', and 'c'.
Ref join_missing(const Signature& sig, const std::vector<Py_ssize_t>& missing) {
  std::string text;
  const std::size_t n = missing.size();
  for (std::size_t i = 0; i < n; ++i) {
    if (i > 0) {
      if (n == 2) {
        text += " and ";
      } else {
        text += i + 1 == n ? ", and " : ", ";
      }
    }
    text += '\'';
    text += sig.names[missing[i]];
    text += '\'';
  }
  return Ref(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

// Binds a call to the parameters as CPython binds a Python function's
// arguments, with the same texts and in the same order of checks: keywords
// (unknown name, then a parameter already filled), too many positional
// arguments, missing required arguments. `owner` is the class whose method
// is called. On success out[i] is a borrowed reference, or nullptr for an
// absent optional parameter.
bool bind(PyTypeObject* owner, const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
          const Keywords& keywords, PyObject** out) {
  for (Py_ssize_t i = 0; i < sig.count; ++i) out[i] = i < nargs ? args[i] : nullptr;

  for (Py_ssize_t k = 0; k < keywords.count; ++k) {
    PyObject* name = keywords.names[k];
    Py_ssize_t index = -1;
    for (Py_ssize_t i = 0; i < sig.count; ++i) {
      if (PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name, sig.names[i]) == 0) {
        index = i;
        break;
      }
    }
    if (index < 0 || out[index] != nullptr) {
      Ref function = function_name(owner, sig);
      if (!function) return false;
      if (index < 0) {
        PyErr_Format(PyExc_TypeError, "%U got an unexpected keyword argument '%S'", function.get(), name);
      } else {
        PyErr_Format(PyExc_TypeError, "%U got multiple values for argument '%s'", function.get(),
                     sig.names[index]);
      }
      return false;
    }
    out[index] = keywords.values[k];
  }

  if (nargs > sig.count) {
    Ref takes;
    bool plural;
    if (sig.required < sig.count) {
      takes = Ref(PyUnicode_FromFormat("from %zd to %zd", sig.required, sig.count));
      plural = true;
    } else {
      takes = Ref(PyUnicode_FromFormat("%zd", sig.count));
      plural = sig.count != 1;
    }
    Ref function = function_name(owner, sig);
    if (!takes || !function) return false;
    PyErr_Format(PyExc_TypeError, "%U takes %U positional argument%s but %zd %s given",
                 function.get(), takes.get(), plural ? "s" : "", nargs, nargs == 1 ? "was" : "were");
    return false;
  }

  std::vector<Py_ssize_t> missing;
  for (Py_ssize_t i = 0; i < sig.required; ++i) {
    if (out[i] == nullptr) missing.push_back(i);
  }
  if (!missing.empty()) {
    Ref names = join_missing(sig, missing);
    Ref function = function_name(owner, sig);
    if (!names || !function) return false;
    PyErr_Format(PyExc_TypeError, "%U missing %zd required positional argument%s: %U",
                 function.get(), static_cast<Py_ssize_t>(missing.size()),
                 missing.size() == 1 ? "" : "s", names.get());
    return false;
  }
  return true;
}

PyObject* const* tuple_items(PyObject* tuple) noexcept {
  return reinterpret_cast<PyTupleObject*>(tuple)->ob_item;
}

// Binding for the vectorcall convention: keyword values follow the
// positional ones in `args`.
bool bind_fastcall(PyObject* self, const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames, PyObject** out) {
  Keywords keywords;
  if (kwnames != nullptr) {
    keywords.names = tuple_items(kwnames);
    keywords.values = args + nargs;
    keywords.count = PyTuple_GET_SIZE(kwnames);
  }
  return bind(Py_TYPE(self), sig, args, nargs, keywords, out);
}

// Binding for tp_new, which receives the keywords as a dict. Every
// parameter of a constructor is an optional str: absent or None leaves its
// out[i] empty. Conversion failures carry the parameter's note.
bool bind_new(PyTypeObject* type, const Signature& sig, PyObject* args, PyObject* kwargs,
              std::span<std::optional<std::string_view>> out) {
  std::vector<PyObject*> names;
  std::vector<PyObject*> values;
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject* k = nullptr;
    PyObject* v = nullptr;
    while (PyDict_Next(kwargs, &pos, &k, &v)) {
      names.push_back(k);
      values.push_back(v);
    }
  }
  Keywords keywords{names.data(), values.data(), static_cast<Py_ssize_t>(names.size())};
  std::vector<PyObject*> bound(static_cast<std::size_t>(sig.count));
  if (!bind(type, sig, tuple_items(args), PyTuple_GET_SIZE(args), keywords, bound.data())) return false;
  for (std::size_t i = 0; i < bound.size(); ++i) {
    if (bound[i] == nullptr || bound[i] == Py_None) continue;
    out[i] = str_argument(bound[i], sig.names[i]);
    if (!out[i]) return false;
  }
  return true;
}

// ------------------------------------------------------------ conversions

// A key to probe a dict with. Interned, so repeated calls share one object
// and the probe matches the dict's own key by identity.
PyObject* interned(const char* text) noexcept { return PyUnicode_InternFromString(text); }

// The two keys of a metadata dict, made once by the module's exec step and
// kept for the life of the process: every insert probes with them and every
// lookup result is built with them, so neither pays for making, hashing and
// releasing a str per call. They are immutable interned strings, and
// interpreters that do not share the interpreter lock cannot load this
// module, so sharing them is safe.
PyObject* key_value = nullptr;
PyObject* key_attributes = nullptr;

// metadata dict -> Metadata. The checks and their texts carry no parameter
// note; the dict itself is only read. The record is built from views of the
// strs' UTF-8 (Metadata::from_views): no map, no hashing, one allocation,
// which matters when a load's records mostly repeat and all but one of each
// set of equal ones are dropped on arrival.
std::optional<korvane::Metadata> metadata_from_dict(PyObject* dict) {
  // References held until the record is built: the views below point into
  // these objects, and a str subclass key's __eq__, run by the second probe,
  // could take the first item out of the dict.
  Ref value_object;
  std::string_view value;
  {
    PyObject* item = PyDict_GetItemWithError(dict, key_value);  // borrowed
    if (item != nullptr) {
      value_object = Ref(Py_NewRef(item));
      std::optional<std::string_view> text = utf8_of(item);
      if (!text) return std::nullopt;
      value = *text;
    } else if (PyErr_Occurred()) {
      return std::nullopt;
    }
  }

  Ref attributes_object;
  std::vector<korvane::AttributeView> pairs;
  {
    PyObject* item = PyDict_GetItemWithError(dict, key_attributes);  // borrowed
    if (item != nullptr) {
      if (!PyDict_Check(item)) {
        PyErr_SetString(PyExc_TypeError, "'attributes' must be a dict");
        return std::nullopt;
      }
      attributes_object = Ref(Py_NewRef(item));
      // Reading the pairs runs no Python code, so the dict keeps its strs
      // (and their UTF-8) until the record is built.
      pairs.reserve(static_cast<std::size_t>(PyDict_GET_SIZE(item)));
      Py_ssize_t pos = 0;
      PyObject* k = nullptr;
      PyObject* v = nullptr;
      while (PyDict_Next(item, &pos, &k, &v)) {
        std::optional<std::string_view> key_text = utf8_of(k);
        if (!key_text) return std::nullopt;
        std::optional<std::string_view> value_text = utf8_of(v);
        if (!value_text) return std::nullopt;
        pairs.emplace_back(*key_text, *value_text);
      }
    } else if (PyErr_Occurred()) {
      return std::nullopt;
    }
  }
  return korvane::Metadata::from_views(value, pairs);
}

// The Python objects of recently returned records, so that a lookup result
// shares the record's value str and copies its attributes dict instead of
// building every str again. Direct-mapped by record identity. An entry
// holds one record with its objects, and keeps the record alive (so its
// identity cannot be reused by another record while its objects are
// cached). A record's objects are kept from its second result on its entry:
// the first result only notes its identity in the entry, taking no
// reference and leaving the cached record in place. So a stream of records
// seen once (a large table of distinct records) pays for no copies, evicts
// nothing worth keeping, and never touches the memory of a record it does
// not answer with. A noted identity may belong to a record gone since and
// reused by another: that record is then kept a result early, with objects
// built from itself, which costs nothing in correctness.
//
// A record the engine lets go must not stay alive here for long: a remove
// or clear through this object forgets it at once, and records too large
// to matter for speed are never kept, so that one replaced by an insert (or
// removed by another process, for a HybridEngine) holds little until its
// entry is reused. Used only with the interpreter lock held.
class RecordObjects {
 public:
  RecordObjects() = default;
  RecordObjects(const RecordObjects&) = delete;
  RecordObjects& operator=(const RecordObjects&) = delete;
  ~RecordObjects() {
    for (Entry& e : entries_) e.reset();
  }

  // A fresh {"value": ..., "attributes": {...}} dict for the record.
  PyObject* result_for(const korvane::Metadata& record) {
    // The result's own dict first: the engine has only just asked for the
    // record's memory, which this gives time to arrive.
    Ref result(PyDict_New());
    if (!result) return nullptr;
    const void* id = record.identity();
    Entry& e = entry_of(id);
    Ref value;
    Ref attributes;
    if (id != nullptr && e.record.identity() == id) {
      value = Ref(Py_NewRef(e.value));
      attributes = Ref(PyDict_Copy(e.attributes));  // a caller may change its copy
      if (!attributes) return nullptr;
    } else {
      value = Ref(str_from(record.value()));
      if (!value) return nullptr;
      attributes = Ref(attributes_of(record));
      if (!attributes) return nullptr;
      if (id != nullptr && e.noted == id && small_enough_to_keep(record)) {
        // Its second result on this entry: keep its objects, and hand out
        // a copy of the attributes.
        e.reset();
        e.record = record;
        e.value = Py_NewRef(value.get());
        e.attributes = attributes.release();
        attributes = Ref(PyDict_Copy(e.attributes));
        if (!attributes) return nullptr;
      } else {
        e.noted = id;
      }
    }
    if (PyDict_SetItem(result.get(), key_value, value.get()) < 0) return nullptr;
    if (PyDict_SetItem(result.get(), key_attributes, attributes.get()) < 0) return nullptr;
    // The collector keeps watching the result, as it does any dict holding
    // a dict: a caller may store a container in the attributes dict, which
    // then closes a cycle through the result.
    return result.release();
  }

  // After the engine let the record go.
  void forget(const korvane::Metadata& record) {
    Entry& e = entry_of(record.identity());
    if (e.record.identity() == record.identity()) e.reset();
  }
  void forget_all() {
    for (Entry& e : entries_) e.reset();
  }

 private:
  static constexpr std::size_t kEntries = 1024;

  struct Entry {
    // With objects: both set, or both null with `record` empty.
    korvane::Metadata record;
    PyObject* value = nullptr;
    PyObject* attributes = nullptr;
    // The identity of the last record answered here other than `record`;
    // only compared, never followed.
    const void* noted = nullptr;
    void reset() {
      Py_CLEAR(value);
      Py_CLEAR(attributes);
      record = korvane::Metadata();
      noted = nullptr;
    }
  };
  // What a kept record's objects may weigh: the text of its value and of
  // its attributes' names and values, and kAttributeObjectBytes for each
  // attribute's share of the objects (two strs and a slot of the dict's
  // table; a record of 2,000 two-letter attributes takes 124 KiB of objects
  // for 4 KB of text). A GeoIP city record flattened into attributes
  // weighs 1-3 KB. Above the bound, building the objects costs little
  // beside the copying a result needs anyway; at it, 1024 kept records hold
  // about 10 MiB at most.
  static constexpr std::size_t kMostKeptBytes = 4096;
  static constexpr std::size_t kAttributeObjectBytes = 128;

  static bool small_enough_to_keep(const korvane::Metadata& record) {
    std::size_t bytes = record.value().size();
    record.for_each_attribute([&](std::string_view name, std::string_view value) {
      bytes += name.size() + value.size() + kAttributeObjectBytes;
    });
    return bytes <= kMostKeptBytes;
  }
  Entry& entry_of(const void* id) { return entries_[(reinterpret_cast<std::uintptr_t>(id) >> 4) % kEntries]; }
  // Attribute names repeat across records (a table has a handful), and so
  // do short attribute values (country codes, continent names): one str per
  // text, kept direct-mapped, so that a result's attributes dict neither
  // builds the text again nor hashes it (a str keeps its hash). A text that
  // misses replaces the one in its place. Not interned: interned strs live
  // as long as the interpreter, and the texts come from the table's data,
  // which may hold any number of them.
  template <std::size_t kPlaces, std::size_t kLongest>
  class ShortStrs {
   public:
    ShortStrs() = default;
    ShortStrs(const ShortStrs&) = delete;
    ShortStrs& operator=(const ShortStrs&) = delete;
    ~ShortStrs() {
      for (Place& p : places_) Py_CLEAR(p.str);
    }
    // A new reference to a str of `text`, or null with an exception set.
    PyObject* str_of(std::string_view text) {
      if (text.size() > kLongest) return str_from(text);
      std::uint32_t hash = 2166136261u;  // FNV-1a
      for (const char c : text) hash = (hash ^ static_cast<unsigned char>(c)) * 16777619u;
      Place& p = places_[hash % kPlaces];
      if (p.str != nullptr && p.size == text.size() && std::memcmp(p.text, text.data(), text.size()) == 0) {
        return Py_NewRef(p.str);
      }
      PyObject* str = str_from(text);
      if (str == nullptr) return nullptr;
      std::memcpy(p.text, text.data(), text.size());
      p.size = static_cast<std::uint8_t>(text.size());
      Py_XSETREF(p.str, Py_NewRef(str));
      return str;
    }

   private:
    static_assert(kLongest <= 255);
    struct Place {
      PyObject* str = nullptr;
      std::uint8_t size = 0;
      char text[kLongest];
    };
    Place places_[kPlaces];
  };
  PyObject* attributes_of(const korvane::Metadata& record) {
    Ref attributes(PyDict_New());
    if (!attributes) return nullptr;
    bool failed = false;
    record.for_each_attribute([&](std::string_view key, std::string_view value) {
      if (failed) return;
      Ref k(names_.str_of(key));
      Ref v(k ? values_.str_of(value) : nullptr);
      failed = !v || PyDict_SetItem(attributes.get(), k.get(), v.get()) < 0;
    });
    return failed ? nullptr : attributes.release();
  }
  Entry entries_[kEntries];
  ShortStrs<64, 64> names_;
  ShortStrs<256, 24> values_;
};

// subnet text -> IpPrefix; ValueError with the subnet note on failure.
std::optional<korvane::IpPrefix> prefix_argument(std::string_view text) {
  std::optional<korvane::IpPrefix> prefix = korvane::parse_prefix(text);
  if (!prefix) {
    raise_text(PyExc_ValueError, korvane::invalid_prefix_message(text));
    note_parameter("subnet");
  }
  return prefix;
}

// ip argument -> IpAddress: str check, UTF-8, parse; failures noted 'ip'.
// One result object from parse to caller, never copied: a copy would read
// the address back, as wide words, right after the parser's narrower
// stores, and stall on them.
std::optional<korvane::IpAddress> address_argument(PyObject* object) {
  const std::optional<std::string_view> text = str_argument(object, "ip");
  std::optional<korvane::IpAddress> address = text ? korvane::parse_address(*text) : std::nullopt;
  if (text && !address) {
    raise_text(PyExc_ValueError, korvane::invalid_address_message(*text));
    note_parameter("ip");
  }
  return address;
}

// ------------------------------------------------------------ object

// The instance layout of both classes.
struct EngineObject {
  PyObject_HEAD
  // Set at creation, never replaced; shared with nobody outside this
  // object, so the engine dies with it.
  korvane::EngineHandle engine;
  std::unique_ptr<RecordObjects> records;  // null until the first result
  // RadixEngine: the constructor's variant argument, kept for pickling.
  std::optional<std::string> variant;
  // Inserts and removes may wait on a server (a HybridEngine writing through
  // to Redis), so they run without the interpreter lock.
  bool writes_wait;
};

EngineObject* object_of(PyObject* self) noexcept { return reinterpret_cast<EngineObject*>(self); }

const korvane::PrefixEngine& engine_of(PyObject* self) noexcept { return *object_of(self)->engine; }

// Metadata -> {"value": str, "attributes": {str: str}}, a new dict with the
// entries inserted in that order.
PyObject* dict_from_metadata(PyObject* self, const korvane::Metadata& metadata) {
  std::unique_ptr<RecordObjects>& records = object_of(self)->records;
  if (!records) {
    // Made at the first result, so that an engine that never answers (one
    // of many small tables a program may keep) does without its 47 KiB.
    records.reset(new (std::nothrow) RecordObjects());
    if (!records) return PyErr_NoMemory();
  }
  return records->result_for(metadata);
}

// Releases the interpreter lock for its scope when `release` is true. Code
// in that scope must not touch any Python object; the engines are
// thread-safe and call no Python code.
class Unlocked {
 public:
  explicit Unlocked(bool release) noexcept : state_(release ? PyEval_SaveThread() : nullptr) {}
  // Not noexcept: once the interpreter shuts down, taking the lock back
  // ends a daemon thread by unwinding its stack (pthread_exit), which a
  // noexcept destructor would turn into an abort of the whole process.
  ~Unlocked() noexcept(false) {
    if (state_ != nullptr) PyEval_RestoreThread(state_);
  }
  Unlocked(const Unlocked&) = delete;
  Unlocked& operator=(const Unlocked&) = delete;

 private:
  PyThreadState* state_;
};

// Turns the one record an engine lends for a lookup into its result object.
class OneResult final : public korvane::LookupVisitor {
 public:
  explicit OneResult(PyObject* self) noexcept : self_(self) {}
  ~OneResult() { Py_XDECREF(result_); }

  void visit(std::size_t /*index*/, const korvane::Metadata* record) override {
    result_ = record != nullptr ? dict_from_metadata(self_, *record) : Py_NewRef(Py_None);
  }
  // The result, or null with the Python error set.
  PyObject* release() noexcept { return std::exchange(result_, nullptr); }

 private:
  PyObject* self_;
  PyObject* result_ = nullptr;
};

// ------------------------------------------------------------ dealloc

void Engine_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  EngineObject* object = object_of(self);
  std::destroy_at(&object->variant);
  std::destroy_at(&object->records);
  {
    // A Redis-backed engine stops its subscriber thread, which may be in
    // the middle of a command.
    Unlocked unlocked(object->writes_wait);
    std::destroy_at(&object->engine);
  }
  type->tp_free(self);
  Py_DECREF(type);  // instances of heap types own a reference to their type
}

// ------------------------------------------------------------ construction

// A new instance of `type` holding the engine.
PyObject* new_engine_object(PyTypeObject* type, korvane::EngineHandle engine, std::optional<std::string> variant,
                            bool writes_wait) {
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) {
    Unlocked unlocked(writes_wait);  // as in Engine_dealloc
    engine.reset();
    return nullptr;
  }
  EngineObject* object = object_of(self);
  new (&object->engine) korvane::EngineHandle(std::move(engine));
  new (&object->records) std::unique_ptr<RecordObjects>();
  new (&object->variant) std::optional<std::string>(std::move(variant));
  object->writes_wait = writes_wait;
  return self;
}

const char* const kNewParams[] = {"variant"};
const Signature kNewSignature{"__new__", kNewParams, 1, 0};

PyObject* RadixEngine_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  try {
    std::optional<std::string_view> variant;
    if (!bind_new(type, kNewSignature, args, kwargs, {&variant, 1})) return nullptr;

    // The factory only waits when building a Redis-backed engine, which no
    // variant selects, so it runs to completion synchronously here.
    korvane::EngineHandle engine = korvane::create_engine(korvane::EngineConfig::for_variant(variant));
    std::optional<std::string> kept_variant;
    if (variant) kept_variant.emplace(*variant);
    return new_engine_object(type, std::move(engine), std::move(kept_variant), false);
  } catch (...) {
    return raise_from_cpp();
  }
}

const char* const kHybridNewParams[] = {"redis_url", "variant", "update_channel"};
const Signature kHybridNewSignature{"__new__", kHybridNewParams, 3, 0};

PyObject* HybridEngine_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  try {
    std::optional<std::string_view> arguments[3];
    if (!bind_new(type, kHybridNewSignature, args, kwargs, arguments)) return nullptr;
    const auto& [redis_url, variant, update_channel] = arguments;

    // The variant picks the node kind and flavour; a hybrid engine never
    // has the lookup cache, whatever the variant's configuration says.
    korvane::EngineConfig config = korvane::EngineConfig::for_variant(variant);
    config.hybrid = true;
    if (redis_url) config.redis_url.emplace(*redis_url);
    if (update_channel) config.update_channel.assign(*update_channel);
    const bool backed = redis_url.has_value();

    // With a server, construction connects, subscribes and loads the
    // entries hash: each step bounded by the client's time-outs.
    korvane::EngineHandle engine;
    std::optional<std::string> failure;
    {
      Unlocked unlocked(backed);
      try {
        engine = korvane::create_engine(std::move(config));
      } catch (const std::runtime_error& e) {
        failure.emplace(e.what());  // "Failed to initialize HybridEngine: ..."
      }
    }
    if (failure) {
      raise_text(PyExc_ConnectionError, *failure);
      return nullptr;
    }
    return new_engine_object(type, std::move(engine), std::nullopt, backed);
  } catch (...) {
    return raise_from_cpp();
  }
}

// ------------------------------------------------------------ methods

const char* const kInsertParams[] = {"subnet", "metadata"};
const Signature kInsertSignature{"insert", kInsertParams, 2, 2};

PyObject* Engine_insert(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  try {
    PyObject* bound[2];
    if (!bind_fastcall(self, kInsertSignature, args, nargs, kwnames, bound)) return nullptr;
    // Order of checks: subnet is a str, metadata is a dict, subnet parses,
    // then the metadata's contents. Nothing reaches the engine before all
    // of them pass.
    std::optional<std::string_view> subnet = str_argument(bound[0], "subnet");
    if (!subnet) return nullptr;
    PyObject* metadata = bound[1];
    if (!PyDict_Check(metadata)) {
      raise_type_mismatch(metadata, "dict");
      note_parameter("metadata");
      return nullptr;
    }
    std::optional<korvane::IpPrefix> prefix = prefix_argument(*subnet);
    if (!prefix) return nullptr;
    std::optional<korvane::Metadata> record = metadata_from_dict(metadata);
    if (!record) return nullptr;

    korvane::InsertStatus status;
    {
      Unlocked unlocked(object_of(self)->writes_wait);
      status = engine_of(self).insert(*prefix, std::move(*record));
    }
    if (status) {
      raise_text(PyExc_ValueError, *status);
      return nullptr;
    }
    Py_RETURN_NONE;
  } catch (...) {
    return raise_from_cpp();
  }
}

const char* const kIpParams[] = {"ip"};
const Signature kLookupSignature{"lookup", kIpParams, 1, 1};

PyObject* Engine_lookup(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  try {
    PyObject* bound[1];
    if (!bind_fastcall(self, kLookupSignature, args, nargs, kwnames, bound)) return nullptr;
    std::optional<korvane::IpAddress> address = address_argument(bound[0]);
    if (!address) return nullptr;

    OneResult result(self);
    engine_of(self).lookup_visit(std::span(&*address, 1), result);
    return result.release();
  } catch (...) {
    return raise_from_cpp();
  }
}

const char* const kAddressesParams[] = {"addresses"};
const Signature kLookupManySignature{"lookup_many", kAddressesParams, 1, 1};
// How far ahead lookup_many's conversion asks for the items it will read.
constexpr Py_ssize_t kItemsAhead = 8;

// Holds off the cyclic collector while a batch builds its results. Each
// result makes two dicts, which count towards the collector's next run, so
// a batch of a thousand would set one off as the call returns (and now and
// then a full one over the whole heap), only to walk results the caller
// still holds. No garbage can appear while the results are built: no Python
// code runs then (the items are all converted before the first result is
// made). Paused, the allocations still count, and a collection comes at
// the caller's next allocation if the results are still held; a caller
// that drops them first takes their allocations off the count again. A
// collector the caller turned off stays off.
class CollectorPaused {
 public:
  CollectorPaused() noexcept : was_enabled_(PyGC_Disable() != 0) {}
  CollectorPaused(const CollectorPaused&) = delete;
  CollectorPaused& operator=(const CollectorPaused&) = delete;
  ~CollectorPaused() {
    if (was_enabled_) PyGC_Enable();
  }

 private:
  bool was_enabled_;
};

// Adds the note naming the failing item of lookup_many's iterable. The
// item's own error stays the one raised: an item whose repr fails is named
// by its type instead, and a note that cannot be added is left out.
void note_item(Py_ssize_t position, PyObject* item) noexcept {
  PyObject* exc = PyErr_GetRaisedException();
  if (exc == nullptr) return;
  // The item is borrowed from the caller's sequence, and its repr may drop
  // it from there: held here until its type name has been read.
  const Ref keep(Py_NewRef(item));
  Ref note(PyUnicode_FromFormat("while processing 'addresses' item %zd: %R", position, item));
  if (!note) {
    PyErr_Clear();
    note = Ref(PyUnicode_FromFormat("while processing 'addresses' item %zd: <%s object>", position,
                                    Py_TYPE(item)->tp_name));
  }
  if (note) {
    Ref result(PyObject_CallMethod(exc, "add_note", "O", note.get()));
  }
  PyErr_Clear();
  PyErr_SetRaisedException(exc);
}

PyObject* Engine_lookup_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  try {
    PyObject* bound[1];
    if (!bind_fastcall(self, kLookupManySignature, args, nargs, kwnames, bound)) return nullptr;
    // Every item is converted before any lookup runs, so a bad item leaves
    // the counters untouched.
    PyObject* given = bound[0];
    // A str is iterable, but not of addresses; nor are bytes.
    if (PyUnicode_Check(given) || PyBytes_Check(given) || PyByteArray_Check(given)) {
      Ref function = function_name(Py_TYPE(self), kLookupManySignature);
      if (!function) return nullptr;
      PyErr_Format(PyExc_TypeError, "%U argument 'addresses' must be an iterable of str, not %s", function.get(),
                   PyUnicode_Check(given) ? "str" : Py_TYPE(given)->tp_name);
      return nullptr;
    }
    Ref items;
    if (PyList_CheckExact(given) || PyTuple_CheckExact(given)) {
      items = Ref(Py_NewRef(given));
    } else {
      // The iterable's own errors (a generator that raises TypeError) pass
      // unchanged; only an object that is no iterable gets this text.
      if (Py_TYPE(given)->tp_iter == nullptr && !PySequence_Check(given)) {
        Ref function = function_name(Py_TYPE(self), kLookupManySignature);
        if (!function) return nullptr;
        PyErr_Format(PyExc_TypeError, "%U argument 'addresses' must be an iterable, not %s", function.get(),
                     Py_TYPE(given)->tp_name);
        return nullptr;
      }
      items = Ref(PySequence_List(given));
      if (!items) return nullptr;
    }
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(items.get());
    PyObject* const* item = PySequence_Fast_ITEMS(items.get());
    std::vector<korvane::IpAddress> addresses(static_cast<std::size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
      // The items are the caller's objects, scattered over the heap: ask
      // for the ones a few places on while this one is parsed. A short
      // str's text sits right behind its header, in the same line or the
      // next.
      if (i + kItemsAhead < count) {
        const char* ahead = reinterpret_cast<const char*>(item[i + kItemsAhead]);
        __builtin_prefetch(ahead);
        __builtin_prefetch(ahead + 63);
      }
      std::optional<std::string_view> text = utf8_of(item[i]);
      std::optional<korvane::IpAddress> address;
      if (text) {
        address = korvane::parse_address(*text);
        if (!address) raise_text(PyExc_ValueError, korvane::invalid_address_message(*text));
      }
      if (!address) {
        note_item(i, item[i]);
        return nullptr;
      }
      addresses[static_cast<std::size_t>(i)] = *address;
    }

    const CollectorPaused paused;
    // Every slot of a new list must be filled before it can be released
    // safely: None stands in until a result replaces it.
    Ref result(PyList_New(count));
    if (!result) return nullptr;
    for (Py_ssize_t i = 0; i < count; ++i) PyList_SET_ITEM(result.get(), i, Py_NewRef(Py_None));
    class IntoList final : public korvane::LookupVisitor {
     public:
      IntoList(PyObject* self, PyObject* list) noexcept : self_(self), list_(list) {}
      void visit(std::size_t index, const korvane::Metadata* record) override {
        if (failed || record == nullptr) return;
        PyObject* value = dict_from_metadata(self_, *record);
        if (value == nullptr) {
          failed = true;
          return;
        }
        PyObject** slot = &reinterpret_cast<PyListObject*>(list_)->ob_item[index];
        Py_SETREF(*slot, value);
      }
      bool failed = false;

     private:
      PyObject* self_;
      PyObject* list_;
    } into(self, result.get());
    engine_of(self).lookup_visit(addresses, into);
    if (into.failed) return nullptr;
    return result.release();
  } catch (...) {
    return raise_from_cpp();
  }
}

const char* const kSubnetParams[] = {"subnet"};
const Signature kRemoveSignature{"remove", kSubnetParams, 1, 1};

PyObject* Engine_remove(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  try {
    PyObject* bound[1];
    if (!bind_fastcall(self, kRemoveSignature, args, nargs, kwnames, bound)) return nullptr;
    std::optional<std::string_view> subnet = str_argument(bound[0], "subnet");
    if (!subnet) return nullptr;
    std::optional<korvane::IpPrefix> prefix = prefix_argument(*subnet);
    if (!prefix) return nullptr;

    std::optional<korvane::Metadata> removed;
    {
      Unlocked unlocked(object_of(self)->writes_wait);
      removed = engine_of(self).remove(*prefix);
    }
    if (!removed) Py_RETURN_FALSE;
    if (RecordObjects* records = object_of(self)->records.get()) records->forget(*removed);
    Py_RETURN_TRUE;
  } catch (...) {
    return raise_from_cpp();
  }
}

const Signature kContainsSignature{"contains", kIpParams, 1, 1};

PyObject* Engine_contains(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  try {
    PyObject* bound[1];
    if (!bind_fastcall(self, kContainsSignature, args, nargs, kwnames, bound)) return nullptr;
    std::optional<korvane::IpAddress> address = address_argument(bound[0]);
    if (!address) return nullptr;

    // A full longest-prefix lookup (through the cache and its counters), not
    // the engine's exact-prefix contains.
    const bool found = engine_of(self).lookup(*address).has_value();
    return Py_NewRef(found ? Py_True : Py_False);
  } catch (...) {
    return raise_from_cpp();
  }
}

// Every entry, as (prefix text, record dict) pairs or prefix texts alone.
PyObject* entry_list(PyObject* self, bool with_records) {
  Ref list(PyList_New(0));
  if (!list) return nullptr;
  class IntoList final : public korvane::EntryVisitor {
   public:
    IntoList(PyObject* self, PyObject* list, bool with_records) noexcept
        : self_(self), list_(list), with_records_(with_records) {}
    void visit(const korvane::IpPrefix& prefix, const korvane::Metadata& record) override {
      if (failed) return;
      Ref text(str_from(korvane::format_prefix(prefix)));
      Ref item;
      if (text && with_records_) {
        Ref dict(dict_from_metadata(self_, record));
        if (dict) item = Ref(PyTuple_Pack(2, text.get(), dict.get()));
      } else {
        item = std::move(text);
      }
      failed = !item || PyList_Append(list_, item.get()) < 0;
    }
    bool failed = false;

   private:
    PyObject* self_;
    PyObject* list_;
    bool with_records_;
  } into(self, list.get(), with_records);
  engine_of(self).for_each(into);
  if (into.failed) return nullptr;
  return PyObject_GetIter(list.get());
}

PyObject* Engine_items(PyObject* self, PyObject* /*unused*/) {
  try {
    return entry_list(self, true);
  } catch (...) {
    return raise_from_cpp();
  }
}

PyObject* Engine_prefixes(PyObject* self, PyObject* /*unused*/) {
  try {
    return entry_list(self, false);
  } catch (...) {
    return raise_from_cpp();
  }
}

// Pickled form: RadixEngine(variant), then __setstate__((1, [(prefix,
// value, attributes), ...])). The counters are not part of it: the copy
// counts the inserts that load it, and nothing before.
constexpr long kStateVersion = 1;

PyObject* RadixEngine_reduce(PyObject* self, PyObject* /*unused*/) {
  try {
    Ref entries(PyList_New(0));
    if (!entries) return nullptr;
    class IntoState final : public korvane::EntryVisitor {
     public:
      explicit IntoState(PyObject* list) noexcept : list_(list) {}
      void visit(const korvane::IpPrefix& prefix, const korvane::Metadata& record) override {
        if (failed) return;
        Ref attributes(PyDict_New());
        failed = !attributes;
        record.for_each_attribute([&](std::string_view key, std::string_view value) {
          if (failed) return;
          Ref k(str_from(key));
          Ref v(str_from(value));
          failed = !k || !v || PyDict_SetItem(attributes.get(), k.get(), v.get()) < 0;
        });
        if (failed) return;
        Ref text(str_from(korvane::format_prefix(prefix)));
        Ref value(str_from(record.value()));
        Ref item(text && value ? PyTuple_Pack(3, text.get(), value.get(), attributes.get()) : nullptr);
        failed = !item || PyList_Append(list_, item.get()) < 0;
      }
      bool failed = false;

     private:
      PyObject* list_;
    } into(entries.get());
    engine_of(self).for_each(into);
    if (into.failed) return nullptr;
    const std::optional<std::string>& variant = object_of(self)->variant;
    Ref variant_arg(variant ? str_from(*variant) : Py_NewRef(Py_None));
    if (!variant_arg) return nullptr;
    // The class's module is "builtins" (its fixed type name), where pickle
    // cannot find it: the module's _restore_engine rebuilds it instead.
    PyObject* module = PyType_GetModule(Py_TYPE(self));  // borrowed
    if (module == nullptr) return nullptr;
    Ref restore(PyObject_GetAttrString(module, "_restore_engine"));
    if (!restore) return nullptr;
    return Py_BuildValue("O(O(lO))", restore.get(), variant_arg.get(), kStateVersion, entries.get());
  } catch (...) {
    return raise_from_cpp();
  }
}

// Checks the whole state before inserting anything, so a bad state builds
// nothing.
PyObject* RadixEngine_setstate(PyObject* self, PyObject* state) {
  try {
    const auto invalid = [](const char* why, Py_ssize_t index = -1) -> PyObject* {
      if (index < 0) {
        PyErr_Format(PyExc_ValueError, "not a RadixEngine state: %s", why);
      } else {
        PyErr_Format(PyExc_ValueError, "not a RadixEngine state: entry %zd: %s", index, why);
      }
      return nullptr;
    };
    if (!PyTuple_Check(state) || PyTuple_GET_SIZE(state) != 2) return invalid("expected a (version, entries) tuple");
    PyObject* version = PyTuple_GET_ITEM(state, 0);
    PyObject* entries = PyTuple_GET_ITEM(state, 1);
    if (!PyLong_Check(version) || PyLong_AsLong(version) != kStateVersion) return invalid("unknown version");
    if (!PyList_Check(entries)) return invalid("entries must be a list");
    if (engine_of(self).len() != 0) {
      PyErr_SetString(PyExc_ValueError, "__setstate__ needs an empty engine");
      return nullptr;
    }
    const Py_ssize_t count = PyList_GET_SIZE(entries);
    std::vector<std::pair<korvane::IpPrefix, korvane::Metadata>> parsed;
    parsed.reserve(static_cast<std::size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
      PyObject* entry = PyList_GET_ITEM(entries, i);
      if (!PyTuple_Check(entry) || PyTuple_GET_SIZE(entry) != 3) return invalid("expected (prefix, value, attributes)", i);
      PyObject* attributes = PyTuple_GET_ITEM(entry, 2);
      if (!PyUnicode_Check(PyTuple_GET_ITEM(entry, 0)) || !PyUnicode_Check(PyTuple_GET_ITEM(entry, 1)) ||
          !PyDict_Check(attributes)) {
        return invalid("expected (str, str, dict)", i);
      }
      std::optional<std::string_view> text = utf8_of(PyTuple_GET_ITEM(entry, 0));
      if (!text) return nullptr;
      std::optional<korvane::IpPrefix> prefix = korvane::parse_prefix(*text);
      if (!prefix) return invalid("not a prefix", i);
      std::optional<std::string_view> value = utf8_of(PyTuple_GET_ITEM(entry, 1));
      if (!value) return nullptr;
      korvane::Attributes map;
      Py_ssize_t pos = 0;
      PyObject* k = nullptr;
      PyObject* v = nullptr;
      while (PyDict_Next(attributes, &pos, &k, &v)) {
        if (!PyUnicode_Check(k) || !PyUnicode_Check(v)) return invalid("attributes must map str to str", i);
        std::optional<std::string_view> key_text = utf8_of(k);
        std::optional<std::string_view> value_text = key_text ? utf8_of(v) : std::nullopt;
        if (!value_text) return nullptr;
        map.insert_or_assign(std::string(*key_text), std::string(*value_text));
      }
      parsed.emplace_back(*prefix, korvane::Metadata(std::string(*value), std::move(map)));
    }
    for (auto& [prefix, record] : parsed) {
      if (korvane::InsertStatus status = engine_of(self).insert(prefix, std::move(record))) {
        raise_text(PyExc_ValueError, *status);
        return nullptr;
      }
    }
    Py_RETURN_NONE;
  } catch (...) {
    return raise_from_cpp();
  }
}

PyObject* Engine_clear(PyObject* self, PyObject* /*unused*/) {
  try {
    engine_of(self).clear();
    if (RecordObjects* records = object_of(self)->records.get()) records->forget_all();
    Py_RETURN_NONE;
  } catch (...) {
    return raise_from_cpp();
  }
}

PyObject* Engine_stats(PyObject* self, PyObject* /*unused*/) {
  try {
    const korvane::EngineStats stats = engine_of(self).stats();
    const std::pair<const char*, std::uint64_t> entries[] = {
        {"size", stats.size},       {"inserts", stats.inserts}, {"lookups", stats.lookups},
        {"hits", stats.hits},       {"misses", stats.misses},   {"removals", stats.removals},
    };
    Ref result(PyDict_New());
    if (!result) return nullptr;
    for (const auto& [key, number] : entries) {
      Ref value(PyLong_FromUnsignedLongLong(number));
      if (!value) return nullptr;
      if (PyDict_SetItemString(result.get(), key, value.get()) < 0) return nullptr;
    }
    return result.release();
  } catch (...) {
    return raise_from_cpp();
  }
}

Py_ssize_t Engine_length(PyObject* self) {
  try {
    const std::uint64_t size = engine_of(self).len();
    if (size > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) {
      PyErr_SetString(PyExc_OverflowError, "engine size does not fit a signed 64-bit number");
      return -1;
    }
    return static_cast<Py_ssize_t>(size);
  } catch (...) {
    raise_from_cpp();
    return -1;
  }
}

PyObject* Engine_repr(PyObject* self) {
  try {
    const unsigned long long size = engine_of(self).len();
    Ref name(PyType_GetQualName(Py_TYPE(self)));
    if (!name) return nullptr;
    return PyUnicode_FromFormat("%U(size=%llu)", name.get(), size);
  } catch (...) {
    return raise_from_cpp();
  }
}

// Refuses pickling (and copying): a HybridEngine's entries belong to its
// Redis server and its subscription to this process.
PyObject* HybridEngine_reduce(PyObject* /*self*/, PyObject* /*unused*/) {
  PyErr_SetString(PyExc_TypeError,
                  "cannot pickle 'HybridEngine' object: it is tied to its Redis server and to this process; "
                  "construct a new HybridEngine with the same redis_url instead");
  return nullptr;
}

// ------------------------------------------------------------ method tables

PyMethodDef RadixEngine_methods[] = {
    {"insert", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Engine_insert)),
     METH_FASTCALL | METH_KEYWORDS,
     "insert($self, subnet, metadata)\n--\n\n"
     "Insert a CIDR prefix with associated metadata dict.\n"
     "\n"
     "Parameters\n"
     "----------\n"
     "subnet : str\n"
     "    CIDR notation, e.g. ``\"10.0.0.0/8\"``.\n"
     "metadata : dict\n"
     "    Must contain at least ``{\"value\": str, \"attributes\": dict}``."},
    {"lookup", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Engine_lookup)),
     METH_FASTCALL | METH_KEYWORDS,
     "lookup($self, ip)\n--\n\n"
     "Longest-prefix match.\n"
     "\n"
     "Returns a metadata dict on match, or ``None``."},
    {"lookup_many", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Engine_lookup_many)),
     METH_FASTCALL | METH_KEYWORDS,
     "lookup_many($self, addresses)\n--\n\n"
     "Longest-prefix match for every address of an iterable.\n\n"
     "Returns a list with, for each address in order, what ``lookup`` returns\n"
     "for it. A malformed item raises the error ``lookup`` raises, with a note\n"
     "naming the item and its position; no lookup runs then."},
    {"remove", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Engine_remove)),
     METH_FASTCALL | METH_KEYWORDS,
     "remove($self, subnet)\n--\n\n"
     "Remove a prefix.  Returns ``True`` if the entry existed."},
    {"contains", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Engine_contains)),
     METH_FASTCALL | METH_KEYWORDS,
     "contains($self, ip)\n--\n\n"
     "Returns ``True`` if any stored prefix covers the given IP."},
    {"clear", Engine_clear, METH_NOARGS,
     "clear($self)\n--\n\n"
     "Remove all entries."},
    {"items", Engine_items, METH_NOARGS,
     "items($self)\n--\n\n"
     "Iterator of (prefix, metadata dict) pairs for every stored prefix:\n"
     "IPv4 before IPv6, then by address, then by length. Prefixes are in\n"
     "canonical form. Taken beside writers, a prefix stored throughout appears\n"
     "exactly once."},
    {"prefixes", Engine_prefixes, METH_NOARGS,
     "prefixes($self)\n--\n\n"
     "Iterator of every stored prefix, in the order of ``items``."},
    {"__reduce__", RadixEngine_reduce, METH_NOARGS,
     "__reduce__($self)\n--\n\n"
     "Pickle support: the variant and every prefix with its record. The\n"
     "counters are not kept: an unpickled or copied engine counts only the\n"
     "inserts that loaded its entries."},
    {"__setstate__", RadixEngine_setstate, METH_O,
     "__setstate__($self, state, /)\n--\n\n"
     "Pickle support: loads a state made by ``__reduce__`` into an empty engine."},
    {"stats", Engine_stats, METH_NOARGS,
     "stats($self)\n--\n\n"
     "Engine performance statistics."},
    {nullptr, nullptr, 0, nullptr},
};

// HybridEngine's methods: RadixEngine's, in the same order, except that
// __reduce__ refuses and there is no __setstate__. The entries left over
// stay zero and end the table.
using HybridMethods = std::array<PyMethodDef, std::size(RadixEngine_methods)>;
HybridMethods HybridEngine_methods = [] {
  const PyMethodDef refuse_reduce = {
      "__reduce__", HybridEngine_reduce, METH_NOARGS,
      "__reduce__($self)\n--\n\n"
      "Refuses pickling and copying with TypeError: the engine is tied to its\n"
      "Redis server and to this process."};
  HybridMethods table{};
  std::size_t count = 0;
  for (const PyMethodDef& method : RadixEngine_methods) {
    if (method.ml_name == nullptr) break;
    const std::string_view name = method.ml_name;
    if (name == "__setstate__") continue;
    table[count++] = name == "__reduce__" ? refuse_reduce : method;
  }
  return table;
}();

// ------------------------------------------------------------ type slots and PyType_Spec

const char kRadixEngineDoc[] =
    "RadixEngine(variant=None)\n"
    "--\n"
    "\n"
    "High-performance IP radix-tree engine.\n"
    "\n"
    "Example::\n"
    "\n"
    "    from korvane import RadixEngine\n"
    "\n"
    "    engine = RadixEngine()\n"
    "    engine.insert(\"10.0.0.0/8\", {\"value\": \"allow\", \"attributes\": {\"asn\": \"AS1234\"}})\n"
    "\n"
    "    match = engine.lookup(\"10.1.2.3\")\n"
    "    print(match[\"value\"])   # \"allow\"\n";

const char kHybridEngineDoc[] =
    "HybridEngine(redis_url=None, variant=None, update_channel='korvane:updates')\n"
    "--\n"
    "\n"
    "IP prefix engine whose entries can be shared through a Redis server.\n"
    "\n"
    "It has the methods of ``RadixEngine``, with the same arguments and errors;\n"
    "``variant`` picks the node variant as there, without the lookup cache.\n"
    "\n"
    "Without ``redis_url`` the entries stay in this engine. With one\n"
    "(``redis://[user[:password]@]host[:port][/database][?protocol=3]``) the\n"
    "engine loads the hash ``korvane:entries`` when it is made, writes every\n"
    "insert and remove through to it, and applies the inserts and removes of\n"
    "the other engines on that server and ``update_channel`` shortly after\n"
    "they happen, in this process or another. ``clear`` empties this engine\n"
    "only. Redis failures after construction are silent: an operation keeps\n"
    "its local result. Inserts and removes wait for the server (a few seconds\n"
    "at most) without holding the interpreter lock. ``stats`` counts loaded\n"
    "and received changes as inserts and removals.\n"
    "\n"
    "Raises ``ConnectionError`` with the text \"Failed to initialize\n"
    "HybridEngine: ...\" when the URL is unusable or the server cannot be\n"
    "reached. The engine cannot be pickled or copied. Make it in the process\n"
    "that uses it: a child forked afterwards must not use it.\n"
    "\n"
    "Example::\n"
    "\n"
    "    from korvane import HybridEngine\n"
    "\n"
    "    engine = HybridEngine(\"redis://127.0.0.1:6379\")\n"
    "    engine.insert(\"10.0.0.0/8\", {\"value\": \"allow\", \"attributes\": {}})\n"
    "    # every HybridEngine on that server now finds 10.1.2.3\n";

// Creates one of the engine classes. The "builtins." prefix of `name` makes
// __module__ "builtins" although the class is reached as an attribute of
// korvane. The type keeps its own copies of the name and the docstring.
PyObject* new_engine_type(PyObject* module, const char* name, const char* doc, newfunc new_function,
                          PyMethodDef* methods) {
  PyType_Slot slots[] = {
      {Py_tp_dealloc, reinterpret_cast<void*>(Engine_dealloc)},
      {Py_tp_repr, reinterpret_cast<void*>(Engine_repr)},
      {Py_tp_doc, const_cast<char*>(doc)},
      {Py_tp_methods, methods},
      {Py_tp_new, reinterpret_cast<void*>(new_function)},
      // Truth testing falls back on the length.
      {Py_mp_length, reinterpret_cast<void*>(Engine_length)},
      {Py_sq_length, reinterpret_cast<void*>(Engine_length)},
      {0, nullptr},
  };
  PyType_Spec spec = {name, sizeof(EngineObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots};
  return PyType_FromModuleAndSpec(module, &spec, nullptr);
}

// ------------------------------------------------------------ module functions

PyObject* korvane_version(PyObject* /*module*/, PyObject* /*unused*/) {
  return PyUnicode_FromString("1.1.1");
}

PyMethodDef version_def = {"version", korvane_version, METH_NOARGS, "version()\n--\n\n"};

// _restore_engine(variant, state): RadixEngine(variant) loaded with a
// pickled state. Not exported; pickle finds it by name.
PyObject* korvane_restore_engine(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 2) {
    PyErr_SetString(PyExc_TypeError, "_restore_engine() takes a variant and a state");
    return nullptr;
  }
  Ref type(PyObject_GetAttrString(module, "RadixEngine"));
  if (!type) return nullptr;
  Ref engine(PyObject_CallOneArg(type.get(), args[0]));
  if (!engine) return nullptr;
  Ref name(PyUnicode_FromString("__setstate__"));
  if (!name) return nullptr;
  Ref done(PyObject_CallMethodOneArg(engine.get(), name.get(), args[1]));
  if (!done) return nullptr;
  return engine.release();
}

PyMethodDef restore_def = {"_restore_engine", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(korvane_restore_engine)),
                           METH_FASTCALL, nullptr};

// ------------------------------------------------------------ exec slot

// Adds `value` to the module under `name` and appends the name to the
// module's __all__, creating the list if the module has none.
int add_exported(PyObject* module, const char* name, PyObject* value) {
  PyObject* dict = PyModule_GetDict(module);  // borrowed
  Ref all_key(interned("__all__"));
  if (!all_key) return -1;
  PyObject* all = PyDict_GetItemWithError(dict, all_key.get());  // borrowed
  if (all == nullptr) {
    if (PyErr_Occurred()) return -1;
    Ref fresh(PyList_New(0));
    if (!fresh || PyDict_SetItem(dict, all_key.get(), fresh.get()) < 0) return -1;
    all = fresh.get();  // the module dict keeps it alive
  } else if (!PyList_Check(all)) {
    PyErr_SetString(PyExc_TypeError, "module __all__ is not a list");
    return -1;
  }
  Ref name_object(PyUnicode_FromString(name));
  if (!name_object || PyList_Append(all, name_object.get()) < 0) return -1;
  return PyModule_AddObjectRef(module, name, value);
}

int korvane_exec(PyObject* module) {
  if (key_value == nullptr) key_value = interned("value");
  if (key_attributes == nullptr) key_attributes = interned("attributes");
  if (key_value == nullptr || key_attributes == nullptr) return -1;
  Ref radix(new_engine_type(module, "builtins.RadixEngine", kRadixEngineDoc, RadixEngine_new, RadixEngine_methods));
  if (!radix || add_exported(module, "RadixEngine", radix.get()) < 0) return -1;
  Ref module_name(PyModule_GetNameObject(module));
  if (!module_name) return -1;
  Ref version(PyCFunction_NewEx(&version_def, module, module_name.get()));
  if (!version || add_exported(module, "version", version.get()) < 0) return -1;

  // The Redis-backed class: a module attribute outside __all__, so that
  // `from korvane import *` still brings in exactly the two names above.
  Ref hybrid(new_engine_type(module, "builtins.HybridEngine", kHybridEngineDoc, HybridEngine_new,
                             HybridEngine_methods.data()));
  if (!hybrid || PyModule_AddObjectRef(module, "HybridEngine", hybrid.get()) < 0) return -1;
  Ref restore(PyCFunction_NewEx(&restore_def, module, module_name.get()));
  if (!restore || PyModule_AddObjectRef(module, "_restore_engine", restore.get()) < 0) return -1;
  return 0;
}

PyModuleDef_Slot korvane_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(korvane_exec)},
    {0, nullptr},
};

// ------------------------------------------------------------ module definition

PyModuleDef korvane_module = {
    PyModuleDef_HEAD_INIT,
    "korvane",
    "Korvane \xe2\x80\x94 high-performance IP subnet longest-prefix matching engine.",  // U+2014 in UTF-8
    0,  // no per-module state
    nullptr,
    korvane_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

// ------------------------------------------------------------ init

PyMODINIT_FUNC PyInit_korvane(void) { return PyModuleDef_Init(&korvane_module); }
