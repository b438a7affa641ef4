// The native message: lifecycle and ownership, header, content type, user properties, bodies and
// the allocation-failure log line.
#include <gtest/gtest.h>

#include <cstdio>
#include <regex>
#include <string>

#if defined(__unix__) || defined(__APPLE__)
#include <sys/wait.h>
#include <unistd.h>
#define TOLVEX_HAS_FORK 1
#endif

#include "core/tolvex.h"
#include "solclient/testing.h"

using nlohmann::json;

namespace {

// A message whose allocation failed: every operation meets a null handle.
Tolvex emptyMessage() {
    solClientTest_failNextAlloc("no memory for messages");
    return Tolvex();
}

}  // namespace

// --- Lifecycle and ownership ---------------------------------------------------------------------

TEST(TolvexLifecycle, AllocatesAndFreesOnce) {
    const int64_t before = solClientTest_liveMessages();
    {
        Tolvex m;
        EXPECT_NE(m.ptr(), nullptr);
        EXPECT_EQ(solClientTest_liveMessages(), before + 1);
    }
    EXPECT_EQ(solClientTest_liveMessages(), before);
}

TEST(TolvexLifecycle, AdoptedHandleIsFreedByItsOwner) {
    const int64_t before = solClientTest_liveMessages();
    solClient_opaqueMsg_pt handle = nullptr;
    ASSERT_EQ(solClient_msg_alloc(&handle), SOLCLIENT_OK);
    {
        Tolvex adopted(handle);
        EXPECT_EQ(adopted.ptr(), handle);
    }
    EXPECT_EQ(solClientTest_liveMessages(), before);
}

TEST(TolvexLifecycle, MoveLeavesTheSourceEmpty) {
    const int64_t before = solClientTest_liveMessages();
    {
        Tolvex source;
        char area[256] = {};
        source.createContainerMap(area, sizeof area);
        const int64_t containers = solClientTest_liveContainers();
        void* handle = source.ptr();
        {
            Tolvex target(std::move(source));
            EXPECT_EQ(target.ptr(), handle);
            EXPECT_EQ(source.ptr(), nullptr);
            EXPECT_EQ(solClientTest_liveMessages(), before + 1);
        }
        EXPECT_EQ(solClientTest_liveMessages(), before);
        EXPECT_EQ(solClientTest_liveContainers(), containers - 1);
    }
    EXPECT_EQ(solClientTest_liveMessages(), before);
}

TEST(TolvexLifecycle, FailedAllocationLeavesAnEmptyObject) {
    const Tolvex m = emptyMessage();
    EXPECT_EQ(m.ptr(), nullptr);
    EXPECT_EQ(m.dump(), "");
}

TEST(TolvexLifecycle, DumpShowsTheMessage) {
    Tolvex m;
    m.setDestination(Destination("orders/new", SOLCLIENT_TOPIC_DESTINATION));
    const std::string text = m.dump();
    EXPECT_NE(text.find("orders/new"), std::string::npos) << text;
    EXPECT_LT(text.size(), 4096u);
}

#ifdef TOLVEX_HAS_FORK
// Runs fn in a child process and returns what it wrote to standard output.
template <typename Fn>
std::string childStdout(Fn fn) {
    int fds[2];
    if (pipe(fds) != 0) return "pipe failed";
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(fds[1], STDOUT_FILENO);
        close(fds[0]);
        fn();
        std::fflush(stdout);
        _exit(0);
    }
    close(fds[1]);
    std::string out;
    char chunk[512];
    ssize_t n;
    while ((n = read(fds[0], chunk, sizeof chunk)) > 0) out.append(chunk, static_cast<size_t>(n));
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    return out;
}

struct LogCase {
    const char* name;
    void (*construct)();
    int line;
};

void PrintTo(const LogCase& c, std::ostream* os) { *os << c.name; }

class AllocFailureLog : public ::testing::TestWithParam<LogCase> {};

TEST_P(AllocFailureLog, OneErrorLineWithTheLibraryText) {
    const std::string out = childStdout([] {
        solClientTest_failNextAlloc("out of message memory");
        GetParam().construct();
    });
    const std::regex line(R"(\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}\] \[error\] \[tolvex\.cpp:)" +
                          std::to_string(GetParam().line) +
                          R"(\] Tolvex alloc failed, error: out of message memory\n)");
    EXPECT_TRUE(std::regex_match(out, line)) << out;
}

