#include "solclient/encoding.h"

#include <vector>

namespace solclient::enc {

const char* validate(const unsigned char* p, size_t length, uint8_t kind,
                     std::vector<NestedSpan>* nested) {
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
        size_t span;  ///< its index in *nested
    };
    std::vector<Frame> stack;
    stack.push_back({kHeaderSize, length, p[0] == kMapKind, 0});
    FieldRef f;
    while (!stack.empty()) {
        Frame& top = stack.back();
        if (top.pos == top.end) {
            if (nested != nullptr && stack.size() > 1)
                (*nested)[top.span].subtreeEnd = nested->size();
            stack.pop_back();
            continue;
        }
        if (const char* why = decodeField(p, top.pos, top.end, top.isMap, true, f)) return why;
        top.pos = f.next;
        if (f.type == 14 || f.type == 15) {
            const size_t start = static_cast<size_t>(f.value - p);
            size_t span = 0;
            if (nested != nullptr) {
                span = nested->size();
                nested->push_back({start, f.valueLength, kindOfType(f.type), 0});
            }
            stack.push_back({start + kHeaderSize, start + f.valueLength, f.type == 14, span});
        }
    }
    return nullptr;
}

}  // namespace solclient::enc
