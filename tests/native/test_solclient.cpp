// Tests of the in-process messaging library through its C interface.

#include <gtest/gtest.h>

#include <cfloat>
#include <climits>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "solclient/testing.h"
#include "vendor/solClient.h"

namespace {

using Handle = solClient_opaqueContainer_pt;
using Rc = solClient_returnCode_t;

std::string lastError() { return solClient_getLastErrorInfo()->errorStr; }
void clearLastError() { solClient_getLastErrorInfo()->errorStr[0] = '\0'; }

/// Expects the last error to name the operation.
#define EXPECT_ERROR_NAMES(op) \
    EXPECT_EQ(lastError().rfind(std::string(op) + ": ", 0), 0u) << lastError()

/// A message freed at scope end.
struct Msg {
    solClient_opaqueMsg_pt h = nullptr;
    Msg() { EXPECT_EQ(solClient_msg_alloc(&h), SOLCLIENT_OK); }
    ~Msg() {
        if (h != nullptr) solClient_msg_free(&h);
    }
    Msg(const Msg&) = delete;
    Msg& operator=(const Msg&) = delete;
    std::string dump() const {
        std::vector<char> buf(1 << 16);
        EXPECT_EQ(solClient_msg_dump(h, buf.data(), buf.size()), SOLCLIENT_OK);
        return buf.data();
    }
};

/// A map or stream over its own memory, closed at scope end.
struct Box {
    std::vector<char> mem;
    Handle h = nullptr;
    explicit Box(bool map, size_t size = 4096) : mem(size, '\x77') {
        Rc rc = map ? solClient_container_createMap(&h, mem.data(), mem.size())
                    : solClient_container_createStream(&h, mem.data(), mem.size());
        EXPECT_EQ(rc, SOLCLIENT_OK);
    }
    ~Box() {
        if (h != nullptr) solClient_container_closeMapStream(&h);
    }
    Box(const Box&) = delete;
    Box& operator=(const Box&) = delete;
    uint32_t used() const {
        uint32_t n;
        std::memcpy(&n, mem.data() + 1, 4);
        return n;
    }
    std::string bytes() const { return std::string(mem.data(), used()); }
};

struct Read {
    solClient_field f;
    const char* name;
};

/// Every field from the start, then checks that the end of the reading persists.
std::vector<Read> readAll(Handle c) {
    std::vector<Read> out;
    EXPECT_EQ(solClient_container_rewind(c), SOLCLIENT_OK);
    for (;;) {
        Read r{};
        r.name = "unset";
        Rc rc = solClient_container_getNextField(c, &r.f, sizeof r.f, &r.name);
        if (rc == SOLCLIENT_EOS) break;
        EXPECT_EQ(rc, SOLCLIENT_OK) << lastError();
        if (rc != SOLCLIENT_OK) break;
        out.push_back(r);
    }
    return out;
}

// --- Raw encodings -------------------------------------------------------------------------------

std::string u16(uint16_t v) { return std::string(reinterpret_cast<const char*>(&v), 2); }
std::string u32(uint32_t v) { return std::string(reinterpret_cast<const char*>(&v), 4); }
std::string encoded(char kind, const std::string& body) {
    return kind + u32(static_cast<uint32_t>(5 + body.size())) + body;
}
std::string mapOf(const std::string& body) { return encoded('\xD1', body); }
std::string named(uint8_t type, const std::string& name, const std::string& value) {
    return static_cast<char>(type) + u16(static_cast<uint16_t>(name.size())) + name + '\0' + value;
}

// --- Containers ----------------------------------------------------------------------------------

const uint8_t kBytes[] = {0, 1, 0, 255, 0};

struct FieldCase {
    const char* label;
    solClient_fieldType type;
    uint32_t length;
    std::function<Rc(Handle, const char*)> add;
    std::function<void(const solClient_field&)> check;
};

const std::vector<FieldCase>& fieldCases() {
    static const std::vector<FieldCase> cases = {
        {"bool", SOLCLIENT_BOOL, 1,
         [](Handle c, const char* n) { return solClient_container_addBoolean(c, 7, n); },
         [](const solClient_field& f) { EXPECT_EQ(f.value.boolean, 1); }},
        {"uint8", SOLCLIENT_UINT8, 1,
         [](Handle c, const char* n) { return solClient_container_addUint8(c, 250, n); },
         [](const solClient_field& f) { EXPECT_EQ(f.value.uint8, 250); }},
        {"int8", SOLCLIENT_INT8, 1,
         [](Handle c, const char* n) { return solClient_container_addInt8(c, INT8_MIN, n); },
         [](const solClient_field& f) { EXPECT_EQ(f.value.int8, INT8_MIN); }},
        {"uint16", SOLCLIENT_UINT16, 2,
         [](Handle c, const char* n) { return solClient_container_addUint16(c, 65535, n); },
         [](const solClient_field& f) { EXPECT_EQ(f.value.uint16, 65535); }},
        {"int16", SOLCLIENT_INT16, 2,
         [](Handle c, const char* n) { return solClient_container_addInt16(c, INT16_MIN, n); },
         [](const solClient_field& f) { EXPECT_EQ(f.value.int16, INT16_MIN); }},
        {"uint32", SOLCLIENT_UINT32, 4,
         [](Handle c, const char* n) { return solClient_container_addUint32(c, 4000000000u, n); },
         [](const solClient_field& f) { EXPECT_EQ(f.value.uint32, 4000000000u); }},
        {"int32", SOLCLIENT_INT32, 4,
         [](Handle c, const char* n) { return solClient_container_addInt32(c, INT32_MIN, n); },
         [](const solClient_field& f) { EXPECT_EQ(f.value.int32, INT32_MIN); }},
        {"uint64", SOLCLIENT_UINT64, 8,
         [](Handle c, const char* n) { return solClient_container_addUint64(c, UINT64_MAX, n); },
         [](const solClient_field& f) { EXPECT_EQ(f.value.uint64, UINT64_MAX); }},
        {"int64", SOLCLIENT_INT64, 8,
         [](Handle c, const char* n) { return solClient_container_addInt64(c, INT64_MIN, n); },
         [](const solClient_field& f) { EXPECT_EQ(f.value.int64, INT64_MIN); }},
        {"wchar", SOLCLIENT_WCHAR, 2,
         [](Handle c, const char* n) { return solClient_container_addWchar(c, 0x20AC, n); },
         [](const solClient_field& f) { EXPECT_EQ(f.value.wchar, 0x20AC); }},
        {"float", SOLCLIENT_FLOAT, 4,
         [](Handle c, const char* n) { return solClient_container_addFloat(c, -FLT_MAX, n); },
         [](const solClient_field& f) { EXPECT_EQ(f.value.float32, -FLT_MAX); }},
        {"double", SOLCLIENT_DOUBLE, 8,
         [](Handle c, const char* n) { return solClient_container_addDouble(c, 0.1, n); },
         [](const solClient_field& f) { EXPECT_EQ(f.value.float64, 0.1); }},
        {"string", SOLCLIENT_STRING, 7,
         [](Handle c, const char* n) {
             return solClient_container_addString(c, "h\xC3\xA9llo", n);
         },
         [](const solClient_field& f) { EXPECT_STREQ(f.value.string, "h\xC3\xA9llo"); }},
        {"empty string", SOLCLIENT_STRING, 1,
         [](Handle c, const char* n) { return solClient_container_addString(c, "", n); },
         [](const solClient_field& f) { EXPECT_STREQ(f.value.string, ""); }},
        {"bytearray", SOLCLIENT_BYTEARRAY, 5,
         [](Handle c, const char* n) {
             return solClient_container_addByteArray(c, kBytes, sizeof kBytes, n);
         },
         [](const solClient_field& f) {
             EXPECT_EQ(std::memcmp(f.value.bytearray, kBytes, sizeof kBytes), 0);
         }},
        {"empty bytearray", SOLCLIENT_BYTEARRAY, 0,
         [](Handle c, const char* n) { return solClient_container_addByteArray(c, nullptr, 0, n); },
         [](const solClient_field&) {}},
        {"null", SOLCLIENT_NULL, 0,
         [](Handle c, const char* n) { return solClient_container_addNull(c, n); },
         [](const solClient_field&) {}},
    };
    return cases;
}

class ContainerKind : public ::testing::TestWithParam<bool> {};
INSTANTIATE_TEST_SUITE_P(Kinds, ContainerKind, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& kind) {
                             return kind.param ? "Map" : "Stream";
                         });