INSTANTIATE_TEST_SUITE_P(
    Constructors, AllocFailureLog,
    ::testing::Values(LogCase{"Default", [] { Tolvex m; }, 51},
                      LogCase{"WithBody",
                              [] { Tolvex m("t", json{{"a", 1}}, "json", false, Direct); }, 71}),
    [](const auto& param_info) { return std::string(param_info.param.name); });
#endif

// --- Header --------------------------------------------------------------------------------------

TEST(TolvexHeader, RoundTrips) {
    Tolvex m;
    m.setDestination(Destination("a/b", SOLCLIENT_QUEUE_DESTINATION));
    m.setReplyToDestination(Destination("reply/here", SOLCLIENT_TOPIC_TEMP_DESTINATION));
    m.setAsReply(true);
    m.setDeliveryMode(NonPersistent);
    m.setCorrlationId("corr-7");
    m.setCOS(3);
    m.setElidingEligible(true);
    m.setDeliveryToOne(true);

    EXPECT_EQ(m.getDestination().dest, "a/b");
    EXPECT_EQ(m.getDestination().dest_type, SOLCLIENT_QUEUE_DESTINATION);
    EXPECT_EQ(m.getReplyToDestination().dest, "reply/here");
    EXPECT_EQ(m.getReplyToDestination().dest_type, SOLCLIENT_TOPIC_TEMP_DESTINATION);
    EXPECT_TRUE(m.isReply());
    EXPECT_EQ(m.getDeliveryMode(), NonPersistent);
    EXPECT_EQ(m.getCorrlationId(), "corr-7");
    EXPECT_EQ(m.getCOS(), 3u);
    EXPECT_TRUE(m.isElidingEligible());
    EXPECT_TRUE(solClient_msg_isDeliverToOne(m.ptr()));
}

TEST(TolvexHeader, SetDestinationFromARecordPassesItOn) {
    Tolvex m;
    m.setDestination(solClient_destination{static_cast<solClient_destinationType>(42), "q"});
    EXPECT_EQ(m.getDestination().dest, "q");
    EXPECT_EQ(m.getDestination().dest_type, 42);
}

// The same defaults whether the message is new or the handle is null.
TEST(TolvexHeader, Defaults) {
    Tolvex fresh;
    const Tolvex empty = emptyMessage();
    for (const Tolvex* m : {static_cast<const Tolvex*>(&fresh), &empty}) {
        EXPECT_EQ(m->getDestination().dest, "");
        EXPECT_EQ(m->getDestination().dest_type, SOLCLIENT_NULL_DESTINATION);
        EXPECT_EQ(m->getReplyToDestination().dest, "");
        EXPECT_FALSE(m->isReply());
        EXPECT_FALSE(m->isRequest());
        EXPECT_FALSE(m->isP2P());
        EXPECT_EQ(m->getDeliveryMode(), Direct);
        EXPECT_EQ(m->getCorrlationId(), "");
        EXPECT_EQ(m->getCOS(), 1u);
        EXPECT_FALSE(m->isElidingEligible());
        EXPECT_EQ(m->getContentType(), "");
        EXPECT_EQ(m->getMetaData("k"), "");
        EXPECT_EQ(m->getBinaryAttachment().data, nullptr);
        EXPECT_EQ(m->getBinaryAttachment().length, 0u);
        EXPECT_TRUE(m->getBinaryAttachmentVector().empty());
        EXPECT_TRUE(m->getJsonBody().is_null());
    }
}

TEST(TolvexHeader, EmptyObjectSettersFail) {
    Tolvex empty = emptyMessage();
    EXPECT_NE(empty.setDestination(Destination("x", SOLCLIENT_TOPIC_DESTINATION)), SOLCLIENT_OK);
    EXPECT_NE(empty.setCOS(2), SOLCLIENT_OK);
    EXPECT_NE(empty.setContentType("json"), SOLCLIENT_OK);
    EXPECT_NE(empty.setBinaryAttachment(std::string("x")), SOLCLIENT_OK);
}

