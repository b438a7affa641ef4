// Structure-aware: the input drives a sequence of adds (every add of the library, nested maps and
// streams included) into caller memory of an input-chosen size, or into a message's growable
// user-property map. A model keeps what each add should have done; the container is then read back
// directly and through a message attachment and must match the model exactly.
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>

#include "fuzz_common.h"
#include "solclient/testing.h"

namespace {

constexpr size_t kHeader = 5;  // kind byte and 32-bit total length
constexpr int kMaxDepth = 3;

struct Node;

struct ModelField {
    solClient_fieldType type;
    std::string name;           // maps only
    std::string value;          // the value's bytes as read back (text without its NUL)
    std::shared_ptr<Node> sub;  // maps and streams
};

struct Node {
    bool isMap = true;
    std::vector<ModelField> fields;
    size_t used = kHeader;  // bytes of the encoding
};

/// Bytes one field takes in a container, by the library's documented encoding.
size_t encodedSize(bool inMap, const ModelField& f) {
    size_t n = 1 + (inMap ? 2 + f.name.size() + 1 : 0);
    switch (f.type) {
        case SOLCLIENT_STRING: return n + 4 + f.value.size() + 1;
        case SOLCLIENT_BYTEARRAY: return n + 4 + f.value.size();
        case SOLCLIENT_MAP:
        case SOLCLIENT_STREAM: return n + f.sub->used;
        default: return n + f.value.size();
    }
}

template <typename T>
std::string bytesOf(T v) {
    return std::string(reinterpret_cast<const char*>(&v), sizeof v);
}

/// A container in memory of exactly the chosen size (ASan sees any write past it), or the lent
/// user-property map of a message.
struct Built {
    std::unique_ptr<char[]> mem;
    size_t capacity = 0;  // 0: grows without bound (user-property map)
    solClient_opaqueContainer_pt handle = nullptr;
    Node model;
    // Text lent by getStringPtr during the adds, with what it must still read at the end.
    std::vector<std::pair<const char*, std::string>> lent;
};

class Driver {
public:
    explicit Driver(FuzzedDataProvider& in) : in_(in) {}

    /// Adds input-chosen fields to `b` until the input or the op budget runs out.
    void fill(Built& b, int depth) {
        const int ops = in_.ConsumeIntegralInRange(0, depth == 0 ? 48 : 12);
        for (int i = 0; i < ops && in_.remaining_bytes() > 0; ++i) addOne(b, depth);
    }

    /// A caller-memory container of input-chosen kind and size, filled; null when too small.
    std::unique_ptr<Built> make(bool isMap, int depth) {
        auto b = std::make_unique<Built>();
        b->model.isMap = isMap;
        b->capacity = in_.ConsumeIntegralInRange<size_t>(0, depth == 0 ? 2048 : 512);
        b->mem.reset(new char[b->capacity + 1]);  // +1: new char[0] gives no usable pointer
        std::memset(b->mem.get(), 0xA5, b->capacity + 1);
        const solClient_returnCode_t rc =
            isMap ? solClient_container_createMap(&b->handle, b->mem.get(), b->capacity)
                  : solClient_container_createStream(&b->handle, b->mem.get(), b->capacity);
        if (b->capacity < kHeader) {
            FUZZ_CHECK(rc == SOLCLIENT_FAIL && b->handle == nullptr);
            return nullptr;
        }
        FUZZ_CHECK(rc == SOLCLIENT_OK && b->handle != nullptr);
        checkHeader(*b);
        fill(*b, depth);
        return b;
    }

private:
    void checkHeader(const Built& b) {
        if (b.capacity == 0) return;
        const auto* p = reinterpret_cast<const unsigned char*>(b.mem.get());
        FUZZ_CHECK(p[0] == (b.model.isMap ? 0xD1 : 0xD2));
        uint32_t total;
        std::memcpy(&total, p + 1, 4);
        FUZZ_CHECK(total == b.model.used);
        FUZZ_CHECK(static_cast<unsigned char>(b.mem[b.capacity]) == 0xA5);  // nothing past the end
    }

    std::string text() {
        std::string s = in_.ConsumeRandomLengthString(40);
        return s.substr(0, std::strlen(s.c_str()));  // a C string ends at its first NUL
    }

