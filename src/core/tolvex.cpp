#include "core/tolvex.h"

#include <cstring>
#include <limits>

#include <spdlog/spdlog.h>

namespace {

// The allocation-failure record carries fixed source lines: log scrapers match them.
constexpr int kAllocLogLine = 51;
constexpr int kBodyAllocLogLine = 71;

constexpr uint32_t kUserPropertyMapSize = 64;
const char* const kContentTypeKey = "ct";

void logAllocFailure(int line) {
    spdlog::default_logger_raw()->log(spdlog::source_loc{__FILE__, line, "Tolvex"},
                                      spdlog::level::err, "Tolvex alloc failed, error: {}",
                                      solClient_getLastErrorInfo()->errorStr);
}

// Every write asks the library for the map (it lends the existing one) and adds one field.
solClient_returnCode_t addUserProperty(solClient_opaqueMsg_pt msg, const char* key,
                                       const char* value) {
    solClient_opaqueContainer_pt map = nullptr;
    const solClient_returnCode_t rc =
        solClient_msg_createUserPropertyMap(msg, &map, kUserPropertyMapSize);
    if (rc != SOLCLIENT_OK) return rc;
    return solClient_container_addString(map, value, key);
}

solClient_returnCode_t getUserProperty(solClient_opaqueMsg_pt msg, const char* key,
                                       const char** value) {
    solClient_opaqueContainer_pt map = nullptr;
    const solClient_returnCode_t rc = solClient_msg_getUserPropertyMap(msg, &map);
    if (rc != SOLCLIENT_OK) return rc;
    return solClient_container_getStringPtr(map, value, key);
}

bool hasPrefix(const std::string& text, const char* prefix) {
    return text.compare(0, std::strlen(prefix), prefix) == 0;
}

// The JSON library reads MessagePack, and writes, compares and copies values, by recursing once
// per nesting level: a body nested deeper than this is refused before it is read, so that no
// input can exhaust the stack.
constexpr size_t kMaxNesting = 1000;

[[noreturn]] void throwTooDeep(size_t offset) {
    throw nlohmann::json::parse_error::create(
        113, offset, "nesting deeper than " + std::to_string(kMaxNesting) + " levels", nullptr);
}

// JSON text: brackets outside strings. Text that is no JSON is left to the parser.
void checkJsonNesting(const unsigned char* p, const unsigned char* end) {
    size_t depth = 0;
    bool inString = false;
    for (const unsigned char* c = p; c < end; ++c) {
        if (inString) {
            if (*c == '\\') {
                ++c;
            } else if (*c == '"') {
                inString = false;
            }
        } else if (*c == '"') {
            inString = true;
        } else if (*c == '[' || *c == '{') {
            if (++depth > kMaxNesting) throwTooDeep(static_cast<size_t>(c - p));
        } else if ((*c == ']' || *c == '}') && depth > 0) {
            --depth;
        }
    }
}

uint64_t bigEndian(const unsigned char* p, size_t n) {
    uint64_t v = 0;
    for (size_t i = 0; i < n; ++i) v = (v << 8) | p[i];
    return v;
}

// MessagePack: walks the values without building them, keeping the count of items still open at
// each level. Truncated or invalid input ends the walk and is left to the reader.
void checkMsgpackNesting(const unsigned char* p, const unsigned char* end) {
    std::vector<uint64_t> open;
    const unsigned char* c = p;
    while (c < end) {
        const unsigned char tag = *c++;
        uint64_t skip = 0;   // payload bytes
        uint64_t items = 0;  // values a container holds
        size_t lengthBytes = 0;
        bool container = false;
        if (tag >= 0x80 && tag <= 0x8f) {
            items = uint64_t{2} * (tag & 0x0fu), container = true;
        } else if (tag >= 0x90 && tag <= 0x9f) {
            items = tag & 0x0fu, container = true;
        } else if (tag >= 0xa0 && tag <= 0xbf) {
            skip = tag & 0x1fu;
        } else {
            switch (tag) {
                case 0xc4:
                case 0xd9: lengthBytes = 1; break;  // bin8, str8
                case 0xc5:
                case 0xda: lengthBytes = 2; break;  // bin16, str16
                case 0xc6:
                case 0xdb: lengthBytes = 4; break;            // bin32, str32
                case 0xc7: lengthBytes = 1, skip = 1; break;  // ext8
                case 0xc8: lengthBytes = 2, skip = 1; break;  // ext16
                case 0xc9: lengthBytes = 4, skip = 1; break;  // ext32
                case 0xcc:
                case 0xd0: skip = 1; break;
                case 0xcd:
                case 0xd1: skip = 2; break;
                case 0xca:
                case 0xce:
                case 0xd2: skip = 4; break;
                case 0xcb:
                case 0xcf:
                case 0xd3: skip = 8; break;
                case 0xd4: skip = 2; break;  // fixext1..16
                case 0xd5: skip = 3; break;
                case 0xd6: skip = 5; break;
                case 0xd7: skip = 9; break;
                case 0xd8: skip = 17; break;
                case 0xdc: lengthBytes = 2, container = true; break;  // array16, array32
                case 0xdd: lengthBytes = 4, container = true; break;
                case 0xde: lengthBytes = 2, container = true; break;  // map16, map32
                case 0xdf: lengthBytes = 4, container = true; break;
                case 0xc1: return;
                default: break;  // fixints, nil, booleans
            }
        }
        if (lengthBytes != 0) {
            if (static_cast<size_t>(end - c) < lengthBytes) return;
            const uint64_t n = bigEndian(c, lengthBytes);
            c += lengthBytes;
            if (container) {
                items = (tag == 0xde || tag == 0xdf) ? 2 * n : n;
            } else {
                skip += n;
            }
        }
        if (static_cast<uint64_t>(end - c) < skip) return;
        c += skip;
        if (container && items != 0) {
            if (open.size() == kMaxNesting) throwTooDeep(static_cast<size_t>(c - p));
            open.push_back(items);
            continue;
        }
        // This value completes one item of each enclosing level it closes.
        while (!open.empty() && --open.back() == 0) open.pop_back();
    }
}

}  // namespace

