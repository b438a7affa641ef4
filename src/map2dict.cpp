// Conversions between the messaging library's structured containers and Python objects.
//
// Reading builds Python objects straight from the C API (one creation per value, references
// stolen into pybind11 handles); these are hot paths for maps of many thousand fields. Writing
// fills the caller's container directly and builds every nested container in memory of its own,
// which grows when the library refuses an add for lack of room.
#include "map2dict.h"

#if defined(__unix__) || defined(__APPLE__)
#include <sys/mman.h>
#define TOLVEX_MAP_PAGES 1
#else
#define TOLVEX_MAP_PAGES 0
#endif

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

namespace py = pybind11;

namespace {

// Log scrapers downstream match these numbers, so they stay fixed whatever the layout of the file.
constexpr int kDictDiagnosticNumber = 69;
constexpr int kListDiagnosticNumber = 131;

// First memory given to a nested container; it grows (by copying into larger memory) on demand.
constexpr size_t kFirstMapSize = 8192;
constexpr size_t kFirstStreamSize = 65536;
// Encoded lengths are 32-bit, so no container can be larger.
constexpr size_t kMaxContainerSize = 0xFFFFFFFFu;
// Room a field needs besides its name and value: type, lengths, terminators. An upper bound.
constexpr size_t kFieldOverhead = 16;
constexpr size_t kMaxNameLength = 0xFFFF;
// Entries a map reading makes room for at once.
constexpr size_t kFirstFieldMapSize = 16;
// Maps up to this many entries are sorted by insertion.
constexpr std::ptrdiff_t kInsertionSortLimit = 16;

/// One level of nesting in either direction. Deep input must end in RecursionError, not in a
/// stack overflow.
class RecursionGuard {
public:
    explicit RecursionGuard(const char* where) {
        if (Py_EnterRecursiveCall(where) != 0) throw py::error_already_set();
    }
    ~RecursionGuard() { Py_LeaveRecursiveCall(); }
    RecursionGuard(const RecursionGuard&) = delete;
    RecursionGuard& operator=(const RecursionGuard&) = delete;
};

/// Takes ownership of a new reference; a null one means a Python error is pending.
inline py::object steal(PyObject* obj) {
    if (obj == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(obj);
}

// --- Reading -------------------------------------------------------------------------------------

// Keys and texts are mostly short ASCII: such a str is a plain copy of the bytes, which skips the
// decoder's setup. Anything else goes through the decoder, which raises for invalid UTF-8.
constexpr size_t kShortText = 64;

PyObject* newText(std::string_view text) {
    if (text.size() <= kShortText) {
        unsigned char bits = 0;
        for (const char c : text) bits |= static_cast<unsigned char>(c);
        if (bits < 0x80) {
            PyObject* str = PyUnicode_New(static_cast<Py_ssize_t>(text.size()), 127);
            if (str != nullptr) std::memcpy(PyUnicode_1BYTE_DATA(str), text.data(), text.size());
            return str;
        }
    }
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict");
}

/// Orders keys byte-wise as unsigned characters, like std::string_view. Keys are short: a plain
/// loop beats a call to memcmp.
int compareKeys(std::string_view a, std::string_view b) {
    const size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        const auto x = static_cast<unsigned char>(a[i]);
        const auto y = static_cast<unsigned char>(b[i]);
        if (x != y) return x < y ? -1 : 1;
    }
    return a.size() < b.size() ? -1 : a.size() > b.size() ? 1 : 0;
}

/// The key strs of one reading, so that the keys every record repeats are made and hashed once.
/// Direct mapped by a hash of the bytes: a key takes the slot from an older one of the same hash.
/// Only ASCII strs are kept, so that bytes compare equal exactly when the strs do.
class KeyCache {
public:
    KeyCache() = default;
    ~KeyCache() {
        for (PyObject* str : slots_) Py_XDECREF(str);
    }
    KeyCache(const KeyCache&) = delete;
    KeyCache& operator=(const KeyCache&) = delete;