struct P2PCase {
    const char* name;
    bool p2p;
};

void PrintTo(const P2PCase& c, std::ostream* os) { *os << '"' << c.name << '"'; }

class TolvexP2P : public ::testing::TestWithParam<P2PCase> {};

TEST_P(TolvexP2P, PrefixAtTheStartOnly) {
    Tolvex m;
    m.setDestination(Destination(GetParam().name, SOLCLIENT_TOPIC_DESTINATION));
    // The reply-to destination is not looked at.
    m.setReplyToDestination(Destination("#P2P/reply", SOLCLIENT_TOPIC_DESTINATION));
    EXPECT_EQ(m.isP2P(), GetParam().p2p);
}

INSTANTIATE_TEST_SUITE_P(Names, TolvexP2P,
                         ::testing::Values(P2PCase{"#P2P/v:host/abc", true}, P2PCase{"#P2P", true},
                                           P2PCase{"#p2p/x", false}, P2PCase{"x#P2P", false},
                                           P2PCase{"#P2", false}, P2PCase{"", false}));

TEST(TolvexHeader, RequestNeedsReplyToAndNoReplyFlag) {
    Tolvex m;
    EXPECT_FALSE(m.isRequest());
    m.setReplyToDestination(Destination("r", SOLCLIENT_TOPIC_DESTINATION));
    EXPECT_TRUE(m.isRequest());
    m.setAsReply(true);
    EXPECT_FALSE(m.isRequest());
}

TEST(TolvexHeader, ClassOfServiceCountsFromOne) {
    struct {
        unsigned int set;
        uint32_t library;
        unsigned int get;
    } cases[] = {{1, 0, 1}, {3, 2, 3}, {0, 0xFFFFFFFFu, 0}};
    for (const auto& c : cases) {
        Tolvex m;
        m.setCOS(c.set);
        uint32_t stored = 99;
        solClient_msg_getClassOfService(m.ptr(), &stored);
        EXPECT_EQ(stored, c.library) << c.set;
        EXPECT_EQ(m.getCOS(), c.get) << c.set;
    }
}

// --- Content type and user properties ------------------------------------------------------------

struct ContentTypeCase {
    const char* name;
    const char* ct;     // user property "ct"; null: none
    const char* other;  // another user property; null: none
    const char* http;   // HTTP content type; null: none
    const char* expected;
};

void PrintTo(const ContentTypeCase& c, std::ostream* os) { *os << c.name; }

class TolvexContentType : public ::testing::TestWithParam<ContentTypeCase> {};