TEST_P(ContainerKind, EveryFieldTypeRoundTrips) {
    const bool isMap = GetParam();
    Box box(isMap);
    const auto& cases = fieldCases();
    std::vector<std::string> names;
    for (size_t i = 0; i < cases.size(); ++i) names.push_back("f" + std::to_string(i));
    for (size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(cases[i].label);
        // Streams ignore the name, so a null one is fine there.
        ASSERT_EQ(cases[i].add(box.h, isMap ? names[i].c_str() : nullptr), SOLCLIENT_OK)
            << lastError();
    }
    const char* lo = box.mem.data();
    const char* hi = lo + box.used();
    auto reads = readAll(box.h);
    ASSERT_EQ(reads.size(), cases.size());
    for (size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(cases[i].label);
        const solClient_field& f = reads[i].f;
        EXPECT_EQ(f.type, cases[i].type);
        EXPECT_EQ(f.length, cases[i].length);
        cases[i].check(f);
        if (f.type == SOLCLIENT_STRING || (f.type == SOLCLIENT_BYTEARRAY && f.length != 0)) {
            const char* v = reinterpret_cast<const char*>(f.value.bytearray);
            EXPECT_TRUE(v >= lo && v + f.length <= hi)
                << "values are lent from the container memory";
        }
        if (isMap) {
            EXPECT_STREQ(reads[i].name, names[i].c_str());
            EXPECT_TRUE(reads[i].name >= lo && reads[i].name < hi);
        } else {
            EXPECT_EQ(reads[i].name, nullptr);
        }
    }

    // The end persists and leaves the record alone; rewind starts over.
    solClient_field f, before;
    std::memset(&f, 0xAB, sizeof f);
    before = f;
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(solClient_container_getNextField(box.h, &f, sizeof f, nullptr), SOLCLIENT_EOS);
    EXPECT_EQ(std::memcmp(&f, &before, sizeof f), 0);
    ASSERT_EQ(solClient_container_rewind(box.h), SOLCLIENT_OK);
    ASSERT_EQ(solClient_container_getNextField(box.h, &f, sizeof f, nullptr), SOLCLIENT_OK);
    EXPECT_EQ(f.type, cases[0].type);
}

TEST_P(ContainerKind, RefusedAddChangesNothingAndTheNextFittingAddWorks) {
    const bool isMap = GetParam();
    const char* name = isMap ? "" : nullptr;
    // Room for the header, one int64 field and one boolean field, exactly.
    const size_t overhead = isMap ? 1 + 2 + 1 : 1;
    Box box(isMap, 5 + (overhead + 8) + (overhead + 1));
    Box sub(true);
    ASSERT_EQ(solClient_container_addInt64(box.h, 1, name), SOLCLIENT_OK);
    const std::vector<char> snapshot = box.mem;
    const std::vector<std::function<Rc()>> tooBig = {
        [&] { return solClient_container_addInt64(box.h, 2, name); },
        [&] { return solClient_container_addString(box.h, "long enough", name); },
        [&] { return solClient_container_addByteArray(box.h, kBytes, sizeof kBytes, name); },
        [&] { return solClient_container_addContainer(box.h, sub.h, name); },
    };
    for (size_t i = 0; i < tooBig.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(tooBig[i](), SOLCLIENT_FAIL);
        EXPECT_NE(lastError().find("does not fit"), std::string::npos) << lastError();
        EXPECT_EQ(box.mem, snapshot);
    }
    ASSERT_EQ(readAll(box.h).size(), 1u);
    ASSERT_EQ(solClient_container_addBoolean(box.h, 1, name), SOLCLIENT_OK) << lastError();
    EXPECT_EQ(solClient_container_addNull(box.h, name), SOLCLIENT_FAIL) << "the memory is full";
    auto reads = readAll(box.h);
    ASSERT_EQ(reads.size(), 2u);
    EXPECT_EQ(reads[0].f.value.int64, 1);
    EXPECT_EQ(reads[1].f.value.boolean, 1);
}

TEST(Container, NestedViewsAreStableReadOnlyAndOwnedByTheirParent) {
    Box inner(true), stream(false), outer(true, 1 << 16);
    ASSERT_EQ(solClient_container_addString(inner.h, "deep", "k"), SOLCLIENT_OK);
    ASSERT_EQ(solClient_container_addContainer(stream.h, inner.h, nullptr), SOLCLIENT_OK);
    ASSERT_EQ(solClient_container_addInt32(stream.h, 42, nullptr), SOLCLIENT_OK);
    ASSERT_EQ(solClient_container_addContainer(outer.h, stream.h, "s"), SOLCLIENT_OK);
    ASSERT_EQ(solClient_container_addBoolean(outer.h, 1, "after"), SOLCLIENT_OK);
    const int64_t live = solClientTest_liveContainers();

    auto top = readAll(outer.h);
    ASSERT_EQ(top.size(), 2u);
    ASSERT_EQ(top[0].f.type, SOLCLIENT_STREAM);
    EXPECT_STREQ(top[0].name, "s");
    EXPECT_EQ(top[0].f.length, stream.used());
    Handle s = top[0].f.value.stream;
    auto mid = readAll(s);
    ASSERT_EQ(mid.size(), 2u);
    ASSERT_EQ(mid[0].f.type, SOLCLIENT_MAP);
    EXPECT_EQ(mid[0].name, nullptr);
    EXPECT_EQ(mid[1].f.value.int32, 42);
    Handle m = mid[0].f.value.map;
    const char* text = nullptr;
    ASSERT_EQ(solClient_container_getStringPtr(m, &text, "k"), SOLCLIENT_OK);
    EXPECT_STREQ(text, "deep");
    EXPECT_EQ(solClientTest_liveContainers(), live) << "nested views are lent, not counted";

    // Views are read-only and cannot be closed.
    EXPECT_EQ(solClient_container_addInt32(s, 1, nullptr), SOLCLIENT_FAIL);
    Handle copy = m;
    EXPECT_EQ(solClient_container_closeMapStream(&copy), SOLCLIENT_FAIL);
    EXPECT_EQ(copy, m);

    // After later adds to the parent, a new walk of it hands out the same views, rewound.
    solClient_field f;
    EXPECT_EQ(solClient_container_getNextField(s, &f, sizeof f, nullptr), SOLCLIENT_EOS);
    for (int i = 0; i < 100; ++i)
        ASSERT_EQ(solClient_container_addInt64(outer.h, i, "more"), SOLCLIENT_OK);
    auto again = readAll(outer.h);
    ASSERT_EQ(again.size(), 102u);
    EXPECT_EQ(again[0].f.value.stream, s);
    ASSERT_EQ(solClient_container_getNextField(s, &f, sizeof f, nullptr), SOLCLIENT_OK);
    EXPECT_EQ(f.value.map, m);
    ASSERT_EQ(solClient_container_getStringPtr(m, &text, "k"), SOLCLIENT_OK);
    EXPECT_STREQ(text, "deep");

    // A view can be copied into another container like any container.
    Box target(true);
    ASSERT_EQ(solClient_container_addContainer(target.h, s, "copy"), SOLCLIENT_OK);
    EXPECT_EQ(target.bytes().substr(target.used() - stream.used()), stream.bytes());
    EXPECT_EQ(solClient_container_addContainer(target.h, target.h, "self"), SOLCLIENT_FAIL);
}