    /// A new reference to the key's str; null when a Python error is pending.
    PyObject* get(std::string_view key) {
        if (key.size() > kLongestKey) return newText(key);
        PyObject*& slot = slots_[hash(key) % kSlots];
        if (slot != nullptr &&
            compareKeys(std::string_view(reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(slot)),
                                         static_cast<size_t>(PyUnicode_GET_LENGTH(slot))),
                        key) == 0) {
            Py_INCREF(slot);
            return slot;
        }
        PyObject* str = newText(key);
        if (str != nullptr && PyUnicode_IS_ASCII(str)) {
            Py_INCREF(str);
            Py_XSETREF(slot, str);
        }
        return str;
    }

private:
    static constexpr size_t kSlots = 128;
    static constexpr size_t kLongestKey = 32;

    static size_t hash(std::string_view key) {
        uint32_t h = 2166136261u;  // FNV-1a
        for (const char c : key) h = (h ^ static_cast<unsigned char>(c)) * 16777619u;
        return h;
    }

    PyObject* slots_[kSlots] = {};
};

/// What one reading shares across its levels: room for the entries of the maps being read (each
/// level appends its own and takes them off again) and the key strs made so far.
struct Reader {
    FieldMap& entries;
    KeyCache keys;
};

/// Takes the entries a level appended off again, however the level ends.
class Level {
public:
    explicit Level(FieldMap& entries) : entries_(entries), from_(entries.size()) {}
    ~Level() {
        entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(from_), entries_.end());
    }
    Level(const Level&) = delete;
    Level& operator=(const Level&) = delete;

    size_t from() const { return from_; }

private:
    FieldMap& entries_;
    size_t from_;
};

inline bool hasBytesPrefix(std::string_view key) { return key.compare(0, 5, "bytes") == 0; }

py::object textValue(const char* text, bool asBytes) {
    // A string field without text has no value to give, whichever type its key asks for.
    if (text == nullptr) return py::none();
    const std::string_view view(text);
    if (asBytes) return py::bytes(view.data(), view.size());
    return steal(newText(view));
}

enum class Kind { Value, Map, Stream, Unsupported };

/// Converts a scalar or string field into `out`; tells the caller what to do with the others.
Kind scalarValue(const solClient_field& field, bool textAsBytes, py::object& out) {
    const auto& v = field.value;
    switch (field.type) {
        case SOLCLIENT_BOOL: out = steal(PyLong_FromLong(v.boolean)); return Kind::Value;
        case SOLCLIENT_UINT8: out = steal(PyLong_FromLong(v.uint8)); return Kind::Value;
        case SOLCLIENT_INT8: out = steal(PyLong_FromLong(v.int8)); return Kind::Value;
        case SOLCLIENT_UINT16: out = steal(PyLong_FromLong(v.uint16)); return Kind::Value;
        case SOLCLIENT_INT16: out = steal(PyLong_FromLong(v.int16)); return Kind::Value;
        case SOLCLIENT_UINT32: out = steal(PyLong_FromUnsignedLong(v.uint32)); return Kind::Value;
        case SOLCLIENT_INT32: out = steal(PyLong_FromLong(v.int32)); return Kind::Value;
        case SOLCLIENT_UINT64:
            out = steal(PyLong_FromUnsignedLongLong(v.uint64));
            return Kind::Value;
        case SOLCLIENT_INT64: out = steal(PyLong_FromLongLong(v.int64)); return Kind::Value;
        // Consumers have always received the first 32 bits of the value, signed.
        case SOLCLIENT_WCHAR: out = steal(PyLong_FromLong(v.int32)); return Kind::Value;
        case SOLCLIENT_STRING: out = textValue(v.string, textAsBytes); return Kind::Value;
        case SOLCLIENT_FLOAT:
            out = steal(PyFloat_FromDouble(static_cast<double>(v.float32)));
            return Kind::Value;
        case SOLCLIENT_DOUBLE: out = steal(PyFloat_FromDouble(v.float64)); return Kind::Value;
        case SOLCLIENT_MAP: return Kind::Map;
        case SOLCLIENT_STREAM: return Kind::Stream;
        default:
            return Kind::Unsupported;  // byte arrays, nulls and codes this system does not know
    }
}

void storeItem(Reader& r, PyObject* dict, std::string_view key, const py::object& value) {
    const py::object name = steal(r.keys.get(key));
    if (PyDict_SetItem(dict, name.ptr(), value.ptr()) != 0) throw py::error_already_set();
}

void appendItem(py::list& list, const py::object& value) {
    if (PyList_Append(list.ptr(), value.ptr()) != 0) throw py::error_already_set();
}