TEST_P(TolvexContentType, Resolution) {
    const ContentTypeCase& c = GetParam();
    Tolvex m;
    if (c.other) m.addMetaData("other", c.other);
    if (c.ct) m.setContentType(c.ct);
    if (c.http) solClient_msg_setHttpContentType(m.ptr(), c.http);
    EXPECT_EQ(m.getContentType(), std::string(c.expected));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TolvexContentType,
    ::testing::Values(
        ContentTypeCase{"NothingSet", nullptr, nullptr, nullptr, ""},
        ContentTypeCase{"HttpWhenNoMap", nullptr, nullptr, "application/json", "application/json"},
        ContentTypeCase{"HttpWhenMapLacksCt", nullptr, "v", "application/json", "application/json"},
        ContentTypeCase{"CtWins", "msgpack", nullptr, "text/plain", "msgpack"},
        ContentTypeCase{"ByteForByte", "Text/Plain; x=\xc3\xa9", "v", nullptr,
                        "Text/Plain; x=\xc3\xa9"}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(TolvexProperties, MetaDataAndRawHandleOperations) {
    Tolvex m;
    EXPECT_EQ(m.addMetaData("region", "eu"), SOLCLIENT_OK);
    EXPECT_EQ(m.getMetaData("region"), "eu");
    EXPECT_EQ(m.getMetaData("missing"), "");

    const char* ct = nullptr;
    EXPECT_EQ(getMetaContentType(m.ptr(), &ct), SOLCLIENT_NOT_FOUND);
    EXPECT_EQ(setMetaContentType(m.ptr(), "sdt"), SOLCLIENT_OK);
    ASSERT_EQ(getMetaContentType(m.ptr(), &ct), SOLCLIENT_OK);
    EXPECT_STREQ(ct, "sdt");
    EXPECT_EQ(m.getContentType(), "sdt");

    // Writing "ct" again keeps the other fields and reads back the latest value.
    m.setContentType("json");
    EXPECT_EQ(m.getContentType(), "json");
    EXPECT_EQ(m.getMetaData("region"), "eu");
}

// --- Bodies --------------------------------------------------------------------------------------

TEST(TolvexBody, RawBytesKeepEveryByte) {
    Tolvex m;
    const std::string body("a\0b\0\0c", 6);
    ASSERT_EQ(m.setBinaryAttachment(body), SOLCLIENT_OK);
    EXPECT_EQ(m.getBinaryAttachmentString(), body);
    EXPECT_EQ(m.getBinaryAttachmentVector(), std::vector<unsigned char>(body.begin(), body.end()));
    EXPECT_EQ(m.getBinaryAttachment().length, 6u);
    EXPECT_EQ(m.getContentType(), "");
}

TEST(TolvexBody, FourGibibytesAreRefusedAndNothingIsStored) {
    Tolvex m;
    m.setBinaryAttachment(std::string("kept"));
    static const char one = 'x';
    // The length is refused before any byte is read.
    EXPECT_NE(m.setBinaryAttachment(&one, 1ul << 32), SOLCLIENT_OK);
    EXPECT_EQ(m.getBinaryAttachmentString(), "kept");
}

TEST(TolvexBody, StructuredMap) {
    Tolvex m;
    char area[512] = {};
    EXPECT_EQ(m.createContainerMap(area, sizeof area), SOLCLIENT_OK);
    EXPECT_EQ(m.createContainerMap(nullptr, 0), SOLCLIENT_OK);  // keeps the first map
    EXPECT_EQ(m.addContainerString(area, sizeof area, "bytes/json", "{\"x\":1}"), SOLCLIENT_OK);
    EXPECT_EQ(m.attachmentContainerMap(), SOLCLIENT_OK);

    solClient_opaqueContainer_pt map = m.getBinaryAttachmentMap();
    ASSERT_NE(map, nullptr);
    const char* text = nullptr;
    ASSERT_EQ(solClient_container_getStringPtr(map, &text, "bytes/json"), SOLCLIENT_OK);
    EXPECT_STREQ(text, "{\"x\":1}");
}

TEST(TolvexBody, AddContainerStringCreatesTheMap) {
    Tolvex m;
    char area[128] = {};
    EXPECT_EQ(m.addContainerString(area, sizeof area, "k", "v"), SOLCLIENT_OK);
    m.attachmentContainerMap();
    const char* text = nullptr;
    ASSERT_EQ(solClient_container_getStringPtr(m.getBinaryAttachmentMap(), &text, "k"),
              SOLCLIENT_OK);
    EXPECT_STREQ(text, "v");
}

TEST(TolvexBody, ReadingTheMapManyTimesHoldsOneHandle) {
    Tolvex m;
    char area[128] = {};
    m.addContainerString(area, sizeof area, "k", "v");
    m.attachmentContainerMap();
    m.closeContainer();
    const int64_t before = solClientTest_liveContainers();
    for (int i = 0; i < 100; ++i) ASSERT_NE(m.getBinaryAttachmentMap(), nullptr);
    EXPECT_EQ(solClientTest_liveContainers(), before + 1);
}

TEST(TolvexBody, RawAttachmentIsNoMap) {
    Tolvex m;
    m.setBinaryAttachment(std::string("plain text"));
    EXPECT_EQ(m.getBinaryAttachmentMap(), nullptr);
}

TEST(TolvexJson, CompactTextAndContentType) {
    Tolvex m;
    const json body = {{"name", "\xc3\xa9t\xc3\xa9"}, {"n", 1}};
    ASSERT_EQ(m.setJsonBody(body), SOLCLIENT_OK);
    EXPECT_EQ(m.getContentType(), "json");
    EXPECT_EQ(m.getBinaryAttachmentString(), "{\"n\":1,\"name\":\"\xc3\xa9t\xc3\xa9\"}");
    EXPECT_EQ(m.getJsonBody(), body);
    EXPECT_TRUE(m.getMsgpackBody().is_null());
}

TEST(TolvexJson, MsgpackRoundTrip) {
    Tolvex m;
    const json body = {{"list", {1, 2.5, "x", nullptr, true}}};
    ASSERT_EQ(m.setMsgpackBody(body), SOLCLIENT_OK);
    EXPECT_EQ(m.getContentType(), "msgpack");
    EXPECT_EQ(m.getBinaryAttachmentVector(), json::to_msgpack(body));
    EXPECT_EQ(m.getMsgpackBody(), body);
    EXPECT_TRUE(m.getJsonBody().is_null());
}

struct GateCase {
    const char* contentType;
    bool json;
    bool msgpack;
};

void PrintTo(const GateCase& c, std::ostream* os) { *os << '"' << c.contentType << '"'; }

class TolvexReaderGate : public ::testing::TestWithParam<GateCase> {};

// Only the exact content type opens a reader; any other reads as null without parsing.
TEST_P(TolvexReaderGate, ExactAndCaseSensitive) {
    const GateCase& c = GetParam();
    Tolvex m;
    m.setContentType(c.contentType);
    m.setBinaryAttachment(std::string("{\"a\":1}"));
    if (c.json) {
        EXPECT_EQ(m.getJsonBody(), json({{"a", 1}}));
    } else {
        EXPECT_TRUE(m.getJsonBody().is_null());
    }
    const std::vector<std::uint8_t> packed = json::to_msgpack(json{{"a", 1}});
    m.setBinaryAttachment(packed.data(), packed.size());
    if (c.msgpack) {
        EXPECT_EQ(m.getMsgpackBody(), json({{"a", 1}}));
    } else {
        EXPECT_TRUE(m.getMsgpackBody().is_null());
    }
}

INSTANTIATE_TEST_SUITE_P(
    ContentTypes, TolvexReaderGate,
    ::testing::Values(GateCase{"json", true, false}, GateCase{"application/json", true, false},
                      GateCase{"msgpack", false, true}, GateCase{"JSON", false, false},
                      GateCase{"json ", false, false}, GateCase{"Msgpack", false, false},
                      GateCase{"", false, false}));

TEST(TolvexJson, StrictParsing) {
    const char* bad[] = {"{\"a\":1} trailing", "{\"a\":1}{}", "", "/* c */ {}", "{\"a\":"};
    for (const char* text : bad) {
        Tolvex m;
        m.setContentType("json");
        m.setBinaryAttachment(std::string(text));
        EXPECT_THROW(m.getJsonBody(), json::parse_error) << text;
    }
    Tolvex m;
    m.setContentType("msgpack");
    std::vector<std::uint8_t> packed = json::to_msgpack(json{{"a", 1}});
    packed.push_back(0xc0);  // a second value after the first
    m.setBinaryAttachment(packed.data(), packed.size());
    EXPECT_THROW(m.getMsgpackBody(), json::parse_error);
}

// Bodies nested deeper than the readers take are refused before reading, whatever the bytes.
TEST(TolvexJson, DeepNestingIsRefusedNotOverflowed) {
    struct Case {
        const char* contentType;
        std::string body;
        bool refused;
    };
    const auto nested = [](const char* open, const char* close, size_t depth) {
        std::string text;
        for (size_t i = 0; i < depth; ++i) text += open;
        for (size_t i = 0; i < depth; ++i) text += close;
        return text;
    };
    const Case cases[] = {
        {"json", nested("[", "]", 1000), false},
        {"json", nested("[", "]", 1001), true},
        {"json", std::string(200000, '['), true},
        {"json", nested("{\"k\":", "}", 1001), true},
        {"json", "[\"" + std::string(5000, '[') + "\\\"\"]", false},  // brackets inside a string
        {"msgpack", std::string(1000, '\x91') + '\xc0', false},
        {"msgpack", std::string(1001, '\x91') + '\xc0', true},
        {"msgpack", std::string(300000, '\x91'), true},
        {"msgpack", std::string("\xdc\x00\x03\x01\x02\x03", 6), false},
        {"msgpack", std::string("\xdc\x00\x02", 3) + std::string(100000, '\xdc'), true},
    };
    for (const Case& c : cases) {
        Tolvex m;
        m.setContentType(c.contentType);
        m.setBinaryAttachment(c.body);
        const bool json = std::string(c.contentType) == "json";
        try {
            json ? m.getJsonBody() : m.getMsgpackBody();
            EXPECT_FALSE(c.refused) << c.contentType << " of " << c.body.size() << " bytes";
        } catch (const nlohmann::json::parse_error& e) {
            EXPECT_EQ(c.refused, std::string(e.what()).find("nesting deeper") != std::string::npos)
                << e.what();
        }
    }
}

TEST(TolvexJson, InvalidUtf8RaisesBeforeTheBodyIsTouched) {
    Tolvex m;
    m.setBinaryAttachment(std::string("old"));
    EXPECT_THROW(m.setJsonBody(json{{"k", "\xff"}}), json::type_error);
    EXPECT_EQ(m.getBinaryAttachmentString(), "old");
    EXPECT_EQ(m.getContentType(), "json");  // written before the encoding
}

struct BodyKindCase {
    const char* kind;
    const char* contentType;
};

void PrintTo(const BodyKindCase& c, std::ostream* os) { *os << '"' << c.kind << '"'; }

class TolvexFiveArguments : public ::testing::TestWithParam<BodyKindCase> {};

TEST_P(TolvexFiveArguments, BuildsACompleteMessage) {
    const json body = {{"a", 1}};
    Tolvex m("out/topic", body, GetParam().kind, true, Persistent);
    EXPECT_EQ(m.getContentType(), GetParam().contentType);
    const std::string kind = GetParam().kind;
    if (kind == "json") {
        EXPECT_EQ(m.getJsonBody(), body);
    } else if (kind == "msgpack") {
        EXPECT_EQ(m.getMsgpackBody(), body);
    } else {
        EXPECT_EQ(m.getBinaryAttachment().data, nullptr);
    }
    EXPECT_EQ(m.getDestination().dest, "out/topic");
    EXPECT_EQ(m.getDestination().dest_type, SOLCLIENT_TOPIC_DESTINATION);
    EXPECT_EQ(m.getDeliveryMode(), Persistent);
    EXPECT_TRUE(m.isElidingEligible());
}

INSTANTIATE_TEST_SUITE_P(Kinds, TolvexFiveArguments,
                         ::testing::Values(BodyKindCase{"json", "json"},
                                           BodyKindCase{"msgpack", "msgpack"},
                                           BodyKindCase{"bytes/json", ""},
                                           BodyKindCase{"JSON", ""}));

TEST(TolvexFiveArguments, AThrowingEncoderFreesTheMessage) {
    const int64_t before = solClientTest_liveMessages();
    EXPECT_THROW(Tolvex("t", json{{"k", "\xff"}}, "json", false, Direct), json::type_error);
    EXPECT_EQ(solClientTest_liveMessages(), before);
}

// --- Destination ---------------------------------------------------------------------------------

TEST(DestinationValue, CopiesAndBorrows) {
    std::string name = "copied";
    solClient_destination record{SOLCLIENT_QUEUE_DESTINATION, name.c_str()};
    const Destination d(record);
    name[0] = 'X';
    EXPECT_EQ(d.dest, "copied");
    EXPECT_EQ(d.dest_type, SOLCLIENT_QUEUE_DESTINATION);

    const Destination empty(solClient_destination{SOLCLIENT_TOPIC_DESTINATION, ""});
    EXPECT_NE(empty.to_solClient_destination_t().dest, nullptr);
    EXPECT_STREQ(empty.to_solClient_destination_t().dest, "");
    EXPECT_EQ(Destination(solClient_destination{SOLCLIENT_TOPIC_DESTINATION, nullptr}).dest, "");
    EXPECT_EQ(static_cast<uint32_t>(Persistent), 16u);
    EXPECT_EQ(static_cast<uint32_t>(NonPersistent), 32u);
}

TEST(DestinationValue, SurvivesItsMessage) {
    Destination d("", SOLCLIENT_TOPIC_DESTINATION);
    {
        Tolvex m;
        m.setDestination(Destination("gone/soon", SOLCLIENT_QUEUE_DESTINATION));
        d = m.getDestination();
    }
    EXPECT_EQ(d.dest, "gone/soon");
}
