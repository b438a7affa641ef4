// The byte encoding of structured containers (maps and streams).
//
// One encoding serves every place a container lives: caller memory, the user-property map, nested
// fields and binary attachments. All integers are little-endian and unaligned; readers use memcpy.
//
//   container := header field*
//   header    := [u8 kind: 0xD1 map | 0xD2 stream] [u32 total length, header included]
//   field     := [u8 type code] name? value
//   name      := [u16 N] [N name bytes, none of them NUL] [NUL]        (maps only; streams: none)
//   value, by type code:
//     BOOL(0) UINT8(1) INT8(2)          1 byte (BOOL is stored as 0 or 1)
//     UINT16(3) INT16(4) WCHAR(9)       2 bytes
//     UINT32(5) INT32(6) FLOAT(12)      4 bytes
//     UINT64(7) INT64(8) DOUBLE(13)     8 bytes
//     STRING(10)                        [u32 L] [L text bytes, none of them NUL] [NUL]
//     BYTEARRAY(11)                     [u32 L] [L bytes]
//     MAP(14) STREAM(15)                a whole nested container (header + fields); its kind byte
//                                       matches the type code and its length fits in the parent
//     NULL(16)                          nothing
//
// A valid encoding is exactly one container whose total length equals the byte count given, whose
// fields tile its body with no gap or trailing bytes, recursively. Anything else is refused:
// unknown type codes, bad kind bytes, lengths that overflow or run past the enclosing container,
// missing terminators, NULs inside names or strings. Total lengths are 32-bit, so a container
// holds at most 4 GiB - 1.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace solclient::enc {

constexpr uint8_t kMapKind = 0xD1;
constexpr uint8_t kStreamKind = 0xD2;
constexpr size_t kHeaderSize = 5;
constexpr size_t kMaxTotal = UINT32_MAX;
constexpr size_t kMaxNameLength = 0xFFFF;
constexpr uint8_t kMaxTypeCode = 16;