// --- Destination ---------------------------------------------------------------------------------

// The name is taken by reference, as native callers have always passed it.
Destination::Destination(const std::string& name,  // NOLINT(modernize-pass-by-value)
                         solClient_destinationType type)
    : dest(name), dest_type(type) {}

Destination::Destination(solClient_destination record)
    : dest(record.dest ? record.dest : ""), dest_type(record.destType) {}

solClient_destination Destination::to_solClient_destination_t() const {
    return solClient_destination{dest_type, dest.c_str()};
}

// --- Lifecycle -----------------------------------------------------------------------------------

Tolvex::Tolvex(int allocLogLine) {
    if (solClient_msg_alloc(&msg) != SOLCLIENT_OK) logAllocFailure(allocLogLine);
}

Tolvex::Tolvex() : Tolvex(kAllocLogLine) {}

Tolvex::Tolvex(void* handle) : msg(handle) {}

// Delegating makes the object complete before the body is coded, so a throwing encoder still
// frees the message.
Tolvex::Tolvex(const std::string& destination, const nlohmann::json& body, const std::string& kind,
               bool elide, DeliveryMode mode)
    : Tolvex(kBodyAllocLogLine) {
    if (!msg) return;
    if (kind == "msgpack") {
        setMsgpackBody(body);
    } else if (kind == "json") {
        setJsonBody(body);
    }
    setDestination(Destination(destination, SOLCLIENT_TOPIC_DESTINATION));
    solClient_msg_setDeliveryMode(msg, mode);
    solClient_msg_setElidingEligible(msg, elide);
}

Tolvex::Tolvex(Tolvex&& other) noexcept : msg(other.msg), container(other.container) {
    other.msg = nullptr;
    other.container = nullptr;
}

Tolvex::~Tolvex() {
    closeContainer();
    if (msg) solClient_msg_free(&msg);
    msg = nullptr;
}

std::string Tolvex::dump() const {
    char buffer[4096] = {};
    solClient_msg_dump(msg, buffer, sizeof buffer);
    return std::string(buffer, strnlen(buffer, sizeof buffer - 1));
}

// --- Header --------------------------------------------------------------------------------------