    void addOne(Built& b, int depth) {
        const bool inMap = b.model.isMap;
        // Maps need a name (a null one is refused); streams ignore whatever is given.
        std::optional<std::string> name;
        if (!in_.ConsumeBool() || !inMap) name = text();
        if (inMap && in_.ConsumeIntegralInRange(0, 15) == 0) name.reset();
        const char* n = name ? name->c_str() : nullptr;

        ModelField f;
        f.type = static_cast<solClient_fieldType>(in_.ConsumeIntegralInRange(0, 16));
        if (inMap && name) f.name = *name;
        solClient_opaqueContainer_pt c = b.handle;
        std::unique_ptr<Built> sub;
        solClient_returnCode_t rc = SOLCLIENT_FAIL;
        switch (f.type) {
            case SOLCLIENT_BOOL: {
                const auto v = in_.ConsumeIntegral<uint8_t>();
                f.value = bytesOf<uint8_t>(v != 0);  // stored as 0 or 1
                rc = solClient_container_addBoolean(c, v, n);
                break;
            }
            case SOLCLIENT_UINT8: {
                const auto v = in_.ConsumeIntegral<uint8_t>();
                f.value = bytesOf(v);
                rc = solClient_container_addUint8(c, v, n);
                break;
            }
            case SOLCLIENT_INT8: {
                const auto v = in_.ConsumeIntegral<int8_t>();
                f.value = bytesOf(v);
                rc = solClient_container_addInt8(c, v, n);
                break;
            }
            case SOLCLIENT_UINT16: {
                const auto v = in_.ConsumeIntegral<uint16_t>();
                f.value = bytesOf(v);
                rc = solClient_container_addUint16(c, v, n);
                break;
            }
            case SOLCLIENT_INT16: {
                const auto v = in_.ConsumeIntegral<int16_t>();
                f.value = bytesOf(v);
                rc = solClient_container_addInt16(c, v, n);
                break;
            }
            case SOLCLIENT_UINT32: {
                const auto v = in_.ConsumeIntegral<uint32_t>();
                f.value = bytesOf(v);
                rc = solClient_container_addUint32(c, v, n);
                break;
            }
            case SOLCLIENT_INT32: {
                const auto v = in_.ConsumeIntegral<int32_t>();
                f.value = bytesOf(v);
                rc = solClient_container_addInt32(c, v, n);
                break;
            }
            case SOLCLIENT_UINT64: {
                const auto v = in_.ConsumeIntegral<uint64_t>();
                f.value = bytesOf(v);
                rc = solClient_container_addUint64(c, v, n);
                break;
            }
            case SOLCLIENT_INT64: {
                const auto v = in_.ConsumeIntegral<int64_t>();
                f.value = bytesOf(v);
                rc = solClient_container_addInt64(c, v, n);
                break;
            }
            case SOLCLIENT_WCHAR: {
                const auto v = in_.ConsumeIntegral<uint16_t>();
                f.value = bytesOf(v);
                rc = solClient_container_addWchar(c, v, n);
                break;
            }
            case SOLCLIENT_FLOAT: {
                // Any bit pattern, NaN payloads included, must come back unchanged.
                const auto bits = in_.ConsumeIntegral<uint32_t>();
                float v;
                std::memcpy(&v, &bits, sizeof v);
                f.value = bytesOf(bits);
                rc = solClient_container_addFloat(c, v, n);
                break;
            }
            case SOLCLIENT_DOUBLE: {
                const auto bits = in_.ConsumeIntegral<uint64_t>();
                double v;
                std::memcpy(&v, &bits, sizeof v);
                f.value = bytesOf(bits);
                rc = solClient_container_addDouble(c, v, n);
                break;
            }
            case SOLCLIENT_STRING:
                f.value = text();
                rc = solClient_container_addString(c, f.value.c_str(), n);
                break;
            case SOLCLIENT_BYTEARRAY:
                f.value = in_.ConsumeRandomLengthString(64);  // any bytes, NULs included
                rc = solClient_container_addByteArray(
                    c, reinterpret_cast<const uint8_t*>(f.value.data()),
                    static_cast<uint32_t>(f.value.size()), n);
                break;
            case SOLCLIENT_MAP:
            case SOLCLIENT_STREAM:
                if (depth >= kMaxDepth) return;
                sub = make(f.type == SOLCLIENT_MAP, depth + 1);
                if (!sub) return;
                f.sub = std::make_shared<Node>(std::move(sub->model));
                rc = solClient_container_addContainer(c, sub->handle, n);
                // The copy is complete: the sub-container and its memory may go at once.
                FUZZ_CHECK(solClient_container_closeMapStream(&sub->handle) == SOLCLIENT_OK);
                sub.reset();
                break;
            case SOLCLIENT_NULL: rc = solClient_container_addNull(c, n); break;
        }
        const size_t need = encodedSize(inMap, f);
        const bool fits = b.capacity == 0 || b.model.used + need <= b.capacity;
        const bool expectOk = (!inMap || name.has_value()) && fits;
        FUZZ_CHECK((rc == SOLCLIENT_OK) == expectOk);
        if (expectOk) {
            b.model.used += need;
            b.model.fields.push_back(std::move(f));
            const ModelField& added = b.model.fields.back();
            if (inMap && added.type == SOLCLIENT_STRING) {
                const char* lent = nullptr;
                FUZZ_CHECK(solClient_container_getStringPtr(c, &lent, n) == SOLCLIENT_OK);
                FUZZ_CHECK(lent != nullptr && added.value == lent);
                b.lent.emplace_back(lent, added.value);
            }
        }
        checkHeader(b);
    }