inline uint16_t loadU16(const unsigned char* p) noexcept {
    uint16_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
inline uint32_t loadU32(const unsigned char* p) noexcept {
    uint32_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
inline void storeU16(unsigned char* p, uint16_t v) noexcept { std::memcpy(p, &v, sizeof v); }
inline void storeU32(unsigned char* p, uint32_t v) noexcept { std::memcpy(p, &v, sizeof v); }

// Values are copied in host order; the encoding is little-endian, and so must the host be.
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
#error "the container encoding assumes a little-endian host"
#endif

/// Writes a container header: kind and total length.
inline void storeHeader(unsigned char* p, uint8_t kind, uint32_t total) noexcept {
    p[0] = kind;
    storeU32(p + 1, total);
}

/// Size of a fixed-size value, or -1 for the variable-size types (STRING, BYTEARRAY, MAP,
/// STREAM) and unknown codes.
inline int fixedValueSize(uint8_t type) noexcept {
    // By type code: BOOL..INT64, WCHAR, STRING, BYTEARRAY, FLOAT, DOUBLE, MAP, STREAM, NULL.
    static constexpr int8_t kSizes[kMaxTypeCode + 1] = {1, 1,  1,  2, 2, 4,  4,  8, 8,
                                                        2, -1, -1, 4, 8, -1, -1, 0};
    return type <= kMaxTypeCode ? kSizes[type] : -1;
}

/// The kind byte a nested container of this type code has (MAP/STREAM), or 0.
inline uint8_t kindOfType(uint8_t type) noexcept {
    return type == 14 ? kMapKind : type == 15 ? kStreamKind : 0;
}

/// One field located in an encoding. Pointers point into the bytes decoded.
struct FieldRef {
    uint8_t type = 0;
    const char* name = nullptr;  ///< maps: NUL-terminated name; streams: null
    uint16_t nameLength = 0;
    const unsigned char* value = nullptr;  ///< strings/byte arrays: the bytes after the length
    uint32_t valueLength = 0;              ///< strings: text bytes + NUL; containers: total length
    size_t next = 0;                       ///< offset just past the field
};

/// Decodes the field at offset pos of base, which must end by offset end. Every read is bounds
/// checked, so it is safe on any bytes. strict additionally checks that names and strings hold no
/// NUL (a linear scan); readers of bytes already validated or written by this library skip it.
/// Nested containers are checked only as far as their header. Returns null or the reason.
/// Inline: readers call it once per field.
inline const char* decodeField(const unsigned char* base, size_t pos, size_t end, bool inMap,
                               bool strict, FieldRef& out) noexcept {
    // Every step compares a needed length with the bytes left (end - pos), never pos + n with end,
    // so no sum can overflow.
    if (pos >= end) return "field runs past its container";
    const uint8_t type = base[pos++];
    if (type > kMaxTypeCode) return "unknown field type code";
    out.type = type;
    out.name = nullptr;
    out.nameLength = 0;
    if (inMap) {
        if (end - pos < 2) return "field name length runs past its container";
        const uint16_t n = loadU16(base + pos);
        pos += 2;
        if (end - pos < size_t{n} + 1) return "field name runs past its container";
        const char* name = reinterpret_cast<const char*>(base + pos);
        if (name[n] != '\0') return "field name is not NUL-terminated";
        if (strict && std::memchr(name, 0, n) != nullptr) return "field name holds a NUL";
        out.name = name;
        out.nameLength = n;
        pos += size_t{n} + 1;
    }
    const int fixed = fixedValueSize(type);
    if (fixed >= 0) {
        if (end - pos < static_cast<size_t>(fixed)) return "field value runs past its container";
        out.value = base + pos;
        out.valueLength = static_cast<uint32_t>(fixed);
        out.next = pos + static_cast<size_t>(fixed);
        return nullptr;
    }
    if (type == 10 || type == 11) {
        if (end - pos < 4) return "value length runs past its container";
        const uint32_t len = loadU32(base + pos);
        pos += 4;
        const size_t stored = type == 10 ? size_t{len} + 1 : size_t{len};
        // A string of 2^32 - 1 bytes would need a length that does not fit the record.
        if (end - pos < stored || stored > UINT32_MAX) return "value runs past its container";
        if (type == 10) {
            if (base[pos + len] != 0) return "string is not NUL-terminated";
            if (strict && std::memchr(base + pos, 0, len) != nullptr) return "string holds a NUL";
        }
        out.value = base + pos;
        out.valueLength = static_cast<uint32_t>(stored);
        out.next = pos + stored;
        return nullptr;
    }
    // MAP or STREAM: a nested container.
    if (end - pos < kHeaderSize) return "nested container header runs past its container";
    if (base[pos] != kindOfType(type)) return "nested container kind does not match its type";
    const uint32_t total = loadU32(base + pos + 1);
    if (total < kHeaderSize) return "nested container length is shorter than its header";
    if (end - pos < total) return "nested container runs past its container";
    out.value = base + pos;
    out.valueLength = total;
    out.next = pos + total;
    return nullptr;
}

/// A nested container found by validate.
struct NestedSpan {
    size_t offset = 0;      ///< of its header in the bytes validated
    uint32_t length = 0;    ///< its total length
    uint8_t kind = 0;       ///< kMapKind or kStreamKind
    size_t subtreeEnd = 0;  ///< the index just past the spans of the containers inside it
};

/// Validates bytes completely as one container of the given kind (0: either kind). Iterative, so
/// nesting depth is bounded only by the size of the bytes. Returns null or the reason. When
/// `nested` is given, it receives every nested container, each before those inside it.
/// May throw std::bad_alloc (its explicit stack lives on the heap).
const char* validate(const unsigned char* p, size_t length, uint8_t kind,
                     std::vector<NestedSpan>* nested = nullptr);

}  // namespace solclient::enc