solClient_returnCode_t Tolvex::setDestination(const Destination& dest) {
    return setDestination(dest.to_solClient_destination_t());
}

solClient_returnCode_t Tolvex::setDestination(solClient_destination dest) {
    return solClient_msg_setDestination(msg, &dest, sizeof dest);
}

// Getters preset the record, so a failing call reads as "no destination".
Destination Tolvex::getDestination() const {
    solClient_destination record{SOLCLIENT_NULL_DESTINATION, ""};
    solClient_msg_getDestination(msg, &record, sizeof record);
    return Destination(record);
}

solClient_returnCode_t Tolvex::setReplyToDestination(const Destination& dest) {
    solClient_destination record = dest.to_solClient_destination_t();
    return solClient_msg_setReplyTo(msg, &record, sizeof record);
}

Destination Tolvex::getReplyToDestination() const {
    solClient_destination record{SOLCLIENT_NULL_DESTINATION, ""};
    solClient_msg_getReplyTo(msg, &record, sizeof record);
    return Destination(record);
}

solClient_returnCode_t Tolvex::setAsReply(bool reply) {
    return solClient_msg_setAsReplyMsg(msg, reply);
}

bool Tolvex::isReply() const { return solClient_msg_isReplyMsg(msg) != 0; }

bool Tolvex::isRequest() const {
    solClient_destination record{SOLCLIENT_NULL_DESTINATION, ""};
    const solClient_returnCode_t rc = solClient_msg_getReplyTo(msg, &record, sizeof record);
    const bool reply = solClient_msg_isReplyMsg(msg) != 0;
    return rc == SOLCLIENT_OK && !reply;
}

bool Tolvex::isP2P() const { return hasPrefix(getDestination().dest, "#P2P"); }

solClient_returnCode_t Tolvex::setDeliveryMode(DeliveryMode mode) {
    return solClient_msg_setDeliveryMode(msg, mode);
}

DeliveryMode Tolvex::getDeliveryMode() const {
    uint32_t mode = Direct;
    solClient_msg_getDeliveryMode(msg, &mode);
    return static_cast<DeliveryMode>(mode);
}

solClient_returnCode_t Tolvex::setCorrlationId(const std::string& id) {
    return solClient_msg_setCorrelationId(msg, id.c_str());
}

std::string Tolvex::getCorrlationId() const {
    const char* id = nullptr;
    if (solClient_msg_getCorrelationId(msg, &id) != SOLCLIENT_OK || !id) return {};
    return id;
}

solClient_returnCode_t Tolvex::setCOS(unsigned int cos) {
    return solClient_msg_setClassOfService(msg, cos - 1);
}

unsigned int Tolvex::getCOS() const {
    uint32_t cos = 0;
    solClient_msg_getClassOfService(msg, &cos);
    return cos + 1;
}

solClient_returnCode_t Tolvex::setElidingEligible(bool elide) {
    return solClient_msg_setElidingEligible(msg, elide);
}

bool Tolvex::isElidingEligible() const { return solClient_msg_isElidingEligible(msg) != 0; }

solClient_returnCode_t Tolvex::setDeliveryToOne(bool dto) {
    return solClient_msg_setDeliverToOne(msg, dto);
}

// --- Content type and user properties ------------------------------------------------------------

solClient_returnCode_t Tolvex::setContentType(const std::string& contentType) {
    return addUserProperty(msg, kContentTypeKey, contentType.c_str());
}

std::string Tolvex::getContentType() const {
    const char* text = nullptr;
    const solClient_returnCode_t rc = getUserProperty(msg, kContentTypeKey, &text);
    if (rc == SOLCLIENT_NOT_FOUND) {
        if (solClient_msg_getHttpContentType(msg, &text) == SOLCLIENT_OK && text) return text;
        return {};
    }
    if (rc == SOLCLIENT_OK && text) return text;
    return {};
}

solClient_returnCode_t Tolvex::addMetaData(const std::string& key, const std::string& value) {
    return addUserProperty(msg, key.c_str(), value.c_str());
}

std::string Tolvex::getMetaData(const std::string& key) const {
    const char* text = nullptr;
    if (getUserProperty(msg, key.c_str(), &text) != SOLCLIENT_OK || !text) return {};
    return text;
}

