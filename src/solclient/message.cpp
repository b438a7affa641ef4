// Messages: allocation, header fields, user properties and the binary attachment.

#include <cstring>
#include <new>

#include "solclient/internal.h"

using namespace solclient;

// Resolves the message handle h into m, or fails the calling operation.
#define SOLCLIENT_MESSAGE_OR_FAIL(op, h) \
    Message* m = asMessage(h);           \
    if (m == nullptr) return fail(SOLCLIENT_FAIL, op, "%s", badMessage(h))

namespace {

/// The empty text a destination getter lends when no destination is set.
const char kEmptyText[] = "";

/// User-property maps start within these bounds whatever the hint; they grow as needed.
constexpr size_t kMinUserPropsBytes = 64;
constexpr size_t kMaxInitialUserPropsBytes = size_t{64} * 1024;

solClient_returnCode_t setDest(const char* op, solClient_opaqueMsg_pt h,
                               const solClient_destination* dest, size_t destSize,
                               std::optional<Destination> Message::* which) {
    SOLCLIENT_MESSAGE_OR_FAIL(op, h);
    if (dest == nullptr) return fail(SOLCLIENT_FAIL, op, "null destination");
    if (destSize < sizeof(solClient_destination))
        return fail(SOLCLIENT_FAIL, op, "destination size %zu is smaller than %zu", destSize,
                    sizeof(solClient_destination));
    if (dest->dest == nullptr) return fail(SOLCLIENT_FAIL, op, "null destination name");
    try {
        // Assigned in place: a name that fits the held one's storage needs no allocation. A
        // failing assign leaves the name as it was.
        std::optional<Destination>& held = m->*which;
        if (held) {
            held->name.assign(dest->dest);
            held->type = dest->destType;
        } else {
            held = Destination{dest->destType, dest->dest};
        }
    } catch (...) {
        return fail(SOLCLIENT_FAIL, op, "out of memory");
    }
    return SOLCLIENT_OK;
}

solClient_returnCode_t getDest(const char* op, solClient_opaqueMsg_pt h,
                               solClient_destination* dest, size_t destSize,
                               std::optional<Destination> Message::* which) {
    SOLCLIENT_MESSAGE_OR_FAIL(op, h);
    if (dest == nullptr) return fail(SOLCLIENT_FAIL, op, "null destination");
    if (destSize < sizeof(solClient_destination))
        return fail(SOLCLIENT_FAIL, op, "destination size %zu is smaller than %zu", destSize,
                    sizeof(solClient_destination));
    const std::optional<Destination>& d = m->*which;
    if (!d) {
        dest->destType = SOLCLIENT_NULL_DESTINATION;
        dest->dest = kEmptyText;
        return fail(SOLCLIENT_NOT_FOUND, op, "not set");
    }
    dest->destType = d->type;
    dest->dest = d->name.c_str();
    return SOLCLIENT_OK;
}

solClient_returnCode_t setText(const char* op, solClient_opaqueMsg_pt h, const char* text,
                               std::optional<std::string> Message::* which) {
    SOLCLIENT_MESSAGE_OR_FAIL(op, h);
    if (text == nullptr) return fail(SOLCLIENT_FAIL, op, "null text");
    try {
        m->*which = std::string(text);
    } catch (...) {
        return fail(SOLCLIENT_FAIL, op, "out of memory");
    }
    return SOLCLIENT_OK;
}

solClient_returnCode_t getText(const char* op, solClient_opaqueMsg_pt h, const char** text_p,
                               std::optional<std::string> Message::* which) {
    SOLCLIENT_MESSAGE_OR_FAIL(op, h);
    if (text_p == nullptr) return fail(SOLCLIENT_FAIL, op, "null out-pointer");
    const std::optional<std::string>& t = m->*which;
    if (!t) {
        *text_p = nullptr;
        return fail(SOLCLIENT_NOT_FOUND, op, "not set");
    }
    *text_p = t->c_str();
    return SOLCLIENT_OK;
}

solClient_returnCode_t getU32(const char* op, solClient_opaqueMsg_pt h, uint32_t* out,
                              uint32_t Message::* which) {
    SOLCLIENT_MESSAGE_OR_FAIL(op, h);
    if (out == nullptr) return fail(SOLCLIENT_FAIL, op, "null out-pointer");
    *out = m->*which;
    return SOLCLIENT_OK;
}

solClient_returnCode_t setFlag(const char* op, solClient_opaqueMsg_pt h, solClient_bool_t value,
                               bool Message::* which) {
    SOLCLIENT_MESSAGE_OR_FAIL(op, h);
    m->*which = value != 0;
    return SOLCLIENT_OK;
}

solClient_bool_t isFlag(const char* op, solClient_opaqueMsg_pt h, bool Message::* which) {
    Message* m = asMessage(h);
    if (m == nullptr) {
        fail(SOLCLIENT_FAIL, op, "%s", badMessage(h));
        return 0;
    }
    return m->*which ? 1 : 0;
}

/// Replaces the attachment with a copy of size bytes. The buffer is left uninitialised before the
/// copy: attachments can be large and are set often.
solClient_returnCode_t storeAttachment(const char* op, Message* m, const void* buf, uint32_t size) {
    SharedBytes bytes;
    if (size != 0) {
        bytes = SharedBytes::copyOf(buf, size);
        if (!bytes) return fail(SOLCLIENT_FAIL, op, "out of memory for %u bytes", size);
    }
    m->attachment = std::move(bytes);
    m->attachmentLength = size;
    m->hasAttachment = true;
    return SOLCLIENT_OK;
}

}  // namespace