/// Appends the map's fields to `fmap` and brings those from `from` on into key order, each key
/// once.
void collect(FieldMap& fmap, size_t from, solClient_opaqueContainer_pt container) {
    // Most maps are small: one block holds them.
    if (fmap.capacity() == 0) fmap.reserve(kFirstFieldMapSize);
    solClient_container_rewind(container);
    for (;;) {
        // Cleared each time: the first 32 bits of a narrower value are read as a whole (wchar).
        solClient_field field{};
        const char* name = nullptr;
        if (solClient_container_getNextField(container, &field, sizeof field, &name) !=
            SOLCLIENT_OK)
            break;
        fmap.emplace_back(name != nullptr ? name : "", field);
    }
    const auto first = fmap.begin() + static_cast<std::ptrdiff_t>(from);
    const auto byKey = [](const auto& a, const auto& b) {
        return compareKeys(a.first, b.first) < 0;
    };
    const auto notBefore = [](const auto& a, const auto& b) {
        return compareKeys(a.first, b.first) >= 0;
    };
    // Maps written in key order need neither sorting nor merging.
    if (std::adjacent_find(first, fmap.end(), notBefore) == fmap.end()) return;
    // Stable: of equal keys the latest comes last, and each run keeps only its last. Small maps
    // (most records) are sorted in place, without the buffer std::stable_sort allocates.
    if (fmap.end() - first <= kInsertionSortLimit) {
        for (auto it = first + 1; it != fmap.end(); ++it) {
            const auto entry = *it;
            auto hole = it;
            for (; hole != first && byKey(entry, *std::prev(hole)); --hole)
                *hole = *std::prev(hole);
            *hole = entry;
        }
    } else {
        std::stable_sort(first, fmap.end(), byKey);
    }
    auto out = first;
    for (auto it = first; it != fmap.end(); ++it) {
        if (out != first && compareKeys(std::prev(out)->first, it->first) == 0) {
            std::prev(out)->second = it->second;
        } else {
            *out++ = *it;
        }
    }
    fmap.erase(out, fmap.end());
}

void readField(Reader& r, py::dict& dict, std::string_view key, const solClient_field& field);
void readStream(Reader& r, py::list& list, solClient_opaqueContainer_pt stream);

/// Adds the entries from `from` on to `dict`.
void readEntries(Reader& r, py::dict& dict, size_t from) {
    const size_t end = r.entries.size();
    for (size_t i = from; i < end; ++i) {
        // A copy: the nested levels append to the entries, which may move them.
        const auto [key, field] = r.entries[i];
        readField(r, dict, key, field);
    }
}

py::dict readMap(Reader& r, solClient_opaqueContainer_pt map) {
    RecursionGuard guard(" while converting a map to a dict");
    const Level level(r.entries);
    collect(r.entries, level.from(), map);
    py::dict dict;
    readEntries(r, dict, level.from());
    return dict;
}

void readStreamItem(Reader& r, py::dict& dict, std::string_view key,
                    solClient_opaqueContainer_pt stream) {
    py::list list;
    readStream(r, list, stream);
    storeItem(r, dict.ptr(), key, list);
}

void readField(Reader& r, py::dict& dict, std::string_view key, const solClient_field& field) {
    py::object value;
    switch (scalarValue(field, hasBytesPrefix(key), value)) {
        case Kind::Value: storeItem(r, dict.ptr(), key, value); break;
        case Kind::Map: storeItem(r, dict.ptr(), key, readMap(r, field.value.map)); break;
        case Kind::Stream: readStreamItem(r, dict, key, field.value.stream); break;
        case Kind::Unsupported:
            std::printf("%s(%d): field: %.*s, field_type: %d\n", __FILE__, kDictDiagnosticNumber,
                        static_cast<int>(key.size()), key.data(), static_cast<int>(field.type));
            break;
    }
}

void readElement(Reader& r, py::list& list, const solClient_field& field) {
    py::object value;
    switch (scalarValue(field, false, value)) {
        case Kind::Value: appendItem(list, value); break;
        case Kind::Map: appendItem(list, readMap(r, field.value.map)); break;
        case Kind::Stream:
            readStream(r, list, field.value.stream);
            break;  // flattened into this list
        case Kind::Unsupported:
            std::printf("%s(%d): field: None, field_type: %d\n", __FILE__, kListDiagnosticNumber,
                        static_cast<int>(field.type));
            break;
    }
}

