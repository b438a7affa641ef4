#include "pytolvex.h"

#include <atomic>
#include <cstdint>
#include <limits>
#include <memory>

#include "map2dict.h"

namespace py = pybind11;

// --- The codec cache -----------------------------------------------------------------------------

namespace {

struct CodecSlot {
    const char* package;
    const char* attribute;
    std::atomic<PyObject*> callable{nullptr};
};

CodecSlot j_loads{"orjson", "loads"};
CodecSlot j_dumps{"orjson", "dumps"};
CodecSlot msgp_loads{"msgpack", "loads"};
CodecSlot msgp_dumps{"msgpack", "dumps"};

// Fills a process-wide slot once. Making the value may let other threads run (an import does),
// so a thread never waits for another's fill: each makes the value itself, the first store wins
// and a later one drops its own reference. The slot's reference lives as long as the process.
template <typename Make>
py::handle once(std::atomic<PyObject*>& slot, Make make) {
    if (PyObject* cached = slot.load(std::memory_order_acquire)) return cached;
    PyObject* fresh = make().release().ptr();
    PyObject* expected = nullptr;
    if (slot.compare_exchange_strong(expected, fresh, std::memory_order_acq_rel)) return fresh;
    Py_DECREF(fresh);
    return expected;
}

py::handle fill(CodecSlot& slot) {
    return once(slot.callable, [&slot] {
        return py::object(py::module_::import(slot.package).attr(slot.attribute));
    });
}

/// Takes ownership of a call's result; a null one means a Python error is pending.
py::object steal(PyObject* result) {
    if (!result) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(result);
}

py::object callOne(py::handle callable, py::handle arg) {
    return steal(PyObject_CallOneArg(callable.ptr(), arg.ptr()));
}

// The keyword names of msgpack.loads(data, raw=False), made once like a codec slot's callable.
std::atomic<PyObject*> rawKeyword{nullptr};

PyObject* rawKwnames() {
    return once(rawKeyword, [] { return py::object(py::make_tuple("raw")); }).ptr();
}

// A dict is taken as it is; anything else goes through dict(value).
py::dict asDict(py::object value) {
    if (PyDict_Check(value.ptr())) return py::reinterpret_steal<py::dict>(value.release());
    PyObject* made = PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyDict_Type), value.ptr());
    if (!made) throw py::error_already_set();
    return py::reinterpret_steal<py::dict>(made);
}

py::bytes copyBytes(const Bytes& body) {
    PyObject* copy = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(body.data),
                                               static_cast<Py_ssize_t>(body.length));
    if (!copy) throw py::error_already_set();
    return py::reinterpret_steal<py::bytes>(copy);
}

void checkBodySize(Py_ssize_t size) {
    if (static_cast<uint64_t>(size) > std::numeric_limits<uint32_t>::max()) {
        throw py::value_error("a body of " + std::to_string(size) +
                              " bytes is too large: the limit is 4294967295 bytes");
    }
}

}  // namespace

py::handle get_json_loadsf() { return fill(j_loads); }
py::handle get_json_dumpsf() { return fill(j_dumps); }
py::handle get_msgpack_loadsf() { return fill(msgp_loads); }
py::handle get_msgpack_dumpsf() { return fill(msgp_dumps); }

// --- Construction and forwarding ----------------------------------------------------------------

PyTolvex::PyTolvex() = default;
PyTolvex::PyTolvex(void* handle) : msg(handle) {}
PyTolvex::PyTolvex(const std::string& destination, const nlohmann::json& body,
                   const std::string& kind)
    : msg(destination, body, kind, false, Direct) {}
PyTolvex::PyTolvex(Tolvex& other) : msg(std::move(other)) {}

std::string PyTolvex::dump() { return msg.dump(); }
void* PyTolvex::ptr() { return msg.ptr(); }

Destination PyTolvex::getDestination() { return msg.getDestination(); }
void PyTolvex::setDestination(const Destination& dest) { msg.setDestination(dest); }
Destination PyTolvex::getReplyToDestination() { return msg.getReplyToDestination(); }
void PyTolvex::setReplyToDestination(const Destination& dest) { msg.setReplyToDestination(dest); }
bool PyTolvex::isReply() { return msg.isReply(); }
void PyTolvex::setAsReply(bool reply) { msg.setAsReply(reply); }
bool PyTolvex::isRequest() { return msg.isRequest(); }
bool PyTolvex::isP2P() { return msg.isP2P(); }
DeliveryMode PyTolvex::getDeliveryMode() { return msg.getDeliveryMode(); }
void PyTolvex::setDeliveryMode(DeliveryMode mode) { msg.setDeliveryMode(mode); }
std::string PyTolvex::getContentType() { return msg.getContentType(); }
void PyTolvex::setContentType(const std::string& contentType) { msg.setContentType(contentType); }
bool PyTolvex::isElidingEligible() { return msg.isElidingEligible(); }
void PyTolvex::setElidingEligible(bool elide) { msg.setElidingEligible(elide); }
unsigned int PyTolvex::getCOS() { return msg.getCOS(); }
void PyTolvex::setCOS(unsigned int cos) { msg.setCOS(cos); }
std::string PyTolvex::getCorrlationId() { return msg.getCorrlationId(); }
void PyTolvex::setCorrlationId(const std::string& id) { msg.setCorrlationId(id); }
void PyTolvex::setDeliveryToOne(bool dto) { msg.setDeliveryToOne(dto); }