TEST(Container, DuplicateNamesAllReadBackAndGetStringPtrFindsTheLatestString) {
    Box box(true);
    ASSERT_EQ(solClient_container_addString(box.h, "first", "a"), SOLCLIENT_OK);
    ASSERT_EQ(solClient_container_addInt64(box.h, 7, "a"), SOLCLIENT_OK);
    ASSERT_EQ(solClient_container_addString(box.h, "second", "a"), SOLCLIENT_OK);
    ASSERT_EQ(solClient_container_addInt64(box.h, 8, "a"), SOLCLIENT_OK);
    ASSERT_EQ(solClient_container_addInt64(box.h, 9, "n"), SOLCLIENT_OK);
    ASSERT_EQ(solClient_container_addString(box.h, "x", "ab"), SOLCLIENT_OK);
    auto reads = readAll(box.h);
    ASSERT_EQ(reads.size(), 6u);
    for (size_t i = 0; i < 4; ++i) EXPECT_STREQ(reads[i].name, "a");
    EXPECT_STREQ(reads[2].f.value.string, "second");

    struct Case {
        const char* name;
        Rc rc;
        const char* value;
    };
    const Case cases[] = {{"a", SOLCLIENT_OK, "second"},
                          {"ab", SOLCLIENT_OK, "x"},
                          {"n", SOLCLIENT_NOT_FOUND, nullptr},  // no string of that name
                          {"", SOLCLIENT_NOT_FOUND, nullptr},
                          {"missing", SOLCLIENT_NOT_FOUND, nullptr}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const char* v = "sentinel";
        EXPECT_EQ(solClient_container_getStringPtr(box.h, &v, c.name), c.rc);
        if (c.value != nullptr)
            EXPECT_STREQ(v, c.value);
        else
            EXPECT_EQ(v, nullptr);
    }
}

// --- User properties -----------------------------------------------------------------------------

TEST(UserProperties, OneGrowableMapOwnedByTheMessage) {
    const int64_t live = solClientTest_liveContainers();
    Msg msg;
    Handle map = reinterpret_cast<Handle>(1);
    EXPECT_EQ(solClient_msg_getUserPropertyMap(msg.h, &map), SOLCLIENT_NOT_FOUND);
    EXPECT_EQ(map, nullptr);

    ASSERT_EQ(solClient_msg_createUserPropertyMap(msg.h, &map, 0), SOLCLIENT_OK);
    ASSERT_EQ(solClient_container_addString(map, "v1", "p"), SOLCLIENT_OK);
    const char* early = nullptr;
    ASSERT_EQ(solClient_container_getStringPtr(map, &early, "p"), SOLCLIENT_OK);
    // Far past the size hint: the map grows, and text lent before stays valid.
    const std::string big(5000, 'x');
    for (int i = 0; i < 200; ++i)
        ASSERT_EQ(solClient_container_addString(map, big.c_str(), "big"), SOLCLIENT_OK) << i;
    EXPECT_STREQ(early, "v1");

    Handle again = nullptr, got = nullptr;
    ASSERT_EQ(solClient_msg_createUserPropertyMap(msg.h, &again, 10), SOLCLIENT_OK);
    EXPECT_EQ(again, map);
    ASSERT_EQ(solClient_msg_getUserPropertyMap(msg.h, &got), SOLCLIENT_OK);
    EXPECT_EQ(got, map);
    EXPECT_EQ(readAll(map).size(), 201u);
    const char* v = nullptr;
    EXPECT_EQ(solClient_container_getStringPtr(map, &v, "nope"), SOLCLIENT_NOT_FOUND);

    EXPECT_EQ(solClient_container_closeMapStream(&got), SOLCLIENT_FAIL);
    EXPECT_EQ(got, map);
    EXPECT_EQ(solClientTest_liveContainers(), live) << "the lent map is not counted";
}

// --- Binary attachment ---------------------------------------------------------------------------

TEST(Attachment, RawBytesAreCopiedAndLent) {
    Msg msg;
    void* p = reinterpret_cast<void*>(1);
    uint32_t n = 99;
    EXPECT_EQ(solClient_msg_getBinaryAttachmentPtr(msg.h, &p, &n), SOLCLIENT_NOT_FOUND);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(n, 0u);

    for (const std::string& bytes : {std::string("a\0b\0\0c", 6), std::string()}) {
        SCOPED_TRACE(bytes.size());
        std::string source = bytes;
        ASSERT_EQ(solClient_msg_setBinaryAttachment(msg.h, source.data(),
                                                    static_cast<uint32_t>(source.size())),
                  SOLCLIENT_OK);
        source.assign(source.size(), 'Z');
        ASSERT_EQ(solClient_msg_getBinaryAttachmentPtr(msg.h, &p, &n), SOLCLIENT_OK);
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(std::string(static_cast<const char*>(p), n), bytes);
    }
    ASSERT_EQ(solClient_msg_setBinaryAttachment(msg.h, nullptr, 0), SOLCLIENT_OK);
    EXPECT_EQ(solClient_msg_getBinaryAttachmentPtr(msg.h, &p, &n), SOLCLIENT_OK);
    EXPECT_EQ(n, 0u);
}

TEST(Attachment, ContainerAttachedReadsBackAsAMapThatOutlivesTheMessage) {
    Box sub(false), map(true);
    ASSERT_EQ(solClient_container_addString(sub.h, "in", nullptr), SOLCLIENT_OK);
    ASSERT_EQ(solClient_container_addString(map.h, "v", "s"), SOLCLIENT_OK);
    ASSERT_EQ(solClient_container_addContainer(map.h, sub.h, "sub"), SOLCLIENT_OK);
    ASSERT_EQ(solClient_container_addDouble(map.h, 2.5, "d"), SOLCLIENT_OK);
    const int64_t live = solClientTest_liveContainers();

    auto msg = std::make_unique<Msg>();
    ASSERT_EQ(solClient_msg_setBinaryAttachmentContainer(msg->h, map.h), SOLCLIENT_OK);
    void* p = nullptr;
    uint32_t n = 0;
    ASSERT_EQ(solClient_msg_getBinaryAttachmentPtr(msg->h, &p, &n), SOLCLIENT_OK);
    EXPECT_EQ(std::string(static_cast<const char*>(p), n), map.bytes()) << "the whole encoding";

    Handle view = nullptr, second = nullptr;
    ASSERT_EQ(solClient_msg_getBinaryAttachmentMap(msg->h, &view), SOLCLIENT_OK) << lastError();
    ASSERT_EQ(solClient_msg_getBinaryAttachmentMap(msg->h, &second), SOLCLIENT_OK);
    EXPECT_NE(view, second) << "each call gives a new handle";
    EXPECT_EQ(solClientTest_liveContainers(), live + 2);

    // Replacing the attachment and freeing the message leave the views intact.
    ASSERT_EQ(solClient_msg_setBinaryAttachment(msg->h, "junk", 4), SOLCLIENT_OK);
    msg.reset();
    for (Handle h : {view, second}) {
        auto reads = readAll(h);
        ASSERT_EQ(reads.size(), 3u);
        EXPECT_STREQ(reads[0].name, "s");
        EXPECT_STREQ(reads[0].f.value.string, "v");
        ASSERT_EQ(reads[1].f.type, SOLCLIENT_STREAM);
        auto inner = readAll(reads[1].f.value.stream);
        ASSERT_EQ(inner.size(), 1u);
        EXPECT_STREQ(inner[0].f.value.string, "in");
        EXPECT_EQ(reads[2].f.value.float64, 2.5);
        const char* text = nullptr;
        ASSERT_EQ(solClient_container_getStringPtr(h, &text, "s"), SOLCLIENT_OK);
        EXPECT_EQ(text, reads[0].f.value.string);
        EXPECT_EQ(solClient_container_addInt8(h, 1, "x"), SOLCLIENT_FAIL) << "views are read-only";
    }
    ASSERT_EQ(solClient_container_closeMapStream(&view), SOLCLIENT_OK);
    ASSERT_EQ(solClient_container_closeMapStream(&second), SOLCLIENT_OK);
    EXPECT_EQ(view, nullptr);
    EXPECT_EQ(solClientTest_liveContainers(), live);
}