extern "C" {

SOLCLIENT_API solClient_returnCode_t solClient_msg_alloc(solClient_opaqueMsg_pt* msg_p) {
    const char* op = "solClient_msg_alloc";
    if (msg_p == nullptr) return fail(SOLCLIENT_FAIL, op, "null handle pointer");
    if (takeAllocFailure()) return SOLCLIENT_FAIL;
    auto* m = new (std::nothrow) Message;
    if (m == nullptr) return fail(SOLCLIENT_FAIL, op, "out of memory");
    liveMessages.fetch_add(1, std::memory_order_relaxed);
    *msg_p = m;
    return SOLCLIENT_OK;
}

SOLCLIENT_API solClient_returnCode_t solClient_msg_free(solClient_opaqueMsg_pt* msg_p) {
    const char* op = "solClient_msg_free";
    if (msg_p == nullptr) return fail(SOLCLIENT_FAIL, op, "null handle pointer");
    SOLCLIENT_MESSAGE_OR_FAIL(op, *msg_p);
    destroyContainer(m->userProps);
    m->magic = 0;
    delete m;
    *msg_p = nullptr;
    liveMessages.fetch_sub(1, std::memory_order_relaxed);
    return SOLCLIENT_OK;
}

SOLCLIENT_API solClient_returnCode_t solClient_msg_setDestination(solClient_opaqueMsg_pt msg,
                                                                  solClient_destination* dest,
                                                                  size_t destSize) {
    return setDest("solClient_msg_setDestination", msg, dest, destSize, &Message::destination);
}

SOLCLIENT_API solClient_returnCode_t solClient_msg_getDestination(solClient_opaqueMsg_pt msg,
                                                                  solClient_destination* dest,
                                                                  size_t destSize) {
    return getDest("solClient_msg_getDestination", msg, dest, destSize, &Message::destination);
}

SOLCLIENT_API solClient_returnCode_t solClient_msg_setReplyTo(solClient_opaqueMsg_pt msg,
                                                              solClient_destination* dest,
                                                              size_t destSize) {
    return setDest("solClient_msg_setReplyTo", msg, dest, destSize, &Message::replyTo);
}

SOLCLIENT_API solClient_returnCode_t solClient_msg_getReplyTo(solClient_opaqueMsg_pt msg,
                                                              solClient_destination* dest,
                                                              size_t destSize) {
    return getDest("solClient_msg_getReplyTo", msg, dest, destSize, &Message::replyTo);
}

SOLCLIENT_API solClient_returnCode_t solClient_msg_setDeliveryMode(solClient_opaqueMsg_pt msg,
                                                                   uint32_t mode) {
    const char* op = "solClient_msg_setDeliveryMode";
    SOLCLIENT_MESSAGE_OR_FAIL(op, msg);
    if (mode != SOLCLIENT_DELIVERY_MODE_DIRECT && mode != SOLCLIENT_DELIVERY_MODE_PERSISTENT &&
        mode != SOLCLIENT_DELIVERY_MODE_NONPERSISTENT)
        return fail(SOLCLIENT_FAIL, op, "delivery mode 0x%x is none of 0x00, 0x10, 0x20", mode);
    m->deliveryMode = mode;
    return SOLCLIENT_OK;
}

SOLCLIENT_API solClient_returnCode_t solClient_msg_getDeliveryMode(solClient_opaqueMsg_pt msg,
                                                                   uint32_t* mode_p) {
    return getU32("solClient_msg_getDeliveryMode", msg, mode_p, &Message::deliveryMode);
}

SOLCLIENT_API solClient_returnCode_t solClient_msg_setCorrelationId(solClient_opaqueMsg_pt msg,
                                                                    const char* correlationId) {
    return setText("solClient_msg_setCorrelationId", msg, correlationId, &Message::correlationId);
}

SOLCLIENT_API solClient_returnCode_t solClient_msg_getCorrelationId(solClient_opaqueMsg_pt msg,
                                                                    const char** correlationId_p) {
    return getText("solClient_msg_getCorrelationId", msg, correlationId_p, &Message::correlationId);
}

SOLCLIENT_API solClient_returnCode_t solClient_msg_setClassOfService(solClient_opaqueMsg_pt msg,
                                                                     uint32_t cos) {
    SOLCLIENT_MESSAGE_OR_FAIL("solClient_msg_setClassOfService", msg);
    m->classOfService = cos;  // stored as given: no range is checked
    return SOLCLIENT_OK;
}

SOLCLIENT_API solClient_returnCode_t solClient_msg_getClassOfService(solClient_opaqueMsg_pt msg,
                                                                     uint32_t* cos_p) {
    return getU32("solClient_msg_getClassOfService", msg, cos_p, &Message::classOfService);
}

SOLCLIENT_API solClient_returnCode_t solClient_msg_setElidingEligible(solClient_opaqueMsg_pt msg,
                                                                      solClient_bool_t elide) {
    return setFlag("solClient_msg_setElidingEligible", msg, elide, &Message::eliding);
}

SOLCLIENT_API solClient_bool_t solClient_msg_isElidingEligible(solClient_opaqueMsg_pt msg) {
    return isFlag("solClient_msg_isElidingEligible", msg, &Message::eliding);
}

SOLCLIENT_API solClient_returnCode_t solClient_msg_setDeliverToOne(solClient_opaqueMsg_pt msg,
                                                                   solClient_bool_t dto) {
    return setFlag("solClient_msg_setDeliverToOne", msg, dto, &Message::deliverToOne);
}

SOLCLIENT_API solClient_bool_t solClient_msg_isDeliverToOne(solClient_opaqueMsg_pt msg) {
    return isFlag("solClient_msg_isDeliverToOne", msg, &Message::deliverToOne);
}

SOLCLIENT_API solClient_returnCode_t solClient_msg_setAsReplyMsg(solClient_opaqueMsg_pt msg,
                                                                 solClient_bool_t isReply) {
    return setFlag("solClient_msg_setAsReplyMsg", msg, isReply, &Message::reply);
}

SOLCLIENT_API solClient_bool_t solClient_msg_isReplyMsg(solClient_opaqueMsg_pt msg) {
    return isFlag("solClient_msg_isReplyMsg", msg, &Message::reply);
}

SOLCLIENT_API solClient_returnCode_t solClient_msg_setHttpContentType(solClient_opaqueMsg_pt msg,
                                                                      const char* contentType) {
    return setText("solClient_msg_setHttpContentType", msg, contentType, &Message::httpContentType);
}

SOLCLIENT_API solClient_returnCode_t solClient_msg_getHttpContentType(solClient_opaqueMsg_pt msg,
                                                                      const char** contentType_p) {
    return getText("solClient_msg_getHttpContentType", msg, contentType_p,
                   &Message::httpContentType);
}

SOLCLIENT_API solClient_returnCode_t solClient_msg_createUserPropertyMap(
    solClient_opaqueMsg_pt msg, solClient_opaqueContainer_pt* map_p, uint32_t size) {
    const char* op = "solClient_msg_createUserPropertyMap";
    SOLCLIENT_MESSAGE_OR_FAIL(op, msg);
    if (map_p == nullptr) return fail(SOLCLIENT_FAIL, op, "null handle pointer");
    if (m->userProps == nullptr) {
        size_t cap = size < kMinUserPropsBytes ? kMinUserPropsBytes : size;
        if (cap > kMaxInitialUserPropsBytes) cap = kMaxInitialUserPropsBytes;
        auto* c = new (std::nothrow) Container;
        if (c == nullptr) return fail(SOLCLIENT_FAIL, op, "out of memory");
        c->own.reset(new (std::nothrow) unsigned char[cap]);
        if (!c->own) {
            delete c;
            return fail(SOLCLIENT_FAIL, op, "out of memory");
        }
        c->kind = enc::kMapKind;
        c->role = Role::UserProps;
        c->base = c->own.get();
        c->capacity = cap;
        c->used = enc::kHeaderSize;
        enc::storeHeader(c->base, enc::kMapKind, static_cast<uint32_t>(enc::kHeaderSize));
        m->userProps = c;
    }
    *map_p = m->userProps;
    return SOLCLIENT_OK;
}

SOLCLIENT_API solClient_returnCode_t
solClient_msg_getUserPropertyMap(solClient_opaqueMsg_pt msg, solClient_opaqueContainer_pt* map_p) {
    const char* op = "solClient_msg_getUserPropertyMap";
    SOLCLIENT_MESSAGE_OR_FAIL(op, msg);
    if (map_p == nullptr) return fail(SOLCLIENT_FAIL, op, "null handle pointer");
    *map_p = m->userProps;
    if (m->userProps == nullptr) return fail(SOLCLIENT_NOT_FOUND, op, "no user-property map");
    return SOLCLIENT_OK;
}

SOLCLIENT_API solClient_returnCode_t solClient_msg_setBinaryAttachment(solClient_opaqueMsg_pt msg,
                                                                       const void* buf,
                                                                       uint32_t size) {
    const char* op = "solClient_msg_setBinaryAttachment";
    SOLCLIENT_MESSAGE_OR_FAIL(op, msg);
    if (buf == nullptr && size != 0)
        return fail(SOLCLIENT_FAIL, op, "null buffer of %u bytes", size);
    return storeAttachment(op, m, buf, size);
}

SOLCLIENT_API solClient_returnCode_t
solClient_msg_getBinaryAttachmentPtr(solClient_opaqueMsg_pt msg, void** buf_p, uint32_t* size_p) {
    const char* op = "solClient_msg_getBinaryAttachmentPtr";
    SOLCLIENT_MESSAGE_OR_FAIL(op, msg);
    if (buf_p == nullptr || size_p == nullptr) return fail(SOLCLIENT_FAIL, op, "null out-pointer");
    if (!m->hasAttachment) {
        *buf_p = nullptr;
        *size_p = 0;
        return fail(SOLCLIENT_NOT_FOUND, op, "no binary attachment");
    }
    *buf_p = m->attachment ? m->attachment.get() : emptyBytes;
    *size_p = m->attachmentLength;
    return SOLCLIENT_OK;
}

SOLCLIENT_API solClient_returnCode_t solClient_msg_setBinaryAttachmentContainer(
    solClient_opaqueMsg_pt msg, solClient_opaqueContainer_pt container) {
    const char* op = "solClient_msg_setBinaryAttachmentContainer";
    SOLCLIENT_MESSAGE_OR_FAIL(op, msg);
    Container* c = asContainer(container);
    if (c == nullptr) return fail(SOLCLIENT_FAIL, op, "%s", badContainer(container));
    return storeAttachment(op, m, c->base, static_cast<uint32_t>(c->used));
}

SOLCLIENT_API solClient_returnCode_t solClient_msg_getBinaryAttachmentMap(
    solClient_opaqueMsg_pt msg, solClient_opaqueContainer_pt* map_p) {
    const char* op = "solClient_msg_getBinaryAttachmentMap";
    SOLCLIENT_MESSAGE_OR_FAIL(op, msg);
    if (map_p == nullptr) return fail(SOLCLIENT_FAIL, op, "null handle pointer");
    if (!m->hasAttachment) return fail(SOLCLIENT_NOT_FOUND, op, "no binary attachment");
    unsigned char* bytes = m->attachment.get();
    std::unique_ptr<Container> v;
    try {
        std::vector<enc::NestedSpan> nested;
        if (const char* why = enc::validate(bytes, m->attachmentLength, enc::kMapKind, &nested))
            return fail(SOLCLIENT_FAIL, op, "the attachment is no valid map: %s", why);
        v = std::make_unique<Container>();
        v->tree.resize(nested.size());
        for (size_t i = 0; i < nested.size(); ++i) {
            Container& view = v->tree[i];
            view.kind = nested[i].kind;
            view.role = Role::Nested;
            view.base = bytes + nested[i].offset;
            view.capacity = view.used = nested[i].length;
            view.views = v->tree.data();
            view.firstChild = view.nestedOrdinal = i + 1;
            view.subtreeEnd = nested[i].subtreeEnd;
        }
    } catch (...) {
        return fail(SOLCLIENT_FAIL, op, "out of memory");
    }
    v->kind = enc::kMapKind;
    v->role = Role::Attachment;
    v->keep = m->attachment;
    v->base = bytes;
    v->capacity = v->used = m->attachmentLength;
    if (!v->tree.empty()) v->views = v->tree.data();
    liveContainers.fetch_add(1, std::memory_order_relaxed);
    *map_p = v.release();
    return SOLCLIENT_OK;
}

}  // extern "C"