void readStream(Reader& r, py::list& list, solClient_opaqueContainer_pt stream) {
    RecursionGuard guard(" while converting a stream to a list");
    solClient_container_rewind(stream);
    for (;;) {
        solClient_field field{};
        if (solClient_container_getNextField(stream, &field, sizeof field, nullptr) != SOLCLIENT_OK)
            break;
        readElement(r, list, field);
    }
}

// --- Writing -------------------------------------------------------------------------------------

/// A key or text value as the library takes it: borrowed from a str's cached UTF-8 form, or the
/// bytes of a bytes/bytearray. Other types (and a str that has no UTF-8 form) raise pybind11's
/// cast error, so the failures match pybind11's own string conversion.
class Text {
public:
    explicit Text(py::handle obj) {
        if (PyUnicode_Check(obj.ptr())) {
            Py_ssize_t n = 0;
            if (const char* p = PyUnicode_AsUTF8AndSize(obj.ptr(), &n)) {
                data_ = p;
                size_ = static_cast<size_t>(n);
                return;
            }
            PyErr_Clear();
        }
        owned_ = py::cast<std::string>(obj);
        data_ = owned_.c_str();
        size_ = owned_.size();
    }
    ~Text() = default;
    Text(const Text&) = delete;
    Text& operator=(const Text&) = delete;

    const char* c_str() const { return data_; }
    size_t size() const { return size_; }
    std::string str() const { return std::string(data_, size_); }

    /// The library stores C strings: a NUL would silently cut the text short.
    void requireNoNul() const {
        if (std::memchr(data_, 0, size_) != nullptr)
            throw py::value_error("embedded null character");
    }

    /// A field name is a C string with a 16-bit length. Checked here so that every refusal the
    /// library gives afterwards means the container is full.
    void requireFieldName() const {
        requireNoNul();
        if (size_ > kMaxNameLength)
            throw py::value_error("key of " + std::to_string(size_) + " bytes is longer than " +
                                  std::to_string(kMaxNameLength));
    }

private:
    std::string owned_;
    const char* data_ = nullptr;
    size_t size_ = 0;
};

[[noreturn]] void throwNoRoom(const char* key) {
    if (key == nullptr) {
        PyErr_SetString(PyExc_BufferError, "container has no room for a stream element");
    } else {
        py::object name = steal(PyUnicode_DecodeUTF8(key, static_cast<Py_ssize_t>(std::strlen(key)),
                                                     "backslashreplace"));
        PyErr_Format(PyExc_BufferError, "container has no room for key '%U'", name.ptr());
    }
    throw py::error_already_set();
}

void reportUnsupported(const char* key) {
    // Inside a stream an element has no key; "None" stands in, as in the reading diagnostics.
    std::printf("Key: %s value type not support\n", key != nullptr ? key : "None");
    std::fflush(stdout);
}

// Nesting depth of the writing in progress on this thread.
thread_local int writeDepth = 0;
// Below this depth nested containers take their memory from the heap, which is fastest for the
// many small containers of ordinary input. Deeper, each takes zero pages from the system that cost
// nothing until written, so a nesting deep enough to end in RecursionError commits only the bytes
// it wrote rather than the full first size at every level.
constexpr int kPagedDepth = 32;

/// One level of writing: guards the recursion and counts the depth.
class WriteLevel {
public:
    explicit WriteLevel(const char* where) : guard_(where) { ++writeDepth; }
    ~WriteLevel() { --writeDepth; }
    WriteLevel(const WriteLevel&) = delete;
    WriteLevel& operator=(const WriteLevel&) = delete;

private:
    RecursionGuard guard_;
};

/// Zero-filled memory for a nested container, as the library's create operations expect.
class Memory {
public:
    Memory() = default;
    explicit Memory(size_t size) : size_(size) {
        void* p = nullptr;
#if TOLVEX_MAP_PAGES
        paged_ = writeDepth > kPagedDepth;
        if (paged_) {
            p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
            if (p == MAP_FAILED) throw std::bad_alloc();
        }
#endif
        if (!paged_) {
            p = std::calloc(size, 1);
            if (p == nullptr) throw std::bad_alloc();
        }
        p_ = static_cast<char*>(p);
    }
    Memory(Memory&& other) noexcept { take(other); }
    Memory& operator=(Memory&& other) noexcept {
        if (this != &other) {
            release();
            take(other);
        }
        return *this;
    }
    Memory(const Memory&) = delete;
    Memory& operator=(const Memory&) = delete;
    ~Memory() { release(); }

