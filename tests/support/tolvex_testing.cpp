// The test-only module `_tolvex_testing`: operations that Python cannot reach through `tolvex`, and
// fixtures built over the messaging library. Never installed.
//
// Containers are described in Python as lists of (name, type_code, value) tuples: name is None
// inside streams, the value of a map (14) or stream (15) is such a list again, a string (10) takes
// str or bytes (bytes may hold any text, valid UTF-8 or not), a null (16) ignores its value.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include <pybind11/pybind11.h>

#include "map2dict.h"
#include "pytolvex.h"
#include "solclient/testing.h"
#include "vendor/solClient.h"

namespace py = pybind11;

namespace {

// --- Library handles -----------------------------------------------------------------------------

/// Memory for fixture containers. Lazily zeroed pages, so generous sizes cost nothing.
constexpr size_t kFixtureSize = size_t{1} << 24;

void check(solClient_returnCode_t rc, const char* what) {
    if (rc != SOLCLIENT_OK)
        throw std::runtime_error(std::string(what) + ": " + solClient_getLastErrorInfo()->errorStr);
}

struct FreeMemory {
    void operator()(char* p) const { std::free(p); }
};

/// A map or stream in memory of its own, closed when it goes.
class OwnedContainer {
public:
    OwnedContainer(bool isMap, size_t size) : mem_(static_cast<char*>(std::calloc(size, 1))) {
        if (!mem_) throw std::bad_alloc();
        check(isMap ? solClient_container_createMap(&handle_, mem_.get(), size)
                    : solClient_container_createStream(&handle_, mem_.get(), size),
              "create container");
    }
    ~OwnedContainer() { solClient_container_closeMapStream(&handle_); }
    OwnedContainer(const OwnedContainer&) = delete;
    OwnedContainer& operator=(const OwnedContainer&) = delete;
    solClient_opaqueContainer_pt get() const { return handle_; }

private:
    std::unique_ptr<char, FreeMemory> mem_;
    solClient_opaqueContainer_pt handle_ = nullptr;
};

/// A message, freed when it goes.
class OwnedMessage {
public:
    OwnedMessage() { check(solClient_msg_alloc(&msg_), "alloc message"); }
    ~OwnedMessage() { solClient_msg_free(&msg_); }
    OwnedMessage(const OwnedMessage&) = delete;
    OwnedMessage& operator=(const OwnedMessage&) = delete;
    solClient_opaqueMsg_pt get() const { return msg_; }

private:
    solClient_opaqueMsg_pt msg_ = nullptr;
};

/// A map handle fetched from a message, closed when it goes.
class FetchedMap {
public:
    explicit FetchedMap(solClient_opaqueMsg_pt msg) {
        if (solClient_msg_getBinaryAttachmentMap(msg, &handle_) != SOLCLIENT_OK)
            throw py::value_error(std::string("attachment is no map: ") +
                                  solClient_getLastErrorInfo()->errorStr);
    }
    ~FetchedMap() { solClient_container_closeMapStream(&handle_); }
    FetchedMap(const FetchedMap&) = delete;
    FetchedMap& operator=(const FetchedMap&) = delete;
    solClient_opaqueContainer_pt get() const { return handle_; }

private:
    solClient_opaqueContainer_pt handle_ = nullptr;
};

// --- Building containers from descriptions -------------------------------------------------------

void build(solClient_opaqueContainer_pt c, const py::handle& fields);

void addField(solClient_opaqueContainer_pt c, const py::handle& item) {
    const auto entry = py::cast<py::tuple>(item);
    if (entry.size() != 3) throw py::value_error("a field is (name, type_code, value)");
    std::optional<std::string> nameText;
    if (!entry[0].is_none()) nameText = py::cast<std::string>(entry[0]);
    const char* name = nameText ? nameText->c_str() : nullptr;
    const auto code = py::cast<int>(entry[1]);
    const py::object value = entry[2];
    solClient_returnCode_t rc = SOLCLIENT_OK;
    switch (code) {
        case SOLCLIENT_BOOL:
            rc = solClient_container_addBoolean(c, py::cast<uint8_t>(value), name);
            break;
        case SOLCLIENT_UINT8:
            rc = solClient_container_addUint8(c, py::cast<uint8_t>(value), name);
            break;
        case SOLCLIENT_INT8:
            rc = solClient_container_addInt8(c, py::cast<int8_t>(value), name);
            break;
        case SOLCLIENT_UINT16:
            rc = solClient_container_addUint16(c, py::cast<uint16_t>(value), name);
            break;
        case SOLCLIENT_INT16:
            rc = solClient_container_addInt16(c, py::cast<int16_t>(value), name);
            break;
        case SOLCLIENT_UINT32:
            rc = solClient_container_addUint32(c, py::cast<uint32_t>(value), name);
            break;
        case SOLCLIENT_INT32:
            rc = solClient_container_addInt32(c, py::cast<int32_t>(value), name);
            break;
        case SOLCLIENT_UINT64:
            rc = solClient_container_addUint64(c, py::cast<uint64_t>(value), name);
            break;
        case SOLCLIENT_INT64:
            rc = solClient_container_addInt64(c, py::cast<int64_t>(value), name);
            break;
        case SOLCLIENT_WCHAR:
            rc = solClient_container_addWchar(c, py::cast<uint16_t>(value), name);
            break;
        case SOLCLIENT_STRING: {
            const auto text = py::cast<std::string>(value);
            rc = solClient_container_addString(c, text.c_str(), name);
            break;
        }
        case SOLCLIENT_BYTEARRAY: {
            const auto data = py::cast<std::string>(value);
            rc = solClient_container_addByteArray(c, reinterpret_cast<const uint8_t*>(data.data()),
                                                  static_cast<uint32_t>(data.size()), name);
            break;
        }
        case SOLCLIENT_FLOAT:
            rc = solClient_container_addFloat(c, py::cast<float>(value), name);
            break;
        case SOLCLIENT_DOUBLE:
            rc = solClient_container_addDouble(c, py::cast<double>(value), name);
            break;
        case SOLCLIENT_MAP:
        case SOLCLIENT_STREAM: {
            const OwnedContainer sub(code == SOLCLIENT_MAP, kFixtureSize);
            build(sub.get(), value);
            rc = solClient_container_addContainer(c, sub.get(), name);
            break;
        }
        case SOLCLIENT_NULL: rc = solClient_container_addNull(c, name); break;
        default: throw py::value_error("no such type code: " + std::to_string(code));
    }
    check(rc, "add field");
}

void build(solClient_opaqueContainer_pt c, const py::handle& fields) {
    for (const py::handle item : fields) addField(c, item);
}

// --- Describing containers -----------------------------------------------------------------------

py::object text(const char* p) {
    if (p == nullptr) return py::none();
    PyObject* s =
        PyUnicode_DecodeUTF8(p, static_cast<Py_ssize_t>(std::strlen(p)), "surrogateescape");
    if (s == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(s);
}

/// What a container holds, as a description (strings as str, byte arrays as bytes).
py::list describe(solClient_opaqueContainer_pt c, bool isMap) {
    py::list out;
    solClient_container_rewind(c);
    solClient_field f{};
    const char* name = nullptr;
    while (solClient_container_getNextField(c, &f, sizeof f, isMap ? &name : nullptr) ==
           SOLCLIENT_OK) {
        const auto& v = f.value;
        py::object value;
        switch (f.type) {
            case SOLCLIENT_BOOL: value = py::int_(v.boolean); break;
            case SOLCLIENT_UINT8: value = py::int_(v.uint8); break;
            case SOLCLIENT_INT8: value = py::int_(v.int8); break;
            case SOLCLIENT_UINT16: value = py::int_(v.uint16); break;
            case SOLCLIENT_INT16: value = py::int_(v.int16); break;
            case SOLCLIENT_UINT32: value = py::int_(v.uint32); break;
            case SOLCLIENT_INT32: value = py::int_(v.int32); break;
            case SOLCLIENT_UINT64: value = py::int_(v.uint64); break;
            case SOLCLIENT_INT64: value = py::int_(v.int64); break;
            case SOLCLIENT_WCHAR: value = py::int_(v.wchar); break;
            case SOLCLIENT_STRING: value = text(v.string); break;
            case SOLCLIENT_BYTEARRAY:
                value = py::bytes(reinterpret_cast<const char*>(v.bytearray), f.length);
                break;
            case SOLCLIENT_FLOAT: value = py::float_(v.float32); break;
            case SOLCLIENT_DOUBLE: value = py::float_(v.float64); break;
            case SOLCLIENT_MAP: value = describe(v.map, true); break;
            case SOLCLIENT_STREAM: value = describe(v.stream, false); break;
            default: value = py::none(); break;
        }
        out.append(
            py::make_tuple(isMap ? text(name) : py::none(), static_cast<int>(f.type), value));
        f = solClient_field{};
    }
    return out;
}

py::dict readMapHandle(solClient_opaqueContainer_pt map) {
    FieldMap fmap;
    sol2map(fmap, map);
    py::dict dict;
    map2dict(dict, "", fmap);
    return dict;
}

py::bytes attachmentOf(solClient_opaqueMsg_pt msg) {
    void* buf = nullptr;
    uint32_t size = 0;
    check(solClient_msg_getBinaryAttachmentPtr(msg, &buf, &size), "attachment");
    return py::bytes(static_cast<const char*>(buf), size);
}

/// The pending exception of a failed conversion, as an object.
py::object caught() {
    try {
        throw;
    } catch (py::error_already_set& e) {
        return e.value();
    } catch (py::builtin_exception& e) {
        e.set_error();
        return py::error_already_set().value();
    }
}

// --- Registrations -------------------------------------------------------------------------------

void bindContainerConversions(py::module_& m) {
    m.def(
        "read_map",
        [](const py::list& fields) {
            const OwnedContainer map(true, kFixtureSize);
            build(map.get(), fields);
            return readMapHandle(map.get());
        },
        "Builds the described map and reads it into a dict.");
    m.def(
        "count_map",
        [](const py::list& fields) {
            const OwnedContainer map(true, kFixtureSize);
            build(map.get(), fields);
            FieldMap fmap;
            return sol2map(fmap, map.get());
        },
        "The number of distinct keys the map reading finds in the described map.");
    m.def(
        "read_stream",
        [](const py::list& fields) {
            const OwnedContainer stream(false, kFixtureSize);
            build(stream.get(), fields);
            py::list list;
            stream2list(list, stream.get());
            return list;
        },
        "Builds the described stream and reads it into a list.");
    m.def(
        "read_field",
        [](const py::object& key, int type, bool inList) -> py::object {
            // A record no container yields: all-zero value, any type code (null text, null
            // handles).
            solClient_field field{};
            field.type = static_cast<solClient_fieldType>(type);
            if (inList) {
                py::list list;
                field2list(list, field);
                return list;
            }
            py::dict dict;
            field2dict(dict, py::cast<std::string>(key).c_str(), field);
            return dict;
        },
        py::arg("key"), py::arg("type"), py::arg("in_list") = false,
        "Converts a field record of the given type with an all-zero value.");
    m.def(
        "read_attachment_map",
        [](const py::bytes& data) {
            const std::string bytes = data;
            const OwnedMessage msg;
            check(solClient_msg_setBinaryAttachment(msg.get(), bytes.data(),
                                                    static_cast<uint32_t>(bytes.size())),
                  "set attachment");
            const FetchedMap map(msg.get());
            return readMapHandle(map.get());
        },
        "Reads encoded map bytes, as a message attachment, into a dict.");
    m.def(
        "encode_map",
        [](const py::list& fields) {
            const OwnedContainer map(true, kFixtureSize);
            build(map.get(), fields);
            const OwnedMessage msg;
            check(solClient_msg_setBinaryAttachmentContainer(msg.get(), map.get()),
                  "set attachment container");
            return attachmentOf(msg.get());
        },
        "The encoded bytes of the described map (for message bodies).");
    m.def(
        "nested_map_bytes",
        [](size_t depth, bool streams) {
            // A map holding one container under "a", which holds one container, and so on `depth`
            // levels down to an empty one: maps (each under "a") or streams. Written directly in
            // the encoding because the library's adds would copy each level once per level above.
            const uint8_t kind = streams ? 0xD2 : 0xD1;
            const uint8_t type = streams ? SOLCLIENT_STREAM : SOLCLIENT_MAP;
            const size_t namedField = 1 + 2 + 1 + 1;  // type, name length, "a", NUL
            const size_t field = streams ? 1 : namedField;
            const size_t total = depth == 0 ? 5 : 5 + namedField + depth * (5 + field) - field;
            std::string out;
            out.reserve(total);
            auto header = [&out](uint8_t k, size_t length) {
                const auto n = static_cast<uint32_t>(length);
                out += static_cast<char>(k);
                out.append(reinterpret_cast<const char*>(&n), sizeof n);
            };
            auto named = [&out](uint8_t t) {
                out += static_cast<char>(t);
                out.append(
                    "\x01\x00"
                    "a",
                    3);
                out += '\0';
            };
            header(0xD1, total);
            if (depth == 0) return py::bytes(out);
            named(type);
            for (size_t level = 1; level <= depth; ++level) {
                header(kind, total - out.size());
                if (level == depth) break;
                if (streams) {
                    out += static_cast<char>(type);
                } else {
                    named(type);
                }
            }
            if (out.size() != total) throw std::logic_error("nested_map_bytes: size mismatch");
            return py::bytes(out);
        },
        py::arg("depth"), py::arg("streams") = false,
        "Encoded bytes of a map with containers nested `depth` deep under the key 'a'.");
    m.def(
        "write_dict",
        [](const py::dict& d, size_t size) {
            const OwnedContainer map(true, size);
            dict2container(map.get(), d);
            return describe(map.get(), true);
        },
        py::arg("d"), py::arg("size") = kFixtureSize,
        "Writes the dict into a map of `size` bytes and describes what the map holds.");
    m.def(
        "dict2container_bench",
        [](const py::dict& d, size_t size) {
            const OwnedContainer map(true, size);
            dict2container(map.get(), d);
        },
        py::arg("d"), py::arg("size") = kFixtureSize,
        "Writes the dict into a map of `size` bytes and closes it, describing nothing (for "
        "timing).");
    m.def(
        "write_dict_partial",
        [](const py::dict& d, size_t size) {
            const OwnedContainer map(true, size);
            py::object error = py::none();
            try {
                dict2container(map.get(), d);
            } catch (...) {
                error = caught();
            }
            return py::make_tuple(error, describe(map.get(), true));
        },
        py::arg("d"), py::arg("size") = kFixtureSize,
        "Like write_dict, but returns (exception or None, description) to show what was kept.");
    m.def(
        "round_trip",
        [](const py::dict& d) {
            const OwnedContainer map(true, kFixtureSize);
            dict2container(map.get(), d);
            return readMapHandle(map.get());
        },
        "Writes the dict into a map and reads the map back.");
    m.def(
        "get_bytes_string",
        [](const py::dict& d) {
            const BytesEntry e = getBytesString(d);
            return py::make_tuple(e.size, py::bytes(e.key), py::bytes(e.value));
        },
        "(size, key, value) of the first entry whose key begins with 'bytes'.");
    m.def("starts_with", [](const py::bytes& s, const py::bytes& prefix) {
        return startsWith(std::string(s), std::string(prefix));
    });
}

void bindLibraryProbes(py::module_& m) {
    m.def("live_containers", &solClientTest_liveContainers,
          "Container handles given out by the library and not yet closed.");
    m.def("live_messages", &solClientTest_liveMessages, "Messages allocated and not yet freed.");
    m.def(
        "flush_stdout", [] { std::fflush(stdout); },
        "Flushes C stdio, where the conversions write their diagnostics.");
}

// The native-only operations of the message; `m` is a tolvex.Tolvex.
void bindWholeMessage(py::module_& m) {
    m.def("to_dict", &PyTolvex::to_dict, "The whole message as one dict.");
    m.def("from_dict", &PyTolvex::from_dict,
          "Writes a dict as the body in the encoding `kind` names.");
    m.def("set_correlation_id", &PyTolvex::setCorrlationId);
    m.def("get_correlation_id", &PyTolvex::getCorrlationId);
    m.def("set_deliver_to_one", &PyTolvex::setDeliveryToOne);
    m.def("is_deliver_to_one",
          [](PyTolvex& msg) { return solClient_msg_isDeliverToOne(msg.ptr()) != 0; });
    m.def("set_http_content_type", [](PyTolvex& msg, const std::string& contentType) {
        return solClient_msg_setHttpContentType(msg.ptr(), contentType.c_str());
    });
    m.def(
        "adopt",
        [] {
            solClient_opaqueMsg_pt handle = nullptr;
            check(solClient_msg_alloc(&handle), "alloc");
            return PyTolvex(handle);
        },
        "A message allocated by the library and adopted, as a receive loop does.");
    m.def(
        "take_over",
        [](const std::string& destination) {
            Tolvex native;
            native.setDestination(Destination(destination, SOLCLIENT_QUEUE_DESTINATION));
            PyTolvex taken(native);
            return py::make_tuple(std::move(taken), native.ptr() == nullptr);
        },
        "A message taken over from a native one; also tells whether the native one was emptied.");
    m.def(
        "with_body",
        [](const std::string& destination, const std::string& jsonText, const std::string& kind) {
            return PyTolvex(destination, nlohmann::json::parse(jsonText), kind);
        },
        "A complete outgoing message built natively.");
}

}  // namespace

PYBIND11_MODULE(_tolvex_testing, m) {
    m.doc() = "Test-only operations and fixtures of tolvex; never installed.";
    py::module_::import("tolvex");  // registers the message class that the operations take
    bindContainerConversions(m);
    bindLibraryProbes(m);
    bindWholeMessage(m);
}