struct BadAttachment {
    const char* label;
    std::string bytes;
};

TEST(Attachment, BytesThatAreNoValidMapAreRefused) {
    const std::string okField = named(SOLCLIENT_INT8, "a", "\x01");
    const std::vector<BadAttachment> cases = {
        {"raw text", "hello world"},
        {"empty", ""},
        {"a stream", encoded('\xD2', "\x02\x01")},
        {"bad kind byte", encoded('\xD3', "")},
        {"trailing garbage", mapOf(okField) + "x"},
        {"length beyond the bytes", "\xD1" + u32(12) + okField},
        {"length inside the header", "\xD1" + u32(4)},
        {"unknown type code", mapOf(named(17, "a", ""))},
        {"name without NUL", mapOf("\x02" + u16(1) + "ab\x01")},
        {"NUL inside name", mapOf(named(SOLCLIENT_INT8, std::string("a\0b", 3), "\x01"))},
        {"value past the end", mapOf(named(SOLCLIENT_INT64, "a", "1234"))},
        {"string without NUL", mapOf(named(SOLCLIENT_STRING, "a", u32(2) + "xyz"))},
        {"NUL inside string",
         mapOf(named(SOLCLIENT_STRING, "a", u32(3) + std::string("x\0y\0", 4)))},
        {"string length overflowing", mapOf(named(SOLCLIENT_STRING, "a", u32(0xFFFFFFFF) + "x"))},
        {"bytes length overflowing", mapOf(named(SOLCLIENT_BYTEARRAY, "a", u32(0xFFFFFFFE) + "x"))},
        {"nested past the parent", mapOf(named(SOLCLIENT_MAP, "m", "\xD1" + u32(100)))},
        {"nested shorter than a header", mapOf(named(SOLCLIENT_MAP, "m", "\xD1" + u32(3)))},
        {"nested kind not its type", mapOf(named(SOLCLIENT_MAP, "m", encoded('\xD2', "")))},
        {"nested with a bad field", mapOf(named(SOLCLIENT_STREAM, "s", encoded('\xD2', "\x63")))},
    };
    Msg msg;
    const Handle sentinel = reinterpret_cast<Handle>(0x1234);
    Handle map = sentinel;
    EXPECT_EQ(solClient_msg_getBinaryAttachmentMap(msg.h, &map), SOLCLIENT_NOT_FOUND);
    EXPECT_EQ(map, sentinel);
    Box sub(false), full(true);
    const int64_t live = solClientTest_liveContainers();
    auto refused = [&](const std::string& bytes) {
        ASSERT_EQ(solClient_msg_setBinaryAttachment(msg.h, bytes.data(),
                                                    static_cast<uint32_t>(bytes.size())),
                  SOLCLIENT_OK);
        clearLastError();
        EXPECT_EQ(solClient_msg_getBinaryAttachmentMap(msg.h, &map), SOLCLIENT_FAIL);
        EXPECT_EQ(map, sentinel);
        EXPECT_ERROR_NAMES("solClient_msg_getBinaryAttachmentMap");
    };
    for (const BadAttachment& c : cases) {
        SCOPED_TRACE(c.label);
        refused(c.bytes);
    }
    // Every truncation of a valid nested map.
    ASSERT_EQ(solClient_container_addString(sub.h, "text", nullptr), SOLCLIENT_OK);
    ASSERT_EQ(solClient_container_addByteArray(full.h, kBytes, sizeof kBytes, "b"), SOLCLIENT_OK);
    ASSERT_EQ(solClient_container_addContainer(full.h, sub.h, "sub"), SOLCLIENT_OK);
    const std::string good = full.bytes();
    for (size_t n = 0; n < good.size(); ++n) {
        SCOPED_TRACE(n);
        refused(good.substr(0, n));
    }
    EXPECT_EQ(solClientTest_liveContainers(), live);
}

/// depth maps, each the only field (named "a") of the one around it; the innermost holds body.
std::string deepMaps(size_t depth, const std::string& innermostBody) {
    const std::string inner = mapOf(innermostBody);
    std::string out;
    out.reserve(depth * 10 + inner.size());
    for (size_t k = 0; k < depth; ++k)
        out += "\xD1" + u32(static_cast<uint32_t>((depth - k) * 10 + inner.size())) + "\x0E" +
               u16(1) + "a" + '\0';
    return out + inner;
}

TEST(Attachment, DeepNestingValidatesAndReadsWithoutRecursion) {
    constexpr size_t kDepth = 100000;
    Msg msg;
    struct Case {
        const char* label;
        std::string innermost;
        Rc rc;
    };
    const Case cases[] = {{"valid", named(SOLCLIENT_BOOL, "z", "\x01"), SOLCLIENT_OK},
                          {"bad innermost field", "\x63", SOLCLIENT_FAIL}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        const std::string bytes = deepMaps(kDepth, c.innermost);
        ASSERT_EQ(solClient_msg_setBinaryAttachment(msg.h, bytes.data(),
                                                    static_cast<uint32_t>(bytes.size())),
                  SOLCLIENT_OK);
        Handle root = nullptr;
        ASSERT_EQ(solClient_msg_getBinaryAttachmentMap(msg.h, &root), c.rc) << lastError();
        if (c.rc != SOLCLIENT_OK) continue;
        // Walk to the bottom, then close the root, which frees every view under it.
        Handle h = root;
        solClient_field f;
        const char* name = nullptr;
        size_t depth = 0;
        while (solClient_container_getNextField(h, &f, sizeof f, &name) == SOLCLIENT_OK &&
               f.type == SOLCLIENT_MAP) {
            h = f.value.map;
            ++depth;
        }
        EXPECT_EQ(depth, kDepth);
        EXPECT_EQ(f.type, SOLCLIENT_BOOL);
        EXPECT_STREQ(name, "z");
        EXPECT_EQ(solClient_container_closeMapStream(&root), SOLCLIENT_OK);
    }
}

// --- Header fields -------------------------------------------------------------------------------

struct DestinationOps {
    const char* label;
    Rc (*set)(solClient_opaqueMsg_pt, solClient_destination*, size_t);
    Rc (*get)(solClient_opaqueMsg_pt, solClient_destination*, size_t);
};