    char* get() const { return p_; }

private:
    void take(Memory& other) noexcept {
        p_ = std::exchange(other.p_, nullptr);
        size_ = std::exchange(other.size_, 0);
        paged_ = std::exchange(other.paged_, false);
    }
    void release() noexcept {
        if (p_ == nullptr) return;
#if TOLVEX_MAP_PAGES
        if (paged_) {
            munmap(p_, size_);
            p_ = nullptr;
            return;
        }
#endif
        std::free(p_);
        p_ = nullptr;
    }

    char* p_ = nullptr;
    size_t size_ = 0;
    bool paged_ = false;
};

solClient_opaqueContainer_pt createContainer(bool isMap, char* mem, size_t size) {
    solClient_opaqueContainer_pt h = nullptr;
    const solClient_returnCode_t rc = isMap ? solClient_container_createMap(&h, mem, size)
                                            : solClient_container_createStream(&h, mem, size);
    if (rc != SOLCLIENT_OK) throw std::runtime_error("could not create a container");
    return h;
}

solClient_returnCode_t copyField(solClient_opaqueContainer_pt to, const solClient_field& f,
                                 const char* name) {
    const auto& v = f.value;
    switch (f.type) {
        case SOLCLIENT_BOOL: return solClient_container_addBoolean(to, v.boolean, name);
        case SOLCLIENT_UINT8: return solClient_container_addUint8(to, v.uint8, name);
        case SOLCLIENT_INT8: return solClient_container_addInt8(to, v.int8, name);
        case SOLCLIENT_UINT16: return solClient_container_addUint16(to, v.uint16, name);
        case SOLCLIENT_INT16: return solClient_container_addInt16(to, v.int16, name);
        case SOLCLIENT_UINT32: return solClient_container_addUint32(to, v.uint32, name);
        case SOLCLIENT_INT32: return solClient_container_addInt32(to, v.int32, name);
        case SOLCLIENT_UINT64: return solClient_container_addUint64(to, v.uint64, name);
        case SOLCLIENT_INT64: return solClient_container_addInt64(to, v.int64, name);
        case SOLCLIENT_WCHAR: return solClient_container_addWchar(to, v.wchar, name);
        case SOLCLIENT_STRING: return solClient_container_addString(to, v.string, name);
        case SOLCLIENT_BYTEARRAY:
            return solClient_container_addByteArray(to, v.bytearray, f.length, name);
        case SOLCLIENT_FLOAT: return solClient_container_addFloat(to, v.float32, name);
        case SOLCLIENT_DOUBLE: return solClient_container_addDouble(to, v.float64, name);
        case SOLCLIENT_MAP: return solClient_container_addContainer(to, v.map, name);
        case SOLCLIENT_STREAM: return solClient_container_addContainer(to, v.stream, name);
        case SOLCLIENT_NULL: return solClient_container_addNull(to, name);
    }
    throw std::runtime_error("container holds a field of unknown type");
}

/// A container being written. The caller's container has fixed memory: an add it refuses is an
/// error naming the key. A nested container lives in memory of its own; when it refuses an add it
/// moves its fields into larger memory and the add is tried again, so a refusal never travels
/// further up than the container that refused.
class Sink {
public:
    explicit Sink(solClient_opaqueContainer_pt caller) : handle_(caller), caller_(true) {}
    /// A nested container, made at its first use: a chain of containers whose first element is
    /// the next container holds no memory on the way down.
    Sink(bool isMap, size_t size) : size_(size), isMap_(isMap) {}
    ~Sink() {
        if (!caller_ && handle_ != nullptr) solClient_container_closeMapStream(&handle_);
    }
    Sink(const Sink&) = delete;
    Sink& operator=(const Sink&) = delete;

    solClient_opaqueContainer_pt handle() {
        if (handle_ == nullptr && !caller_) {
            Memory mem(size_);
            handle_ = createContainer(isMap_, mem.get(), size_);
            mem_ = std::move(mem);
        }
        return handle_;
    }
    size_t size() const { return size_; }

