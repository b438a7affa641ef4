// Maps and streams: creating, adding, reading and closing.

#include <cstring>
#include <new>

#include "solclient/internal.h"

namespace solclient {

void destroyContainer(Container* c) noexcept {
    // A singly linked work list threaded through the containers themselves: no recursion, however
    // deep the views nest, and no allocation.
    if (c == nullptr) return;
    c->link = nullptr;
    while (c != nullptr) {
        Container* next = c->link;
        for (Container* child : c->children) {
            if (child == nullptr) continue;
            child->link = next;
            next = child;
        }
        for (Container& view : c->tree) view.magic = 0;
        c->magic = 0;
        delete c;
        c = next;
    }
}

namespace {

solClient_returnCode_t create(const char* op, solClient_opaqueContainer_pt* h_p, char* mem,
                              size_t size, uint8_t kind) {
    if (h_p == nullptr) return fail(SOLCLIENT_FAIL, op, "null handle pointer");
    if (mem == nullptr) return fail(SOLCLIENT_FAIL, op, "null memory");
    if (size < enc::kHeaderSize)
        return fail(SOLCLIENT_FAIL, op, "memory of %zu bytes is smaller than the %zu-byte header",
                    size, enc::kHeaderSize);
    auto* c = new (std::nothrow) Container;
    if (c == nullptr) return fail(SOLCLIENT_FAIL, op, "out of memory");
    c->kind = kind;
    c->role = Role::Caller;
    c->base = reinterpret_cast<unsigned char*>(mem);
    // The total length is 32-bit, so memory beyond 4 GiB - 1 bytes is never used.
    c->capacity = size < enc::kMaxTotal ? size : enc::kMaxTotal;
    c->used = enc::kHeaderSize;
    enc::storeHeader(c->base, kind, static_cast<uint32_t>(enc::kHeaderSize));
    liveContainers.fetch_add(1, std::memory_order_relaxed);
    *h_p = c;
    return SOLCLIENT_OK;
}

/// Grows the user-property map's buffer to hold at least `need` more bytes. Earlier buffers are
/// retired, not freed, so text and views lent from them stay valid.
bool grow(Container* c, size_t need) noexcept {
    size_t cap = c->capacity > enc::kMaxTotal / 2 ? enc::kMaxTotal : c->capacity * 2;
    if (cap < c->used + need) cap = c->used + need;
    std::unique_ptr<unsigned char[]> fresh(new (std::nothrow) unsigned char[cap]);
    if (!fresh) return false;
    try {
        c->retired.push_back(std::move(c->own));
    } catch (...) {
        return false;
    }
    std::memcpy(fresh.get(), c->base, c->used);
    c->own = std::move(fresh);
    c->base = c->own.get();
    c->capacity = cap;
    return true;
}

/// Appends one field: type, name (maps), then prefix, body and, for strings, a NUL. Either the
/// whole field is written or nothing changes.
solClient_returnCode_t addField(const char* op, solClient_opaqueContainer_pt h, uint8_t type,
                                const char* name, const void* prefix, size_t prefixLen,
                                const void* body, size_t bodyLen, bool trailingNul) noexcept {
    Container* c = asContainer(h);
    if (c == nullptr) return fail(SOLCLIENT_FAIL, op, "%s", badContainer(h));
    if (!c->writable()) return fail(SOLCLIENT_FAIL, op, "read-only container");
    size_t nameLen = 0;
    if (c->isMap()) {
        if (name == nullptr) return fail(SOLCLIENT_FAIL, op, "null field name");
        nameLen = std::strlen(name);
        if (nameLen > enc::kMaxNameLength)
            return fail(SOLCLIENT_FAIL, op, "field name of %zu bytes is longer than 65535",
                        nameLen);
    }
    const size_t nameBytes = c->isMap() ? 2 + nameLen + 1 : 0;
    if (bodyLen > enc::kMaxTotal) return fail(SOLCLIENT_FAIL, op, "value longer than 4 GiB");
    const size_t need = 1 + nameBytes + prefixLen + bodyLen + (trailingNul ? 1 : 0);
    if (need > enc::kMaxTotal - c->used)
        return fail(SOLCLIENT_FAIL, op, "the container would exceed 4 GiB");
    // The body may lie in this container's own bytes (a nested view being copied in). Growing
    // retires rather than frees the old buffer, and appending never overlaps used bytes.
    if (need > c->capacity - c->used) {
        if (c->role != Role::UserProps)
            return fail(SOLCLIENT_FAIL, op,
                        "field of %zu bytes does not fit (%zu of %zu bytes free)", need,
                        c->capacity - c->used, c->capacity);
        if (!grow(c, need)) return fail(SOLCLIENT_FAIL, op, "out of memory");
    }
    unsigned char* p = c->base + c->used;
    *p++ = type;
    if (c->isMap()) {
        enc::storeU16(p, static_cast<uint16_t>(nameLen));
        std::memcpy(p + 2, name, nameLen);
        p[2 + nameLen] = 0;
        p += nameBytes;
    }
    if (prefixLen != 0) {
        std::memcpy(p, prefix, prefixLen);
        p += prefixLen;
    }
    if (bodyLen != 0) {
        std::memmove(p, body, bodyLen);
        p += bodyLen;
    }
    if (trailingNul) *p = 0;
    c->used += need;
    enc::storeU32(c->base + 1, static_cast<uint32_t>(c->used));
    return SOLCLIENT_OK;
}

template <typename T>
solClient_returnCode_t addScalar(const char* op, solClient_opaqueContainer_pt c, uint8_t type,
                                 T value, const char* name) noexcept {
    return addField(op, c, type, name, nullptr, 0, &value, sizeof value, false);
}

solClient_returnCode_t addCounted(const char* op, solClient_opaqueContainer_pt c, uint8_t type,
                                  const void* bytes, size_t length, const char* name,
                                  bool trailingNul) noexcept {
    if (length > UINT32_MAX - (trailingNul ? 1u : 0u))
        return fail(SOLCLIENT_FAIL, op, "value longer than 4 GiB");
    unsigned char prefix[4];
    enc::storeU32(prefix, static_cast<uint32_t>(length));
    return addField(op, c, type, name, prefix, sizeof prefix, bytes, length, trailingNul);
}

/// The view of the nested-container field with this ordinal, made on first visit.
Container* childView(Container* c, size_t ordinal, const enc::FieldRef& f) noexcept {
    if (ordinal < c->children.size() && c->children[ordinal] != nullptr)
        return c->children[ordinal];
    auto* v = new (std::nothrow) Container;
    if (v == nullptr) return nullptr;
    v->kind = enc::kindOfType(f.type);
    v->role = Role::Nested;
    v->base = const_cast<unsigned char*>(f.value);
    v->capacity = v->used = f.valueLength;
    try {
        if (ordinal >= c->children.size()) c->children.resize(ordinal + 1, nullptr);
    } catch (...) {
        delete v;
        return nullptr;
    }
    c->children[ordinal] = v;
    return v;
}

}  // namespace
}  // namespace solclient

