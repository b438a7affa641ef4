// Arbitrary bytes as a message attachment: read as a map when the library accepts them, walked to
// the end through every nested map and stream, every text and byte-array byte touched; and the
// message's dump into buffers of several sizes.
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz_common.h"
#include "solclient/testing.h"

namespace {

volatile unsigned sink;

void touch(const void* p, size_t n) {
    const auto* b = static_cast<const unsigned char*>(p);
    unsigned acc = 0;
    for (size_t i = 0; i < n; ++i) acc += b[i];
    sink = acc;
}

// The fields of one walk, flattened, to compare two walks of the same map.
struct Digest {
    size_t fields = 0;
    uint64_t hash = 1469598103934665603ull;
    void mix(const void* p, size_t n) {
        const auto* b = static_cast<const unsigned char*>(p);
        for (size_t i = 0; i < n; ++i) hash = (hash ^ b[i]) * 1099511628211ull;
    }
};

Digest walkAll(solClient_opaqueContainer_pt map) {
    Digest d;
    d.fields = fuzz::walk(map, true, [&](const solClient_field& f, const char* name, size_t depth) {
        d.mix(&f.type, sizeof f.type);
        d.mix(&depth, sizeof depth);
        if (name != nullptr) d.mix(name, std::strlen(name) + 1);
        switch (f.type) {
            case SOLCLIENT_STRING:
                // The library validated the map: the text is NUL-terminated and holds no NUL.
                FUZZ_CHECK(f.length >= 1);
                FUZZ_CHECK(std::strlen(f.value.string) == f.length - 1);
                touch(f.value.string, f.length);
                d.mix(f.value.string, f.length);
                break;
            case SOLCLIENT_BYTEARRAY:
                FUZZ_CHECK(f.length == 0 || f.value.bytearray != nullptr);
                touch(f.value.bytearray, f.length);
                d.mix(f.value.bytearray, f.length);
                break;
            case SOLCLIENT_MAP:
            case SOLCLIENT_STREAM: break;
            default:
                FUZZ_CHECK(f.type >= SOLCLIENT_BOOL && f.type <= SOLCLIENT_NULL);
                FUZZ_CHECK(f.length <= 8);
                d.mix(&f.value, f.length);
                break;
        }
    });
    return d;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const int64_t containersBefore = solClientTest_liveContainers();
    solClient_opaqueMsg_pt msg = nullptr;
    FUZZ_CHECK(solClient_msg_alloc(&msg) == SOLCLIENT_OK);
    FUZZ_CHECK(solClient_msg_setBinaryAttachment(msg, data, static_cast<uint32_t>(size)) ==
               SOLCLIENT_OK);

    // The attachment is a copy: the caller's bytes are not lent.
    void* stored = nullptr;
    uint32_t storedSize = 0;
    FUZZ_CHECK(solClient_msg_getBinaryAttachmentPtr(msg, &stored, &storedSize) == SOLCLIENT_OK);
    FUZZ_CHECK(storedSize == size && (size == 0 || std::memcmp(stored, data, size) == 0));

    solClient_opaqueContainer_pt map = nullptr;
    if (solClient_msg_getBinaryAttachmentMap(msg, &map) == SOLCLIENT_OK) {
        FUZZ_CHECK(map != nullptr);
        const Digest first = walkAll(map);
        // A second walk (nested views are handed out again, rewound) reads the same fields.
        const Digest second = walkAll(map);
        FUZZ_CHECK(first.fields == second.fields && first.hash == second.hash);
        const char* text = nullptr;
        const solClient_returnCode_t rc = solClient_container_getStringPtr(map, &text, "a");
        FUZZ_CHECK(rc == SOLCLIENT_OK ? text != nullptr : rc == SOLCLIENT_NOT_FOUND);
        // The handle keeps the bytes alive after the message goes.
        FUZZ_CHECK(solClient_msg_free(&msg) == SOLCLIENT_OK);
        const Digest afterFree = walkAll(map);
        FUZZ_CHECK(afterFree.hash == first.hash);
        FUZZ_CHECK(solClient_container_closeMapStream(&map) == SOLCLIENT_OK && map == nullptr);
        FUZZ_CHECK(solClient_msg_alloc(&msg) == SOLCLIENT_OK);
        FUZZ_CHECK(solClient_msg_setBinaryAttachment(msg, data, static_cast<uint32_t>(size)) ==
                   SOLCLIENT_OK);
    } else {
        FUZZ_CHECK(map == nullptr);  // untouched on failure
    }

    // The dump stays NUL-terminated inside the buffer, whatever its size.
    for (const size_t bufSize : {size_t{1}, size_t{7}, size_t{80}, size_t{4096}}) {
        std::string buf(bufSize + 16, '\x7f');
        solClient_msg_dump(msg, buf.data(), bufSize);
        FUZZ_CHECK(std::memchr(buf.data(), 0, bufSize) != nullptr);
        FUZZ_CHECK(buf.compare(bufSize, 16, std::string(16, '\x7f')) == 0);
    }
    FUZZ_CHECK(solClient_msg_free(&msg) == SOLCLIENT_OK);
    FUZZ_CHECK(solClientTest_liveContainers() == containersBefore);
    return 0;
}