    /// Runs `tryAdd(handle)` until the library takes the field; `valueNeed` bounds the field's
    /// bytes besides its name from above. Names are checked beforehand, so a refusal means the
    /// container is full. The name is measured only then: most adds succeed at once.
    template <typename Add>
    void add(const char* key, size_t valueNeed, Add&& tryAdd) {
        if (tryAdd(handle()) == SOLCLIENT_OK) return;
        if (caller_) throwNoRoom(key);
        const size_t need = (key != nullptr ? std::strlen(key) : 0) + valueNeed;
        grow(key, need);
        // After growing there are at least `need` bytes free: a second refusal has another cause.
        if (tryAdd(handle_) != SOLCLIENT_OK)
            throw std::runtime_error(solClient_getLastErrorInfo()->errorStr);
    }

private:
    void grow(const char* key, size_t need) {
        size_t floor = size_;
        size_t want = std::max(size_ * 2, size_ + need);
        for (;;) {
            want = std::min(want, kMaxContainerSize);
            if (want <= floor) throwNoRoom(key);
            Memory mem(want);
            solClient_opaqueContainer_pt h = createContainer(isMap_, mem.get(), want);
            if (copyInto(h)) {
                solClient_container_closeMapStream(&handle_);
                handle_ = h;
                mem_ = std::move(mem);
                size_ = want;
                return;
            }
            solClient_container_closeMapStream(&h);
            floor = want;  // the content did not fit even there: aim higher
            want *= 2;
        }
    }

    bool copyInto(solClient_opaqueContainer_pt to) const {
        solClient_container_rewind(handle_);
        solClient_field f{};
        const char* name = nullptr;
        while (solClient_container_getNextField(handle_, &f, sizeof f, isMap_ ? &name : nullptr) ==
               SOLCLIENT_OK) {
            if (copyField(to, f, isMap_ ? name : nullptr) != SOLCLIENT_OK) return false;
        }
        return true;
    }

    solClient_opaqueContainer_pt handle_ = nullptr;
    Memory mem_;
    size_t size_ = 0;
    bool isMap_ = false;
    bool caller_ = false;
};

void writeItem(Sink& sink, const char* key, py::handle value);

void writeValue(Sink& sink, const char* key, py::handle value) {
    PyObject* obj = value.ptr();
    if (obj == nullptr) {
        reportUnsupported(key);
        return;
    }
    if (PyUnicode_Check(obj)) {
        const Text text(value);
        text.requireNoNul();
        sink.add(key, text.size() + kFieldOverhead,
                 [&](auto c) { return solClient_container_addString(c, text.c_str(), key); });
    } else if (Py_IS_TYPE(obj, &PyBool_Type)) {
        const solClient_bool_t b = obj == Py_True ? 1 : 0;
        sink.add(key, kFieldOverhead,
                 [&](auto c) { return solClient_container_addBoolean(c, b, key); });
    } else if (PyLong_Check(obj)) {
        int overflow = 0;
        int64_t n = PyLong_AsLongLongAndOverflow(obj, &overflow);
        if (overflow != 0 || (n == -1 && PyErr_Occurred() != nullptr)) {
            PyErr_Clear();
            n = py::cast<int64_t>(value);  // raises pybind11's cast error, as the conversion does
        }
        sink.add(key, 8 + kFieldOverhead,
                 [&](auto c) { return solClient_container_addInt64(c, n, key); });
    } else if (PyFloat_Check(obj)) {
        const double d = PyFloat_AS_DOUBLE(obj);
        sink.add(key, 8 + kFieldOverhead,
                 [&](auto c) { return solClient_container_addDouble(c, d, key); });
    } else if (PySequence_Check(obj) || PyDict_Check(obj)) {
        // written as a nested stream or map by the other converters
    } else {
        reportUnsupported(key);
    }
}

void addNested(Sink& sink, const char* key, Sink& sub) {
    solClient_opaqueContainer_pt content = sub.handle();
    sink.add(key, sub.size() + kFieldOverhead,
             [&](auto c) { return solClient_container_addContainer(c, content, key); });
}

void writeList(Sink& sink, const char* key, py::handle value) {
    PyObject* obj = value.ptr();
    if (obj == nullptr || !PySequence_Check(obj) || PyUnicode_Check(obj)) return;
    const WriteLevel level(" while converting a sequence to a stream");
    Sink stream(false, kFirstStreamSize);
    py::object it = steal(PyObject_GetIter(obj));
    while (PyObject* next = PyIter_Next(it.ptr())) {
        const py::object element = py::reinterpret_steal<py::object>(next);
        writeItem(stream, nullptr, element);
    }
    if (PyErr_Occurred() != nullptr) throw py::error_already_set();
    addNested(sink, key, stream);
}