using namespace solclient;

extern "C" {

SOLCLIENT_API solClient_returnCode_t
solClient_container_createMap(solClient_opaqueContainer_pt* map_p, char* mem, size_t size) {
    return create("solClient_container_createMap", map_p, mem, size, enc::kMapKind);
}

SOLCLIENT_API solClient_returnCode_t
solClient_container_createStream(solClient_opaqueContainer_pt* stream_p, char* mem, size_t size) {
    return create("solClient_container_createStream", stream_p, mem, size, enc::kStreamKind);
}

SOLCLIENT_API solClient_returnCode_t
solClient_container_closeMapStream(solClient_opaqueContainer_pt* container_p) {
    const char* op = "solClient_container_closeMapStream";
    if (container_p == nullptr) return fail(SOLCLIENT_FAIL, op, "null handle pointer");
    Container* c = asContainer(*container_p);
    if (c == nullptr) return fail(SOLCLIENT_FAIL, op, "%s", badContainer(*container_p));
    if (c->role == Role::Nested)
        return fail(SOLCLIENT_FAIL, op,
                    "a nested container belongs to the container it was read from");
    if (c->role == Role::UserProps)
        return fail(SOLCLIENT_FAIL, op, "the user-property map belongs to its message");
    destroyContainer(c);
    *container_p = nullptr;
    liveContainers.fetch_sub(1, std::memory_order_relaxed);
    return SOLCLIENT_OK;
}

SOLCLIENT_API solClient_returnCode_t solClient_container_rewind(solClient_opaqueContainer_pt h) {
    Container* c = asContainer(h);
    if (c == nullptr)
        return fail(SOLCLIENT_FAIL, "solClient_container_rewind", "%s", badContainer(h));
    c->cursor = enc::kHeaderSize;
    c->nestedOrdinal = c->firstChild;
    return SOLCLIENT_OK;
}

SOLCLIENT_API solClient_returnCode_t solClient_container_getNextField(
    solClient_opaqueContainer_pt h, solClient_field* field, size_t fieldSize, const char** name_p) {
    const char* op = "solClient_container_getNextField";
    Container* c = asContainer(h);
    if (c == nullptr) return fail(SOLCLIENT_FAIL, op, "%s", badContainer(h));
    if (field == nullptr) return fail(SOLCLIENT_FAIL, op, "null field pointer");
    if (fieldSize < sizeof(solClient_field))
        return fail(SOLCLIENT_FAIL, op, "field size %zu is smaller than %zu", fieldSize,
                    sizeof(solClient_field));
    if (c->cursor >= c->used) return SOLCLIENT_EOS;

    enc::FieldRef f;
    if (const char* why = enc::decodeField(c->base, c->cursor, c->used, c->isMap(), false, f))
        return fail(SOLCLIENT_FAIL, op, "corrupt field at offset %zu: %s", c->cursor, why);
    solClient_field out;
    std::memset(&out, 0, sizeof out);
    out.type = static_cast<solClient_fieldType>(f.type);
    out.length = f.valueLength;
    switch (f.type) {
        case SOLCLIENT_BOOL: out.value.boolean = *f.value != 0; break;
        case SOLCLIENT_STRING: out.value.string = reinterpret_cast<const char*>(f.value); break;
        case SOLCLIENT_BYTEARRAY: out.value.bytearray = f.value; break;
        case SOLCLIENT_MAP:
        case SOLCLIENT_STREAM: {
            Container* v = c->views != nullptr ? &c->views[c->nestedOrdinal]
                                               : childView(c, c->nestedOrdinal, f);
            if (v == nullptr) return fail(SOLCLIENT_FAIL, op, "out of memory");
            // Handed out rewound, so every walk of the parent reads its nested fields whole.
            v->cursor = enc::kHeaderSize;
            v->nestedOrdinal = v->firstChild;
            out.value.map = v;
            // In a tree the next sibling's view follows this one's subtree.
            c->nestedOrdinal = c->views != nullptr ? v->subtreeEnd : c->nestedOrdinal + 1;
            break;
        }
        default:
            // Every member of the value union starts at its first byte.
            std::memcpy(&out.value, f.value, f.valueLength);
            break;
    }
    *field = out;
    if (name_p != nullptr) *name_p = f.name;
    c->cursor = f.next;
    return SOLCLIENT_OK;
}

SOLCLIENT_API solClient_returnCode_t solClient_container_getStringPtr(
    solClient_opaqueContainer_pt h, const char** value_p, const char* name) {
    const char* op = "solClient_container_getStringPtr";
    Container* c = asContainer(h);
    if (c == nullptr) return fail(SOLCLIENT_FAIL, op, "%s", badContainer(h));
    if (value_p == nullptr) return fail(SOLCLIENT_FAIL, op, "null value pointer");
    if (name == nullptr) return fail(SOLCLIENT_FAIL, op, "null field name");
    if (!c->isMap()) return fail(SOLCLIENT_FAIL, op, "a stream has no named fields");
    const size_t nameLen = std::strlen(name);
    // The user-property map only grows by appending and is written by this library alone, so a
    // lookup of the name looked up last goes on from where that one stopped: setting the content
    // type over and over does not make reading it slower.
    Container::Lookup& memo = c->lookup;
    const bool resume = c->role == Role::UserProps && memo.scanned != 0 &&
                        memo.name.size() == nameLen &&
                        std::memcmp(memo.name.data(), name, nameLen) == 0;
    size_t pos = resume ? memo.scanned : enc::kHeaderSize;
    size_t foundAt = resume ? memo.found : 0;
    enc::FieldRef f;
    for (; pos < c->used; pos = f.next) {
        if (const char* why = enc::decodeField(c->base, pos, c->used, true, false, f))
            return fail(SOLCLIENT_FAIL, op, "corrupt field at offset %zu: %s", pos, why);
        if (f.type == SOLCLIENT_STRING && f.nameLength == nameLen &&
            std::memcmp(f.name, name, nameLen) == 0)
            foundAt = static_cast<size_t>(f.value - c->base);
    }
    if (c->role == Role::UserProps) {
        try {
            if (!resume) memo.name.assign(name, nameLen);
            memo.scanned = pos;
            memo.found = foundAt;
        } catch (...) {
            memo.scanned = 0;  // no memory for the name: the next lookup searches from the start
        }
    }
    const char* found = foundAt != 0 ? reinterpret_cast<const char*>(c->base + foundAt) : nullptr;
    *value_p = found;
    if (found == nullptr)
        return fail(SOLCLIENT_NOT_FOUND, op, "no string field named '%.64s'", name);
    return SOLCLIENT_OK;
}

SOLCLIENT_API solClient_returnCode_t solClient_container_addString(solClient_opaqueContainer_pt c,
                                                                   const char* value,
                                                                   const char* name) {
    const char* op = "solClient_container_addString";
    if (value == nullptr) {
        if (asContainer(c) == nullptr) return fail(SOLCLIENT_FAIL, op, "%s", badContainer(c));
        return fail(SOLCLIENT_FAIL, op, "null string value");
    }
    return addCounted(op, c, SOLCLIENT_STRING, value, std::strlen(value), name, true);
}

SOLCLIENT_API solClient_returnCode_t solClient_container_addByteArray(
    solClient_opaqueContainer_pt c, const uint8_t* value, uint32_t length, const char* name) {
    const char* op = "solClient_container_addByteArray";
    if (value == nullptr && length != 0) {
        if (asContainer(c) == nullptr) return fail(SOLCLIENT_FAIL, op, "%s", badContainer(c));
        return fail(SOLCLIENT_FAIL, op, "null bytes with length %u", length);
    }
    return addCounted(op, c, SOLCLIENT_BYTEARRAY, value, length, name, false);
}

SOLCLIENT_API solClient_returnCode_t solClient_container_addContainer(
    solClient_opaqueContainer_pt c, solClient_opaqueContainer_pt subHandle, const char* name) {
    const char* op = "solClient_container_addContainer";
    if (asContainer(c) == nullptr) return fail(SOLCLIENT_FAIL, op, "%s", badContainer(c));
    Container* sub = asContainer(subHandle);
    if (sub == nullptr)
        return fail(SOLCLIENT_FAIL, op, "sub-container: %s", badContainer(subHandle));
    if (subHandle == c) return fail(SOLCLIENT_FAIL, op, "a container cannot be added to itself");
    const uint8_t type = sub->isMap() ? SOLCLIENT_MAP : SOLCLIENT_STREAM;
    return addField(op, c, type, name, nullptr, 0, sub->base, sub->used, false);
}

SOLCLIENT_API solClient_returnCode_t solClient_container_addBoolean(solClient_opaqueContainer_pt c,
                                                                    solClient_bool_t value,
                                                                    const char* name) {
    return addScalar<uint8_t>("solClient_container_addBoolean", c, SOLCLIENT_BOOL,
                              value != 0 ? 1 : 0, name);
}

SOLCLIENT_API solClient_returnCode_t solClient_container_addInt64(solClient_opaqueContainer_pt c,
                                                                  int64_t value, const char* name) {
    return addScalar("solClient_container_addInt64", c, SOLCLIENT_INT64, value, name);
}

SOLCLIENT_API solClient_returnCode_t solClient_container_addDouble(solClient_opaqueContainer_pt c,
                                                                   double value, const char* name) {
    return addScalar("solClient_container_addDouble", c, SOLCLIENT_DOUBLE, value, name);
}

SOLCLIENT_API solClient_returnCode_t solClient_container_addUint8(solClient_opaqueContainer_pt c,
                                                                  uint8_t value, const char* name) {
    return addScalar("solClient_container_addUint8", c, SOLCLIENT_UINT8, value, name);
}

SOLCLIENT_API solClient_returnCode_t solClient_container_addInt8(solClient_opaqueContainer_pt c,
                                                                 int8_t value, const char* name) {
    return addScalar("solClient_container_addInt8", c, SOLCLIENT_INT8, value, name);
}

SOLCLIENT_API solClient_returnCode_t solClient_container_addUint16(solClient_opaqueContainer_pt c,
                                                                   uint16_t value,
                                                                   const char* name) {
    return addScalar("solClient_container_addUint16", c, SOLCLIENT_UINT16, value, name);
}

SOLCLIENT_API solClient_returnCode_t solClient_container_addInt16(solClient_opaqueContainer_pt c,
                                                                  int16_t value, const char* name) {
    return addScalar("solClient_container_addInt16", c, SOLCLIENT_INT16, value, name);
}

SOLCLIENT_API solClient_returnCode_t solClient_container_addUint32(solClient_opaqueContainer_pt c,
                                                                   uint32_t value,
                                                                   const char* name) {
    return addScalar("solClient_container_addUint32", c, SOLCLIENT_UINT32, value, name);
}

SOLCLIENT_API solClient_returnCode_t solClient_container_addInt32(solClient_opaqueContainer_pt c,
                                                                  int32_t value, const char* name) {
    return addScalar("solClient_container_addInt32", c, SOLCLIENT_INT32, value, name);
}

SOLCLIENT_API solClient_returnCode_t solClient_container_addUint64(solClient_opaqueContainer_pt c,
                                                                   uint64_t value,
                                                                   const char* name) {
    return addScalar("solClient_container_addUint64", c, SOLCLIENT_UINT64, value, name);
}

SOLCLIENT_API solClient_returnCode_t solClient_container_addWchar(solClient_opaqueContainer_pt c,
                                                                  uint16_t value,
                                                                  const char* name) {
    return addScalar("solClient_container_addWchar", c, SOLCLIENT_WCHAR, value, name);
}

SOLCLIENT_API solClient_returnCode_t solClient_container_addFloat(solClient_opaqueContainer_pt c,
                                                                  float value, const char* name) {
    return addScalar("solClient_container_addFloat", c, SOLCLIENT_FLOAT, value, name);
}

SOLCLIENT_API solClient_returnCode_t solClient_container_addNull(solClient_opaqueContainer_pt c,
                                                                 const char* name) {
    return addField("solClient_container_addNull", c, SOLCLIENT_NULL, name, nullptr, 0, nullptr, 0,
                    false);
}

}  // extern "C"