    FuzzedDataProvider& in_;
};

/// Reads the container and compares it with the model, field by field, nested ones included.
void compare(solClient_opaqueContainer_pt c, const Node& model) {
    FUZZ_CHECK(solClient_container_rewind(c) == SOLCLIENT_OK);
    for (const ModelField& m : model.fields) {
        solClient_field f;
        std::memset(&f, 0x5A, sizeof f);
        const char* name = reinterpret_cast<const char*>(&f);  // any non-null: must be overwritten
        FUZZ_CHECK(solClient_container_getNextField(c, &f, sizeof f, &name) == SOLCLIENT_OK);
        FUZZ_CHECK(f.type == m.type);
        if (model.isMap) {
            FUZZ_CHECK(name != nullptr && m.name == name);
        } else {
            FUZZ_CHECK(name == nullptr);
        }
        switch (m.type) {
            case SOLCLIENT_STRING:
                FUZZ_CHECK(f.length == m.value.size() + 1);
                FUZZ_CHECK(f.value.string != nullptr && m.value == f.value.string);
                break;
            case SOLCLIENT_BYTEARRAY:
                FUZZ_CHECK(f.length == m.value.size());
                FUZZ_CHECK(m.value.empty() ||
                           std::memcmp(f.value.bytearray, m.value.data(), m.value.size()) == 0);
                break;
            case SOLCLIENT_MAP:
            case SOLCLIENT_STREAM: {
                FUZZ_CHECK(f.length == m.sub->used);
                solClient_opaqueContainer_pt view = f.value.map;
                compare(view, *m.sub);
                // Nested views are read-only and belong to their parent.
                FUZZ_CHECK(solClient_container_addNull(view, "x") == SOLCLIENT_FAIL);
                FUZZ_CHECK(solClient_container_closeMapStream(&view) == SOLCLIENT_FAIL);
                FUZZ_CHECK(view == f.value.map);
                break;
            }
            default:
                FUZZ_CHECK(f.length == m.value.size());
                FUZZ_CHECK(std::memcmp(&f.value, m.value.data(), m.value.size()) == 0);
                break;
        }
    }
    solClient_field f{};
    FUZZ_CHECK(solClient_container_getNextField(c, &f, sizeof f, nullptr) == SOLCLIENT_EOS);
    FUZZ_CHECK(solClient_container_getNextField(c, &f, sizeof f, nullptr) == SOLCLIENT_EOS);
}

/// getStringPtr finds the latest string field of each name, or reports none.
void compareLookups(solClient_opaqueContainer_pt map, const Node& model) {
    for (const ModelField& m : model.fields) {
        const std::string* latest = nullptr;
        for (const ModelField& other : model.fields)
            if (other.type == SOLCLIENT_STRING && other.name == m.name) latest = &other.value;
        const char* value = nullptr;
        const solClient_returnCode_t rc =
            solClient_container_getStringPtr(map, &value, m.name.c_str());
        if (latest) {
            FUZZ_CHECK(rc == SOLCLIENT_OK && value != nullptr && *latest == value);
        } else {
            FUZZ_CHECK(rc == SOLCLIENT_NOT_FOUND && value == nullptr);
        }
    }
}

/// The attachment made from the container holds its exact bytes and reads back the same.
void throughAttachment(solClient_opaqueContainer_pt c, const Node& model,
                       const char* expectedBytes) {
    solClient_opaqueMsg_pt msg = nullptr;
    FUZZ_CHECK(solClient_msg_alloc(&msg) == SOLCLIENT_OK);
    FUZZ_CHECK(solClient_msg_setBinaryAttachmentContainer(msg, c) == SOLCLIENT_OK);
    void* bytes = nullptr;
    uint32_t size = 0;
    FUZZ_CHECK(solClient_msg_getBinaryAttachmentPtr(msg, &bytes, &size) == SOLCLIENT_OK);
    FUZZ_CHECK(size == model.used);
    if (expectedBytes) FUZZ_CHECK(std::memcmp(bytes, expectedBytes, size) == 0);
    solClient_opaqueContainer_pt map = reinterpret_cast<solClient_opaqueContainer_pt>(&size);
    const solClient_returnCode_t rc = solClient_msg_getBinaryAttachmentMap(msg, &map);
    if (model.isMap) {
        FUZZ_CHECK(rc == SOLCLIENT_OK);
        FUZZ_CHECK(solClient_msg_free(&msg) == SOLCLIENT_OK);  // the view keeps the bytes
        compare(map, model);
        compare(map, model);  // a second reading is the same
        compareLookups(map, model);
        FUZZ_CHECK(solClient_container_closeMapStream(&map) == SOLCLIENT_OK);
    } else {
        FUZZ_CHECK(rc == SOLCLIENT_FAIL);  // a stream is no map
        FUZZ_CHECK(map == reinterpret_cast<solClient_opaqueContainer_pt>(&size));
        FUZZ_CHECK(solClient_msg_free(&msg) == SOLCLIENT_OK);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const int64_t containersBefore = solClientTest_liveContainers();
    const int64_t messagesBefore = solClientTest_liveMessages();
    FuzzedDataProvider in(data, size);
    Driver driver(in);
    const int target = in.ConsumeIntegralInRange(0, 2);
    if (target < 2) {
        // Caller memory, a map or a stream.
        std::unique_ptr<Built> b = driver.make(target == 0, 0);
        if (b) {
            compare(b->handle, b->model);
            if (b->model.isMap) compareLookups(b->handle, b->model);
            throughAttachment(b->handle, b->model, b->mem.get());
            for (const auto& [p, text] : b->lent) FUZZ_CHECK(text == p);
            FUZZ_CHECK(solClient_container_closeMapStream(&b->handle) == SOLCLIENT_OK);
        }
    } else {
        // The user-property map: it grows, so no add is refused for room, and text lent earlier
        // stays valid across the growth.
        solClient_opaqueMsg_pt msg = nullptr;
        FUZZ_CHECK(solClient_msg_alloc(&msg) == SOLCLIENT_OK);
        Built b;
        const auto hint = in.ConsumeIntegral<uint32_t>();
        FUZZ_CHECK(solClient_msg_createUserPropertyMap(msg, &b.handle, hint) == SOLCLIENT_OK);
        driver.fill(b, 0);
        for (const auto& [p, text] : b.lent) FUZZ_CHECK(text == p);
        solClient_opaqueContainer_pt again = nullptr;
        FUZZ_CHECK(solClient_msg_getUserPropertyMap(msg, &again) == SOLCLIENT_OK);
        FUZZ_CHECK(again == b.handle);
        compare(b.handle, b.model);
        compareLookups(b.handle, b.model);
        throughAttachment(b.handle, b.model, nullptr);
        FUZZ_CHECK(solClient_container_closeMapStream(&again) == SOLCLIENT_FAIL);  // lent
        char dump[1024];
        solClient_msg_dump(msg, dump, sizeof dump);
        FUZZ_CHECK(std::memchr(dump, 0, sizeof dump) != nullptr);
        FUZZ_CHECK(solClient_msg_free(&msg) == SOLCLIENT_OK);
    }
    FUZZ_CHECK(solClientTest_liveContainers() == containersBefore);
    FUZZ_CHECK(solClientTest_liveMessages() == messagesBefore);
    return 0;
}
