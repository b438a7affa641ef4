#include "solclient/encoding.h"

#include <vector>

namespace solclient::enc {

int fixedValueSize(uint8_t type) noexcept {
    // By type code: BOOL..INT64, WCHAR, STRING, BYTEARRAY, FLOAT, DOUBLE, MAP, STREAM, NULL.
    static constexpr int8_t kSizes[kMaxTypeCode + 1] = {1, 1, 1, 2, 2, 4, 4, 8, 8,
                                                        2, -1, -1, 4, 8, -1, -1, 0};
    return type <= kMaxTypeCode ? kSizes[type] : -1;
}

const char* decodeField(const unsigned char* base, size_t pos, size_t end, bool inMap, bool strict,
                        FieldRef& out) noexcept {
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

const char* validate(const unsigned char* p, size_t length, uint8_t kind) {
    if (p == nullptr || length < kHeaderSize) return "shorter than a container header";
    if (p[0] != kMapKind && p[0] != kStreamKind) return "not a container encoding (bad kind byte)";
    if (kind != 0 && p[0] != kind)
        return kind == kMapKind ? "a stream, not a map" : "a map, not a stream";
    if (loadU32(p + 1) != length) return "container length does not match the byte count";

    // One frame per open container; the heap stack keeps any nesting depth off the native stack.
    struct Frame {
        size_t pos;
        size_t end;
        bool isMap;
    };
    std::vector<Frame> stack;
    stack.push_back({kHeaderSize, length, p[0] == kMapKind});
    FieldRef f;
    while (!stack.empty()) {
        Frame& top = stack.back();
        if (top.pos == top.end) {
            stack.pop_back();
            continue;
        }
        if (const char* why = decodeField(p, top.pos, top.end, top.isMap, true, f)) return why;
        top.pos = f.next;
        if (f.type == 14 || f.type == 15) {
            const size_t start = static_cast<size_t>(f.value - p);
            stack.push_back({start + kHeaderSize, start + f.valueLength, f.type == 14});
        }
    }
    return nullptr;
}

}  // namespace solclient::enc