void writeEntries(Sink& sink, py::handle dict) {
    Py_ssize_t pos = 0;
    PyObject* k = nullptr;
    PyObject* v = nullptr;
    while (PyDict_Next(dict.ptr(), &pos, &k, &v)) {
        // Hold both: converting a value may run Python code that changes the dict.
        const py::object key = py::reinterpret_borrow<py::object>(k);
        const py::object value = py::reinterpret_borrow<py::object>(v);
        const Text name(key);
        name.requireFieldName();
        writeItem(sink, name.c_str(), value);
    }
}

void writeDict(Sink& sink, const char* key, py::handle value) {
    PyObject* obj = value.ptr();
    if (obj == nullptr || !PyDict_Check(obj)) return;
    const WriteLevel level(" while converting a dict to a map");
    Sink map(true, kFirstMapSize);
    writeEntries(map, value);
    addNested(sink, key, map);
}

void writeItem(Sink& sink, const char* key, py::handle value) {
    writeValue(sink, key, value);
    writeList(sink, key, value);
    writeDict(sink, key, value);
}

}  // namespace

// --- Reading -------------------------------------------------------------------------------------

int32_t sol2map(FieldMap& fmap, solClient_opaqueContainer_pt container) {
    collect(fmap, 0, container);
    return static_cast<int32_t>(fmap.size());
}

void map2dict(pybind11::dict& dict, const char* /*name*/, FieldMap& fmap) {
    Reader r{fmap, {}};
    const Level level(fmap);
    readEntries(r, dict, 0);
}

void field2dict(pybind11::dict& dict, const char* key, solClient_field& field) {
    FieldMap scratch;
    Reader r{scratch, {}};
    readField(r, dict, key, field);
}

void stream2dict(pybind11::dict& dict, const char* key, solClient_opaqueContainer_pt stream) {
    FieldMap scratch;
    Reader r{scratch, {}};
    readStreamItem(r, dict, key, stream);
}

void field2list(pybind11::list& list, solClient_field& field) {
    FieldMap scratch;
    Reader r{scratch, {}};
    readElement(r, list, field);
}

void stream2list(pybind11::list& list, solClient_opaqueContainer_pt stream) {
    FieldMap scratch;
    Reader r{scratch, {}};
    readStream(r, list, stream);
}

// Both by value: the exported signature native callers link against.
// NOLINTNEXTLINE(performance-unnecessary-value-param)
bool startsWith(std::string str, std::string prefix) {
    return prefix.empty() || str.compare(0, prefix.size(), prefix) == 0;
}

// --- Writing -------------------------------------------------------------------------------------

void dict2container(solClient_opaqueContainer_pt container, pybind11::dict dict) {
    Sink sink(container);
    writeEntries(sink, dict);
}

void value2container(solClient_opaqueContainer_pt container, const char* key,
                     pybind11::handle value) {
    Sink sink(container);
    writeValue(sink, key, value);
}

void list2container(solClient_opaqueContainer_pt container, const char* key,
                    pybind11::handle value) {
    Sink sink(container);
    writeList(sink, key, value);
}

void subdict2container(solClient_opaqueContainer_pt container, const char* key,
                       pybind11::handle value) {
    Sink sink(container);
    writeDict(sink, key, value);
}

BytesEntry getBytesString(pybind11::dict dict) {
    Py_ssize_t pos = 0;
    PyObject* k = nullptr;
    PyObject* v = nullptr;
    while (PyDict_Next(dict.ptr(), &pos, &k, &v)) {
        const py::object key = py::reinterpret_borrow<py::object>(k);
        const Text name(key);
        if (name.size() < 5 || std::memcmp(name.c_str(), "bytes", 5) != 0) continue;
        const py::object value = py::reinterpret_borrow<py::object>(v);
        const Text text(value);
        // Returned with its length, not stored as a C string: a NUL here loses nothing.
        BytesEntry entry;
        entry.size = static_cast<int64_t>(text.size()) + 128;
        entry.key = name.str();
        entry.value = text.str();
        return entry;
    }
    return {};
}