TEST(Header, DestinationsAreCopiedAndAbsentOnesReadAsNull) {
    const DestinationOps ops[] = {
        {"destination", solClient_msg_setDestination, solClient_msg_getDestination},
        {"reply-to", solClient_msg_setReplyTo, solClient_msg_getReplyTo}};
    for (const DestinationOps& op : ops) {
        SCOPED_TRACE(op.label);
        Msg msg;
        solClient_destination d{SOLCLIENT_QUEUE_DESTINATION, "sentinel"};
        EXPECT_EQ(op.get(msg.h, &d, sizeof d), SOLCLIENT_NOT_FOUND);
        EXPECT_EQ(d.destType, SOLCLIENT_NULL_DESTINATION);
        ASSERT_NE(d.dest, nullptr);
        EXPECT_STREQ(d.dest, "");

        for (int32_t type : {0, 1, 2, 3, -1, 12345}) {
            char name[] = "orders/new";
            solClient_destination in{static_cast<solClient_destinationType>(type), name};
            ASSERT_EQ(op.set(msg.h, &in, sizeof in), SOLCLIENT_OK);
            name[0] = 'X';
            solClient_destination out{};
            ASSERT_EQ(op.get(msg.h, &out, sizeof out), SOLCLIENT_OK);
            EXPECT_EQ(static_cast<int32_t>(out.destType), type);
            EXPECT_STREQ(out.dest, "orders/new");
        }
    }
    // The two are independent: a destination alone gives no reply-to.
    Msg msg;
    solClient_destination d{SOLCLIENT_TOPIC_DESTINATION, "t"};
    ASSERT_EQ(solClient_msg_setDestination(msg.h, &d, sizeof d), SOLCLIENT_OK);
    EXPECT_EQ(solClient_msg_getReplyTo(msg.h, &d, sizeof d), SOLCLIENT_NOT_FOUND);
}

TEST(Header, ScalarsTextsAndFlags) {
    Msg msg;
    uint32_t v = 1;
    ASSERT_EQ(solClient_msg_getDeliveryMode(msg.h, &v), SOLCLIENT_OK);
    EXPECT_EQ(v, SOLCLIENT_DELIVERY_MODE_DIRECT);
    for (uint32_t mode : {0x10u, 0x20u, 0x00u}) {
        ASSERT_EQ(solClient_msg_setDeliveryMode(msg.h, mode), SOLCLIENT_OK);
        ASSERT_EQ(solClient_msg_getDeliveryMode(msg.h, &v), SOLCLIENT_OK);
        EXPECT_EQ(v, mode);
    }
    for (uint32_t bad : {0x01u, 0x30u, 0xFFFFFFFFu}) {
        EXPECT_EQ(solClient_msg_setDeliveryMode(msg.h, bad), SOLCLIENT_FAIL);
        EXPECT_ERROR_NAMES("solClient_msg_setDeliveryMode");
    }
    ASSERT_EQ(solClient_msg_getClassOfService(msg.h, &v), SOLCLIENT_OK);
    EXPECT_EQ(v, 0u);
    ASSERT_EQ(solClient_msg_setClassOfService(msg.h, 0xFFFFFFFFu), SOLCLIENT_OK);
    ASSERT_EQ(solClient_msg_getClassOfService(msg.h, &v), SOLCLIENT_OK);
    EXPECT_EQ(v, 0xFFFFFFFFu);

    struct Text {
        const char* label;
        Rc (*set)(solClient_opaqueMsg_pt, const char*);
        Rc (*get)(solClient_opaqueMsg_pt, const char**);
    };
    for (const Text& t :
         {Text{"correlation id", solClient_msg_setCorrelationId, solClient_msg_getCorrelationId},
          Text{"content type", solClient_msg_setHttpContentType,
               solClient_msg_getHttpContentType}}) {
        SCOPED_TRACE(t.label);
        const char* got = "sentinel";
        EXPECT_EQ(t.get(msg.h, &got), SOLCLIENT_NOT_FOUND);
        EXPECT_EQ(got, nullptr);
        std::string value = "abc-123";
        ASSERT_EQ(t.set(msg.h, value.c_str()), SOLCLIENT_OK);
        value[0] = 'X';
        ASSERT_EQ(t.get(msg.h, &got), SOLCLIENT_OK);
        EXPECT_STREQ(got, "abc-123");
        ASSERT_EQ(t.set(msg.h, ""), SOLCLIENT_OK);
        ASSERT_EQ(t.get(msg.h, &got), SOLCLIENT_OK);
        EXPECT_STREQ(got, "");
    }

    struct Flag {
        const char* label;
        Rc (*set)(solClient_opaqueMsg_pt, solClient_bool_t);
        solClient_bool_t (*is)(solClient_opaqueMsg_pt);
    };
    for (const Flag& f :
         {Flag{"eliding", solClient_msg_setElidingEligible, solClient_msg_isElidingEligible},
          Flag{"deliver to one", solClient_msg_setDeliverToOne, solClient_msg_isDeliverToOne},
          Flag{"reply", solClient_msg_setAsReplyMsg, solClient_msg_isReplyMsg}}) {
        SCOPED_TRACE(f.label);
        EXPECT_EQ(f.is(msg.h), 0);
        for (auto [in, out] : {std::pair{1, 1}, {0, 0}, {7, 1}}) {
            ASSERT_EQ(f.set(msg.h, static_cast<solClient_bool_t>(in)), SOLCLIENT_OK);
            EXPECT_EQ(f.is(msg.h), out);
        }
    }
}

// --- Dump ----------------------------------------------------------------------------------------

TEST(Dump, ShowsWhatIsSet) {
    Msg bare;
    const std::string minimal = bare.dump();
    EXPECT_NE(minimal.find("Delivery Mode:"), std::string::npos) << minimal;
    EXPECT_NE(minimal.find("DIRECT"), std::string::npos);
    EXPECT_NE(minimal.find("Class Of Service:"), std::string::npos);
    for (const char* absent : {"Destination", "ReplyTo", "Correlation", "Reply Message", "Eliding",
                               "Deliver To One", "HTTP", "User Property", "Binary Attachment"})
        EXPECT_EQ(minimal.find(absent), std::string::npos) << absent;

    Msg msg;
    solClient_destination d{SOLCLIENT_TOPIC_DESTINATION, "a/b"};
    solClient_destination r{SOLCLIENT_QUEUE_DESTINATION, "replies"};
    ASSERT_EQ(solClient_msg_setDestination(msg.h, &d, sizeof d), SOLCLIENT_OK);
    ASSERT_EQ(solClient_msg_setReplyTo(msg.h, &r, sizeof r), SOLCLIENT_OK);
    ASSERT_EQ(solClient_msg_setCorrelationId(msg.h, "corr-1"), SOLCLIENT_OK);
    ASSERT_EQ(solClient_msg_setDeliveryMode(msg.h, SOLCLIENT_DELIVERY_MODE_NONPERSISTENT),
              SOLCLIENT_OK);
    ASSERT_EQ(solClient_msg_setClassOfService(msg.h, 2), SOLCLIENT_OK);
    ASSERT_EQ(solClient_msg_setAsReplyMsg(msg.h, 1), SOLCLIENT_OK);
    ASSERT_EQ(solClient_msg_setElidingEligible(msg.h, 1), SOLCLIENT_OK);
    ASSERT_EQ(solClient_msg_setDeliverToOne(msg.h, 1), SOLCLIENT_OK);
    ASSERT_EQ(solClient_msg_setHttpContentType(msg.h, "text/plain"), SOLCLIENT_OK);
    Handle props = nullptr;
    ASSERT_EQ(solClient_msg_createUserPropertyMap(msg.h, &props, 0), SOLCLIENT_OK);
    ASSERT_EQ(solClient_container_addString(props, "v", "p"), SOLCLIENT_OK);
    ASSERT_EQ(solClient_container_addInt64(props, -3, "n"), SOLCLIENT_OK);
    const std::string body =
        "Hello\x01\xff world, this attachment is longer than sixty-four bytes in all!";
    ASSERT_EQ(
        solClient_msg_setBinaryAttachment(msg.h, body.data(), static_cast<uint32_t>(body.size())),
        SOLCLIENT_OK);
    const std::string text = msg.dump();
    const std::string length = "len=" + std::to_string(body.size());
    for (const char* expected : {"Destination:",
                                 "Topic 'a/b'",
                                 "ReplyTo:",
                                 "Queue 'replies'",
                                 "Correlation Id:",
                                 "corr-1",
                                 "NONPERSISTENT",
                                 "Class Of Service:       2",
                                 "Reply Message:",
                                 "Eliding Eligible:",
                                 "Deliver To One:",
                                 "HTTP Content Type:      'text/plain'",
                                 "User Property Map:      2 fields",
                                 "Key 'p' (STRING): 'v'",
                                 "Key 'n' (INT64): -3",
                                 "Binary Attachment:",
                                 length.c_str(),
                                 "0000: 48 65 6c 6c 6f 01 ff 20",
                                 "Hello.. world, t",
                                 "0030:",
                                 "more bytes"})
        EXPECT_NE(text.find(expected), std::string::npos) << "missing '" << expected << "' in\n"
                                                          << text;
    EXPECT_EQ(text.find("0040:"), std::string::npos) << "only the first 64 bytes are shown";
}