solClient_returnCode_t setMetaContentType(void* msg, const char* contentType) {
    return addUserProperty(msg, kContentTypeKey, contentType);
}

solClient_returnCode_t getMetaContentType(void* msg, const char** contentType) {
    return getUserProperty(msg, kContentTypeKey, contentType);
}

// --- Raw body ------------------------------------------------------------------------------------

solClient_returnCode_t Tolvex::setBinaryAttachment(const std::string& body) {
    return setBinaryAttachment(body.data(), body.size());
}

solClient_returnCode_t Tolvex::setBinaryAttachment(const void* data, unsigned long size) {
    // Stored truncated, a larger body would pass for a different one.
    if (size > std::numeric_limits<uint32_t>::max()) return SOLCLIENT_FAIL;
    return solClient_msg_setBinaryAttachment(msg, data, static_cast<uint32_t>(size));
}

Bytes Tolvex::getBinaryAttachment() const {
    void* data = nullptr;
    uint32_t length = 0;
    solClient_msg_getBinaryAttachmentPtr(msg, &data, &length);
    if (!data) return {};
    return Bytes{static_cast<const unsigned char*>(data), length};
}

std::string Tolvex::getBinaryAttachmentString() const {
    const Bytes body = getBinaryAttachment();
    return std::string(reinterpret_cast<const char*>(body.data), body.length);
}

std::vector<unsigned char> Tolvex::getBinaryAttachmentVector() const {
    const Bytes body = getBinaryAttachment();
    return std::vector<unsigned char>(body.data, body.data + body.length);
}

// --- Structured-map body -------------------------------------------------------------------------

solClient_returnCode_t Tolvex::createContainerMap(char* buffer, unsigned long size) {
    if (container) return SOLCLIENT_OK;
    return solClient_container_createMap(&container, buffer, size);
}

solClient_returnCode_t Tolvex::addContainerString(char* buffer, unsigned long size,
                                                  const std::string& name,
                                                  const std::string& value) {
    if (!container) createContainerMap(buffer, size);
    return solClient_container_addString(container, value.c_str(), name.c_str());
}

solClient_returnCode_t Tolvex::attachmentContainerMap() {
    return solClient_msg_setBinaryAttachmentContainer(msg, container);
}

// A held handle is closed first: replacing it would leak it.
solClient_opaqueContainer_pt Tolvex::getBinaryAttachmentMap() {
    closeContainer();
    solClient_msg_getBinaryAttachmentMap(msg, &container);
    return container;
}

void Tolvex::closeContainer() {
    if (container) solClient_container_closeMapStream(&container);
    container = nullptr;
}

// --- JSON and MessagePack bodies -----------------------------------------------------------------

solClient_returnCode_t Tolvex::setJsonBody(const nlohmann::json& body) {
    addUserProperty(msg, kContentTypeKey, "json");
    const std::string text = body.dump(-1, ' ', false, nlohmann::json::error_handler_t::strict);
    return setBinaryAttachment(text);
}

solClient_returnCode_t Tolvex::setMsgpackBody(const nlohmann::json& body) {
    addUserProperty(msg, kContentTypeKey, "msgpack");
    const std::vector<std::uint8_t> packed = nlohmann::json::to_msgpack(body);
    return setBinaryAttachment(packed.data(), packed.size());
}

nlohmann::json Tolvex::getJsonBody() const {
    const std::string contentType = getContentType();
    if (contentType != "json" && contentType != "application/json") return nullptr;
    const Bytes body = getBinaryAttachment();
    checkJsonNesting(body.data, body.data + body.length);
    return nlohmann::json::parse(body.data, body.data + body.length, nullptr,
                                 /*allow_exceptions=*/true, /*ignore_comments=*/false);
}

nlohmann::json Tolvex::getMsgpackBody() const {
    if (getContentType() != "msgpack") return nullptr;
    const Bytes body = getBinaryAttachment();
    checkMsgpackNesting(body.data, body.data + body.length);
    return nlohmann::json::from_msgpack(body.data, body.data + body.length, /*strict=*/true,
                                        /*allow_exceptions=*/true);
}
