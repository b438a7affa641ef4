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
int fixedValueSize(uint8_t type) noexcept;

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
const char* decodeField(const unsigned char* base, size_t pos, size_t end, bool inMap, bool strict,
                        FieldRef& out) noexcept;

/// Validates bytes completely as one container of the given kind (0: either kind). Iterative, so
/// nesting depth is bounded only by the size of the bytes. Returns null or the reason.
/// May throw std::bad_alloc (its explicit stack lives on the heap).
const char* validate(const unsigned char* p, size_t length, uint8_t kind);

}  // namespace solclient::enc