TEST(Dump, TruncatesWithinTheBufferAtEverySize) {
    Msg msg;
    solClient_destination d{SOLCLIENT_TOPIC_DESTINATION, "a/b"};
    ASSERT_EQ(solClient_msg_setDestination(msg.h, &d, sizeof d), SOLCLIENT_OK);
    ASSERT_EQ(solClient_msg_setBinaryAttachment(msg.h, "0123456789abcdefXYZ", 19), SOLCLIENT_OK);
    const std::string full = msg.dump();
    constexpr char kGuard = '\x5A';
    for (size_t size = 0; size <= full.size() + 1; ++size) {
        SCOPED_TRACE(size);
        std::vector<char> buf(size + 1, kGuard);
        const Rc rc = solClient_msg_dump(msg.h, buf.data(), size);
        EXPECT_EQ(buf[size], kGuard) << "wrote past the size";
        if (size == 0) continue;
        const size_t len = strnlen(buf.data(), size);
        ASSERT_LT(len, size) << "not NUL-terminated";
        EXPECT_EQ(std::string(buf.data(), len), full.substr(0, len));
        EXPECT_EQ(len, std::min(size - 1, full.size()));
        EXPECT_EQ(rc, size > full.size() ? SOLCLIENT_OK : SOLCLIENT_FAIL);
    }
}

// --- Refusals ------------------------------------------------------------------------------------

const char kSentinelText[] = "sentinel";
void* const kSentinelHandle = reinterpret_cast<void*>(0x5E5E);

/// Out-arguments given to refused calls; a refused call leaves them as they were.
struct Probe {
    void* handle = kSentinelHandle;
    const char* text = kSentinelText;
    uint32_t number = 0xDEADBEEF;
    solClient_destination dest{static_cast<solClient_destinationType>(77), kSentinelText};
    solClient_field field;
    char buf[16];
    Probe() {
        std::memset(&field, 0xAB, sizeof field);
        std::memset(buf, 'G', sizeof buf);
    }
    bool operator==(const Probe& o) const {
        return handle == o.handle && text == o.text && number == o.number &&
               dest.destType == o.dest.destType && dest.dest == o.dest.dest &&
               std::memcmp(&field, &o.field, sizeof field) == 0 &&
               std::memcmp(buf, o.buf, sizeof buf) == 0;
    }
};

struct NullCase {
    const char* op;
    std::function<Rc(Probe&)> call;
};

/// Turns a boolean getter's answer into a code: it must answer false for a null handle.
Rc falseIsFail(solClient_bool_t b) { return b == 0 ? SOLCLIENT_FAIL : SOLCLIENT_OK; }