// --- Bodies --------------------------------------------------------------------------------------

py::bytes PyTolvex::getBinaryAttachment() { return copyBytes(msg.getBinaryAttachment()); }

void PyTolvex::setBinaryAttachment(const py::bytes& body) {
    const Py_ssize_t size = PyBytes_GET_SIZE(body.ptr());
    checkBodySize(size);
    msg.setBinaryAttachment(PyBytes_AS_STRING(body.ptr()), static_cast<unsigned long>(size));
}

py::dict PyTolvex::getJsonBody() {
    return asDict(callOne(get_json_loadsf(), getBinaryAttachment()));
}

void PyTolvex::setJsonBody(const py::dict& body) {
    setEncodedBody(callOne(get_json_dumpsf(), body), "json");
}

py::dict PyTolvex::getMsgpackBody() {
    const py::handle loads = get_msgpack_loadsf();
    const py::bytes body = getBinaryAttachment();
    PyObject* args[] = {nullptr, body.ptr(), Py_False};
    py::object decoded = steal(PyObject_Vectorcall(
        loads.ptr(), args + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, rawKwnames()));
    // Arrays and strings have no keys of their own: they are wrapped under "content".
    if (PySequence_Check(decoded.ptr())) {
        py::dict wrapped;
        wrapped["content"] = std::move(decoded);
        return wrapped;
    }
    return asDict(std::move(decoded));
}

void PyTolvex::setMsgpackBody(const py::dict& body) {
    setEncodedBody(callOne(get_msgpack_dumpsf(), body), "msgpack");
}

// The message changes only once the encoding is known good; the buffer is handed over uncopied.
void PyTolvex::setEncodedBody(const py::object& encoded, const char* contentType) {
    const py::bytes body = encoded;
    const Py_ssize_t size = PyBytes_GET_SIZE(body.ptr());
    checkBodySize(size);
    msg.setContentType(contentType);
    msg.setBinaryAttachment(PyBytes_AS_STRING(body.ptr()), static_cast<unsigned long>(size));
}

// --- The whole message as one dict ---------------------------------------------------------------

namespace {

enum class DictPath { BytesJson, Log, Map, Json, Msgpack, None };

DictPath choosePath(const std::string& contentType, const std::string& destination) {
    if (contentType == "bytes/json") return DictPath::BytesJson;
    if (startsWith(destination, "#LOG")) return DictPath::Log;
    if (contentType.empty() || contentType == "sdt") return DictPath::Map;
    if (contentType == "json" || contentType == "application/json") return DictPath::Json;
    if (contentType == "msgpack") return DictPath::Msgpack;
    return DictPath::None;
}

// Stack area for a "bytes/json" map; larger texts take an exact heap block.
constexpr size_t kMapAreaSize = 32768;
constexpr size_t kMapOverhead = 128;

}  // namespace

py::dict PyTolvex::to_dict() {
    py::dict result;
    DictPath path;
    FieldMap fields;
    {
        py::gil_scoped_release release;
        path = choosePath(msg.getContentType(), msg.getDestination().dest);
        if (path == DictPath::Map || path == DictPath::BytesJson) {
            sol2map(fields, msg.getBinaryAttachmentMap());
        }
    }
    switch (path) {
        case DictPath::Log: result["LOG"] = getBinaryAttachment(); return result;
        case DictPath::Json: return getJsonBody();
        case DictPath::Msgpack: return getMsgpackBody();
        case DictPath::None: return result;
        case DictPath::Map:
        case DictPath::BytesJson: break;
    }
    map2dict(result, nullptr, fields);
    const BytesEntry entry = getBytesString(result);
    if (path == DictPath::Map && entry.size == 0) return result;
    const py::object text = steal(PyUnicode_DecodeUTF8(
        entry.value.data(), static_cast<Py_ssize_t>(entry.value.size()), "strict"));
    return asDict(callOne(get_json_loadsf(), text));
}

void PyTolvex::from_dict(const py::dict& dict, const std::string& kind) {
    msg.setContentType(kind);
    if (kind == "json") {
        setJsonBody(dict);
    } else if (kind == "msgpack") {
        setMsgpackBody(dict);
    } else if (kind == "bytes/json") {
        char area[kMapAreaSize] = {};
        const py::bytes encoded = callOne(get_json_dumpsf(), dict);
        const std::string text(PyBytes_AS_STRING(encoded.ptr()),
                               static_cast<size_t>(PyBytes_GET_SIZE(encoded.ptr())));
        py::gil_scoped_release release;
        const size_t size = text.size() + kMapOverhead;
        std::unique_ptr<char[]> block;
        char* storage = area;
        if (size > kMapAreaSize) {
            block = std::make_unique<char[]>(size);  // zeroed
            storage = block.get();
        }
        // A held map can only be a read view of the old attachment, which takes no field: the
        // new body gets a map of its own. The map is closed before its storage goes.
        msg.closeContainer();
        msg.addContainerString(storage, size, "bytes/json", text);
        msg.attachmentContainerMap();
        msg.closeContainer();
    }
}