TEST(Refusals, EveryOperationRefusesANullHandle) {
    using P = Probe;
    Box sub(true);
    const NullCase cases[] = {
        {"solClient_msg_alloc", [](P&) { return solClient_msg_alloc(nullptr); }},
        {"solClient_msg_free", [](P&) { return solClient_msg_free(nullptr); }},
        {"solClient_msg_free",
         [](P&) {
             solClient_opaqueMsg_pt m = nullptr;
             return solClient_msg_free(&m);
         }},
        {"solClient_msg_dump",
         [](P& p) { return solClient_msg_dump(nullptr, p.buf, sizeof p.buf); }},
        {"solClient_msg_setDestination",
         [](P& p) { return solClient_msg_setDestination(nullptr, &p.dest, sizeof p.dest); }},
        {"solClient_msg_getDestination",
         [](P& p) { return solClient_msg_getDestination(nullptr, &p.dest, sizeof p.dest); }},
        {"solClient_msg_setReplyTo",
         [](P& p) { return solClient_msg_setReplyTo(nullptr, &p.dest, sizeof p.dest); }},
        {"solClient_msg_getReplyTo",
         [](P& p) { return solClient_msg_getReplyTo(nullptr, &p.dest, sizeof p.dest); }},
        {"solClient_msg_setDeliveryMode",
         [](P&) { return solClient_msg_setDeliveryMode(nullptr, 0); }},
        {"solClient_msg_getDeliveryMode",
         [](P& p) { return solClient_msg_getDeliveryMode(nullptr, &p.number); }},
        {"solClient_msg_setCorrelationId",
         [](P&) { return solClient_msg_setCorrelationId(nullptr, "c"); }},
        {"solClient_msg_getCorrelationId",
         [](P& p) { return solClient_msg_getCorrelationId(nullptr, &p.text); }},
        {"solClient_msg_setClassOfService",
         [](P&) { return solClient_msg_setClassOfService(nullptr, 1); }},
        {"solClient_msg_getClassOfService",
         [](P& p) { return solClient_msg_getClassOfService(nullptr, &p.number); }},
        {"solClient_msg_setElidingEligible",
         [](P&) { return solClient_msg_setElidingEligible(nullptr, 1); }},
        {"solClient_msg_isElidingEligible",
         [](P&) { return falseIsFail(solClient_msg_isElidingEligible(nullptr)); }},
        {"solClient_msg_setDeliverToOne",
         [](P&) { return solClient_msg_setDeliverToOne(nullptr, 1); }},
        {"solClient_msg_isDeliverToOne",
         [](P&) { return falseIsFail(solClient_msg_isDeliverToOne(nullptr)); }},
        {"solClient_msg_setAsReplyMsg", [](P&) { return solClient_msg_setAsReplyMsg(nullptr, 1); }},
        {"solClient_msg_isReplyMsg",
         [](P&) { return falseIsFail(solClient_msg_isReplyMsg(nullptr)); }},
        {"solClient_msg_setHttpContentType",
         [](P&) { return solClient_msg_setHttpContentType(nullptr, "t"); }},
        {"solClient_msg_getHttpContentType",
         [](P& p) { return solClient_msg_getHttpContentType(nullptr, &p.text); }},
        {"solClient_msg_createUserPropertyMap",
         [](P& p) { return solClient_msg_createUserPropertyMap(nullptr, &p.handle, 0); }},
        {"solClient_msg_getUserPropertyMap",
         [](P& p) { return solClient_msg_getUserPropertyMap(nullptr, &p.handle); }},
        {"solClient_msg_setBinaryAttachment",
         [](P&) { return solClient_msg_setBinaryAttachment(nullptr, "x", 1); }},
        {"solClient_msg_getBinaryAttachmentPtr",
         [](P& p) { return solClient_msg_getBinaryAttachmentPtr(nullptr, &p.handle, &p.number); }},
        {"solClient_msg_setBinaryAttachmentContainer",
         [&](P&) { return solClient_msg_setBinaryAttachmentContainer(nullptr, sub.h); }},
        {"solClient_msg_getBinaryAttachmentMap",
         [](P& p) { return solClient_msg_getBinaryAttachmentMap(nullptr, &p.handle); }},
        {"solClient_container_createMap",
         [](P& p) { return solClient_container_createMap(nullptr, p.buf, sizeof p.buf); }},
        {"solClient_container_createStream",
         [](P& p) { return solClient_container_createStream(nullptr, p.buf, sizeof p.buf); }},
        {"solClient_container_closeMapStream",
         [](P&) { return solClient_container_closeMapStream(nullptr); }},
        {"solClient_container_closeMapStream",
         [](P&) {
             Handle h = nullptr;
             return solClient_container_closeMapStream(&h);
         }},
        {"solClient_container_rewind", [](P&) { return solClient_container_rewind(nullptr); }},
        {"solClient_container_getNextField",
         [](P& p) {
             return solClient_container_getNextField(nullptr, &p.field, sizeof p.field, &p.text);
         }},
        {"solClient_container_getStringPtr",
         [](P& p) { return solClient_container_getStringPtr(nullptr, &p.text, "n"); }},
        {"solClient_container_addString",
         [](P&) { return solClient_container_addString(nullptr, "v", "n"); }},
        {"solClient_container_addBoolean",
         [](P&) { return solClient_container_addBoolean(nullptr, 1, "n"); }},
        {"solClient_container_addInt64",
         [](P&) { return solClient_container_addInt64(nullptr, 1, "n"); }},
        {"solClient_container_addDouble",
         [](P&) { return solClient_container_addDouble(nullptr, 1, "n"); }},
        {"solClient_container_addContainer",
         [&](P&) { return solClient_container_addContainer(nullptr, sub.h, "n"); }},
        {"solClient_container_addUint8",
         [](P&) { return solClient_container_addUint8(nullptr, 1, "n"); }},
        {"solClient_container_addInt8",
         [](P&) { return solClient_container_addInt8(nullptr, 1, "n"); }},
        {"solClient_container_addUint16",
         [](P&) { return solClient_container_addUint16(nullptr, 1, "n"); }},
        {"solClient_container_addInt16",
         [](P&) { return solClient_container_addInt16(nullptr, 1, "n"); }},
        {"solClient_container_addUint32",
         [](P&) { return solClient_container_addUint32(nullptr, 1, "n"); }},
        {"solClient_container_addInt32",
         [](P&) { return solClient_container_addInt32(nullptr, 1, "n"); }},
        {"solClient_container_addUint64",
         [](P&) { return solClient_container_addUint64(nullptr, 1, "n"); }},
        {"solClient_container_addWchar",
         [](P&) { return solClient_container_addWchar(nullptr, 1, "n"); }},
        {"solClient_container_addFloat",
         [](P&) { return solClient_container_addFloat(nullptr, 1, "n"); }},
        {"solClient_container_addByteArray",
         [](P&) { return solClient_container_addByteArray(nullptr, kBytes, 1, "n"); }},
        {"solClient_container_addNull",
         [](P&) { return solClient_container_addNull(nullptr, "n"); }},
    };
    const int64_t messages = solClientTest_liveMessages(),
                  containers = solClientTest_liveContainers();
    const std::string subBytes = sub.bytes();
    for (const NullCase& c : cases) {
        SCOPED_TRACE(c.op);
        Probe p;
        clearLastError();
        EXPECT_EQ(c.call(p), SOLCLIENT_FAIL);
        EXPECT_TRUE(p == Probe()) << "a refused call changed an out-argument";
        EXPECT_ERROR_NAMES(c.op);
        EXPECT_NE(lastError().find("null"), std::string::npos) << lastError();
    }
    EXPECT_EQ(solClientTest_liveMessages(), messages);
    EXPECT_EQ(solClientTest_liveContainers(), containers);
    EXPECT_EQ(sub.bytes(), subBytes);
}

/// A message with some state and every kind of container handle, for argument refusals.
struct World {
    Msg msg;
    Box map{true}, stream{false};
    Handle props = nullptr, nested = nullptr, view = nullptr;
    World() {
        EXPECT_EQ(solClient_msg_createUserPropertyMap(msg.h, &props, 0), SOLCLIENT_OK);
        EXPECT_EQ(solClient_container_addString(props, "v", "p"), SOLCLIENT_OK);
        EXPECT_EQ(solClient_container_addInt8(stream.h, 1, nullptr), SOLCLIENT_OK);
        EXPECT_EQ(solClient_container_addContainer(map.h, stream.h, "s"), SOLCLIENT_OK);
        nested = readAll(map.h).at(0).f.value.stream;
        EXPECT_EQ(solClient_msg_setBinaryAttachmentContainer(msg.h, map.h), SOLCLIENT_OK);
        EXPECT_EQ(solClient_msg_getBinaryAttachmentMap(msg.h, &view), SOLCLIENT_OK);
    }
    ~World() { solClient_container_closeMapStream(&view); }
};

TEST(Refusals, BadArgumentsAreRefusedAndChangeNothing) {
    World w;
    using P = Probe;
    const std::string longName(65536, 'n');
    const NullCase cases[] = {
        {"solClient_msg_setDestination",
         [&](P&) {
             return solClient_msg_setDestination(w.msg.h, nullptr, sizeof(solClient_destination));
         }},
        {"solClient_msg_setDestination",
         [&](P& p) { return solClient_msg_setDestination(w.msg.h, &p.dest, sizeof p.dest - 1); }},
        {"solClient_msg_setReplyTo",
         [&](P&) {
             solClient_destination d{SOLCLIENT_TOPIC_DESTINATION, nullptr};
             return solClient_msg_setReplyTo(w.msg.h, &d, sizeof d);
         }},
        {"solClient_msg_getDestination",
         [&](P& p) { return solClient_msg_getDestination(w.msg.h, &p.dest, 4); }},
        {"solClient_msg_getReplyTo",
         [&](P&) {
             return solClient_msg_getReplyTo(w.msg.h, nullptr, sizeof(solClient_destination));
         }},
        {"solClient_msg_getDeliveryMode",
         [&](P&) { return solClient_msg_getDeliveryMode(w.msg.h, nullptr); }},
        {"solClient_msg_getClassOfService",
         [&](P&) { return solClient_msg_getClassOfService(w.msg.h, nullptr); }},
        {"solClient_msg_setCorrelationId",
         [&](P&) { return solClient_msg_setCorrelationId(w.msg.h, nullptr); }},
        {"solClient_msg_getCorrelationId",
         [&](P&) { return solClient_msg_getCorrelationId(w.msg.h, nullptr); }},
        {"solClient_msg_setHttpContentType",
         [&](P&) { return solClient_msg_setHttpContentType(w.msg.h, nullptr); }},
        {"solClient_msg_createUserPropertyMap",
         [&](P&) { return solClient_msg_createUserPropertyMap(w.msg.h, nullptr, 0); }},
        {"solClient_msg_setBinaryAttachment",
         [&](P&) { return solClient_msg_setBinaryAttachment(w.msg.h, nullptr, 3); }},
        {"solClient_msg_getBinaryAttachmentPtr",
         [&](P& p) { return solClient_msg_getBinaryAttachmentPtr(w.msg.h, nullptr, &p.number); }},
        {"solClient_msg_setBinaryAttachmentContainer",
         [&](P&) { return solClient_msg_setBinaryAttachmentContainer(w.msg.h, nullptr); }},
        {"solClient_msg_getBinaryAttachmentMap",
         [&](P&) { return solClient_msg_getBinaryAttachmentMap(w.msg.h, nullptr); }},
        {"solClient_msg_dump", [&](P&) { return solClient_msg_dump(w.msg.h, nullptr, 100); }},
        {"solClient_msg_setDeliveryMode",
         [&](P&) { return solClient_msg_setDeliveryMode(w.map.h, 0x10); }},  // not a message
        {"solClient_container_addInt64",
         [&](P&) { return solClient_container_addInt64(w.msg.h, 1, "n"); }},  // not a container
        {"solClient_container_createMap",
         [&](P& p) { return solClient_container_createMap(&p.handle, nullptr, 100); }},
        {"solClient_container_createMap",
         [&](P& p) { return solClient_container_createMap(&p.handle, p.buf, 4); }},
        {"solClient_container_createStream",
         [&](P& p) { return solClient_container_createStream(&p.handle, p.buf, 0); }},
        {"solClient_container_getNextField",
         [&](P& p) {
             return solClient_container_getNextField(w.map.h, &p.field, sizeof p.field - 1,
                                                     &p.text);
         }},
        {"solClient_container_getNextField",
         [&](P& p) {
             return solClient_container_getNextField(w.map.h, nullptr, sizeof p.field, &p.text);
         }},
        {"solClient_container_getStringPtr",
         [&](P& p) { return solClient_container_getStringPtr(w.props, &p.text, nullptr); }},
        {"solClient_container_getStringPtr",
         [&](P&) { return solClient_container_getStringPtr(w.props, nullptr, "p"); }},
        {"solClient_container_getStringPtr",
         [&](P& p) { return solClient_container_getStringPtr(w.stream.h, &p.text, "p"); }},
        {"solClient_container_addInt64",
         [&](P&) { return solClient_container_addInt64(w.map.h, 1, nullptr); }},
        {"solClient_container_addInt64",
         [&](P&) { return solClient_container_addInt64(w.props, 1, nullptr); }},
        {"solClient_container_addString",
         [&](P&) { return solClient_container_addString(w.map.h, "v", longName.c_str()); }},
        {"solClient_container_addString",
         [&](P&) { return solClient_container_addString(w.map.h, nullptr, "n"); }},
        {"solClient_container_addByteArray",
         [&](P&) { return solClient_container_addByteArray(w.stream.h, nullptr, 2, nullptr); }},
        {"solClient_container_addUint8",
         [&](P&) { return solClient_container_addUint8(w.nested, 1, nullptr); }},
        {"solClient_container_addUint8",
         [&](P&) { return solClient_container_addUint8(w.view, 1, "n"); }},
        {"solClient_container_addContainer",
         [&](P&) { return solClient_container_addContainer(w.map.h, w.map.h, "n"); }},
        {"solClient_container_addContainer",
         [&](P&) { return solClient_container_addContainer(w.map.h, nullptr, "n"); }},
        {"solClient_container_closeMapStream",
         [&](P&) {
             Handle h = w.nested;
             Rc rc = solClient_container_closeMapStream(&h);
             EXPECT_EQ(h, w.nested);
             return rc;
         }},
        {"solClient_container_closeMapStream",
         [&](P&) {
             Handle h = w.props;
             Rc rc = solClient_container_closeMapStream(&h);
             EXPECT_EQ(h, w.props);
             return rc;
         }},
    };
    for (const NullCase& c : cases) {
        SCOPED_TRACE(c.op);
        const std::string dump = w.msg.dump(), map = w.map.bytes(), stream = w.stream.bytes();
        const int64_t containers = solClientTest_liveContainers();
        Probe p;
        clearLastError();
        const Rc rc = c.call(p);
        EXPECT_EQ(rc, SOLCLIENT_FAIL);
        EXPECT_TRUE(p == Probe()) << "a refused call changed an out-argument";
        EXPECT_ERROR_NAMES(c.op);
        EXPECT_EQ(w.msg.dump(), dump);
        EXPECT_EQ(w.map.bytes(), map);
        EXPECT_EQ(w.stream.bytes(), stream);
        EXPECT_EQ(solClientTest_liveContainers(), containers);
    }
}

// --- Allocation and counters ---------------------------------------------------------------------

TEST(Alloc, FailNextAllocFailsExactlyOnceOnAnyThread) {
    const int64_t live = solClientTest_liveMessages();
    const std::string longText(300, 'e');
    struct Case {
        std::string text, expected;
        bool otherThread;
    };
    const Case cases[] = {{"disk on fire", "disk on fire", false},
                          {longText, longText.substr(0, 255), false},
                          {"from afar", "from afar", true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.expected);
        solClientTest_failNextAlloc(c.text.c_str());
        const solClient_opaqueMsg_pt sentinel = kSentinelHandle;
        solClient_opaqueMsg_pt m = sentinel;
        Rc rc = SOLCLIENT_OK;
        std::string error;
        auto attempt = [&] {
            rc = solClient_msg_alloc(&m);
            error = lastError();
        };
        if (c.otherThread)
            std::thread(attempt).join();
        else
            attempt();
        EXPECT_EQ(rc, SOLCLIENT_FAIL);
        EXPECT_EQ(m, sentinel);
        EXPECT_EQ(error, c.expected);
        EXPECT_EQ(solClientTest_liveMessages(), live);
        Msg next;
        EXPECT_NE(next.h, nullptr);
    }
}

TEST(Counters, CountWhatCallersMustReleaseOnly) {
    const int64_t messages = solClientTest_liveMessages(),
                  containers = solClientTest_liveContainers();
    {
        Msg a, b;
        EXPECT_EQ(solClientTest_liveMessages(), messages + 2);
        Box map(true), stream(false);
        EXPECT_EQ(solClientTest_liveContainers(), containers + 2);
        Handle props = nullptr, view = nullptr;
        ASSERT_EQ(solClient_msg_createUserPropertyMap(a.h, &props, 0), SOLCLIENT_OK);
        ASSERT_EQ(solClient_container_addContainer(map.h, stream.h, "s"), SOLCLIENT_OK);
        ASSERT_EQ(readAll(map.h).size(), 1u);
        EXPECT_EQ(solClientTest_liveContainers(), containers + 2);
        ASSERT_EQ(solClient_msg_setBinaryAttachmentContainer(b.h, map.h), SOLCLIENT_OK);
        ASSERT_EQ(solClient_msg_getBinaryAttachmentMap(b.h, &view), SOLCLIENT_OK);
        EXPECT_EQ(solClientTest_liveContainers(), containers + 3);
        ASSERT_EQ(solClient_container_closeMapStream(&view), SOLCLIENT_OK);
        EXPECT_EQ(solClient_container_closeMapStream(&view), SOLCLIENT_FAIL) << "already closed";
        solClient_opaqueMsg_pt h = a.h;
        ASSERT_EQ(solClient_msg_free(&a.h), SOLCLIENT_OK);
        EXPECT_EQ(a.h, nullptr);
        EXPECT_NE(h, nullptr);
        EXPECT_EQ(solClientTest_liveMessages(), messages + 1);
    }
    EXPECT_EQ(solClientTest_liveMessages(), messages);
    EXPECT_EQ(solClientTest_liveContainers(), containers);
}

}  // namespace
