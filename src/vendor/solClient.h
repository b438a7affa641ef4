// The messaging library's operations and records as this system uses them.
//
// Any library that offers these operations with the results stated here can be linked in: the
// in-process implementation under src/solclient/ is one. Notes on behaviour that callers may rely
// on sit beside each group.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(_WIN32)
#define SOLCLIENT_API __declspec(dllexport)
#elif defined(__GNUC__)
#define SOLCLIENT_API __attribute__((visibility("default")))
#else
#define SOLCLIENT_API
#endif

extern "C" {

// --- Basic types ---------------------------------------------------------------------------------

typedef void* solClient_opaqueMsg_pt;
typedef void* solClient_opaqueContainer_pt;
typedef uint8_t solClient_bool_t;
typedef int32_t solClient_returnCode_t;
typedef uint32_t solClient_uint32_t;

/// Return codes: 0 is success; every other value is a failure or the end of a reading.
enum solClient_returnCode : int32_t {
    SOLCLIENT_OK = 0,
    SOLCLIENT_FAIL = -1,
    SOLCLIENT_NOT_FOUND = 5,  ///< no such field, map or header value
    SOLCLIENT_EOS = 6,        ///< end of a container reading
};

/// Kinds of destination; the value is carried as a signed 32-bit integer and not checked.
enum solClient_destinationType : int32_t {
    SOLCLIENT_NULL_DESTINATION = -1,
    SOLCLIENT_TOPIC_DESTINATION = 0,
    SOLCLIENT_QUEUE_DESTINATION = 1,
    SOLCLIENT_TOPIC_TEMP_DESTINATION = 2,
    SOLCLIENT_QUEUE_TEMP_DESTINATION = 3,
};

/// A destination: passed by address together with sizeof(solClient_destination).
struct solClient_destination {
    solClient_destinationType destType;
    const char* dest;  ///< NUL-terminated name
};

/// Delivery-mode codes.
enum : uint32_t {
    SOLCLIENT_DELIVERY_MODE_DIRECT = 0x00,
    SOLCLIENT_DELIVERY_MODE_PERSISTENT = 0x10,
    SOLCLIENT_DELIVERY_MODE_NONPERSISTENT = 0x20,
};

/// Field type codes of structured containers.
enum solClient_fieldType : int32_t {
    SOLCLIENT_BOOL = 0,
    SOLCLIENT_UINT8 = 1,
    SOLCLIENT_INT8 = 2,
    SOLCLIENT_UINT16 = 3,
    SOLCLIENT_INT16 = 4,
    SOLCLIENT_UINT32 = 5,
    SOLCLIENT_INT32 = 6,
    SOLCLIENT_UINT64 = 7,
    SOLCLIENT_INT64 = 8,
    SOLCLIENT_WCHAR = 9,
    SOLCLIENT_STRING = 10,
    SOLCLIENT_BYTEARRAY = 11,
    SOLCLIENT_FLOAT = 12,
    SOLCLIENT_DOUBLE = 13,
    SOLCLIENT_MAP = 14,
    SOLCLIENT_STREAM = 15,
    SOLCLIENT_NULL = 16,  ///< a field without value
};

/// One field read from a container: 24 bytes, the type code first, the value 8 bytes in.
/// Text, byte-array and container pointers point into the container that was read; they stay
/// valid while that container lives, however many further fields are read.
struct solClient_field {
    solClient_fieldType type;
    uint32_t length;  ///< bytes of the value (strings: including the NUL)
    union {
        solClient_bool_t boolean;
        uint8_t uint8;
        int8_t int8;
        uint16_t uint16;
        int16_t int16;
        uint32_t uint32;
        int32_t int32;
        uint64_t uint64;
        int64_t int64;
        uint16_t wchar;
        const char* string;
        const uint8_t* bytearray;
        float float32;
        double float64;
        solClient_opaqueContainer_pt map;
        solClient_opaqueContainer_pt stream;
        unsigned char reserved[16];
    } value;
};
static_assert(sizeof(solClient_field) == 24, "solClient_field is 24 bytes");
static_assert(offsetof(solClient_field, value) == 8, "the value starts 8 bytes in");

/// The last failure of the calling thread.
struct solClient_errorInfo {
    solClient_returnCode_t subCode;
    int32_t responseCode;
    char errorStr[256];  ///< names the operation and the reason
};
typedef solClient_errorInfo* solClient_errorInfo_pt;

// --- Messages -------------------------------------------------------------------------------------
// A null message or container handle makes any call fail with a non-OK code and change nothing.
// After any failure solClient_getLastErrorInfo() of the failing thread tells what went wrong.

SOLCLIENT_API solClient_returnCode_t solClient_msg_alloc(solClient_opaqueMsg_pt* msg_p);
/// Frees the message and sets *msg_p to null. Maps fetched from it stay readable until closed.
SOLCLIENT_API solClient_returnCode_t solClient_msg_free(solClient_opaqueMsg_pt* msg_p);
/// Writes a readable multi-line text of the message (one "Label: value" line per header field that
/// is set, the user properties, the attachment's length and a hex-and-text view of its first 64
/// bytes), always NUL-terminated within bufferSize. Returns SOLCLIENT_FAIL when it had to truncate.
/// Writes nothing for a null handle or a size of 0.
SOLCLIENT_API solClient_returnCode_t solClient_msg_dump(solClient_opaqueMsg_pt msg, char* buffer,
                                                        size_t bufferSize);
SOLCLIENT_API solClient_errorInfo_pt solClient_getLastErrorInfo(void);

// Header. Setters copy their arguments. Getters lend text owned by the message, valid while it
// lives and the field is unchanged. A getter for a field that is not set returns
// SOLCLIENT_NOT_FOUND and stores an empty value (a null text pointer; for a destination the type
// SOLCLIENT_NULL_DESTINATION and empty text). Every failure records "operation: reason" in the
// calling thread's last error; SOLCLIENT_FAIL changes nothing, out-arguments included.
SOLCLIENT_API solClient_returnCode_t solClient_msg_setDestination(solClient_opaqueMsg_pt msg,
                                                                  solClient_destination* dest,
                                                                  size_t destSize);
SOLCLIENT_API solClient_returnCode_t solClient_msg_getDestination(solClient_opaqueMsg_pt msg,
                                                                  solClient_destination* dest,
                                                                  size_t destSize);
SOLCLIENT_API solClient_returnCode_t solClient_msg_setReplyTo(solClient_opaqueMsg_pt msg,
                                                              solClient_destination* dest,
                                                              size_t destSize);
/// OK exactly when the message has a reply-to destination.
SOLCLIENT_API solClient_returnCode_t solClient_msg_getReplyTo(solClient_opaqueMsg_pt msg,
                                                              solClient_destination* dest,
                                                              size_t destSize);
/// Accepts the three delivery-mode codes only.
SOLCLIENT_API solClient_returnCode_t solClient_msg_setDeliveryMode(solClient_opaqueMsg_pt msg,
                                                                   uint32_t mode);
/// A new message is Direct.
SOLCLIENT_API solClient_returnCode_t solClient_msg_getDeliveryMode(solClient_opaqueMsg_pt msg,
                                                                   uint32_t* mode_p);
SOLCLIENT_API solClient_returnCode_t solClient_msg_setCorrelationId(solClient_opaqueMsg_pt msg,
                                                                    const char* correlationId);
SOLCLIENT_API solClient_returnCode_t solClient_msg_getCorrelationId(solClient_opaqueMsg_pt msg,
                                                                    const char** correlationId_p);
/// Counts from 0; any 32-bit value is stored as given. A new message has class 0. Boolean
/// setters store zero or non-zero; the is*() getters read back 0 or 1.
SOLCLIENT_API solClient_returnCode_t solClient_msg_setClassOfService(solClient_opaqueMsg_pt msg,
                                                                     uint32_t cos);
SOLCLIENT_API solClient_returnCode_t solClient_msg_getClassOfService(solClient_opaqueMsg_pt msg,
                                                                     uint32_t* cos_p);
SOLCLIENT_API solClient_returnCode_t solClient_msg_setElidingEligible(solClient_opaqueMsg_pt msg,
                                                                      solClient_bool_t elide);
/// False for a null handle.
SOLCLIENT_API solClient_bool_t solClient_msg_isElidingEligible(solClient_opaqueMsg_pt msg);
SOLCLIENT_API solClient_returnCode_t solClient_msg_setDeliverToOne(solClient_opaqueMsg_pt msg,
                                                                   solClient_bool_t dto);
SOLCLIENT_API solClient_bool_t solClient_msg_isDeliverToOne(solClient_opaqueMsg_pt msg);
SOLCLIENT_API solClient_returnCode_t solClient_msg_setAsReplyMsg(solClient_opaqueMsg_pt msg,
                                                                 solClient_bool_t isReply);
/// False for a null handle.
SOLCLIENT_API solClient_bool_t solClient_msg_isReplyMsg(solClient_opaqueMsg_pt msg);
SOLCLIENT_API solClient_returnCode_t solClient_msg_setHttpContentType(solClient_opaqueMsg_pt msg,
                                                                      const char* contentType);
SOLCLIENT_API solClient_returnCode_t solClient_msg_getHttpContentType(solClient_opaqueMsg_pt msg,
                                                                      const char** contentType_p);

// User properties: a map owned by the message and lent to callers, never to be closed by them.
// It grows as needed; text and views lent from it stay valid while the message lives.
/// Creates the map, or lends the existing one with its fields. size is a hint: the map grows.
SOLCLIENT_API solClient_returnCode_t solClient_msg_createUserPropertyMap(
    solClient_opaqueMsg_pt msg, solClient_opaqueContainer_pt* map_p, uint32_t size);
/// SOLCLIENT_NOT_FOUND when the message has no user-property map.
SOLCLIENT_API solClient_returnCode_t
solClient_msg_getUserPropertyMap(solClient_opaqueMsg_pt msg, solClient_opaqueContainer_pt* map_p);

// Binary attachment. The setters copy; lengths are 32-bit.
SOLCLIENT_API solClient_returnCode_t solClient_msg_setBinaryAttachment(solClient_opaqueMsg_pt msg,
                                                                       const void* buf,
                                                                       uint32_t size);
/// Lends the bytes, valid while the message lives and its attachment is unchanged. Without an
/// attachment: SOLCLIENT_NOT_FOUND with a null pointer and length 0.
SOLCLIENT_API solClient_returnCode_t
solClient_msg_getBinaryAttachmentPtr(solClient_opaqueMsg_pt msg, void** buf_p, uint32_t* size_p);
/// Copies the container's encoded bytes into the attachment.
SOLCLIENT_API solClient_returnCode_t solClient_msg_setBinaryAttachmentContainer(
    solClient_opaqueMsg_pt msg, solClient_opaqueContainer_pt container);
/// Validates the attachment completely as an encoded map and gives a new read-only handle over it,
/// which the caller closes. The handle keeps the bytes alive: it stays valid after the message is
/// freed or its attachment replaced. Without an attachment: SOLCLIENT_NOT_FOUND; an attachment
/// that is no valid map: SOLCLIENT_FAIL; *map_p is untouched in both cases.
SOLCLIENT_API solClient_returnCode_t solClient_msg_getBinaryAttachmentMap(
    solClient_opaqueMsg_pt msg, solClient_opaqueContainer_pt* map_p);

// --- Containers -----------------------------------------------------------------------------------
// A map or stream made in caller memory holds its whole encoding inside that memory; an add that
// does not fit is refused with SOLCLIENT_FAIL and adds nothing. Maps keep fields in insertion order
// and may hold a name twice. Adds copy their values; the name comes last (null inside a stream).
// Nested containers read by getNextField are read-only and belong to the container they were read
// from: the same field always yields the same handle, rewound. Maps lent by a message belong to it.
// Closing either is refused. Lengths are 32-bit: memory beyond 4 GiB - 1 bytes is never used.

SOLCLIENT_API solClient_returnCode_t
solClient_container_createMap(solClient_opaqueContainer_pt* map_p, char* mem, size_t size);
SOLCLIENT_API solClient_returnCode_t
solClient_container_createStream(solClient_opaqueContainer_pt* stream_p, char* mem, size_t size);
/// Releases a handle the caller created (or fetched with getBinaryAttachmentMap) and sets
/// *container_p to null. The caller's memory is not touched.
SOLCLIENT_API solClient_returnCode_t
solClient_container_closeMapStream(solClient_opaqueContainer_pt* container_p);
SOLCLIENT_API solClient_returnCode_t solClient_container_rewind(solClient_opaqueContainer_pt c);
/// SOLCLIENT_OK per field; SOLCLIENT_EOS after the last. For a map *name_p (if name_p is given)
/// points to the field's NUL-terminated name; inside a stream it is set to null.
SOLCLIENT_API solClient_returnCode_t solClient_container_getNextField(
    solClient_opaqueContainer_pt c, solClient_field* field, size_t fieldSize, const char** name_p);
/// The value of the latest string field of that name in a map; SOLCLIENT_NOT_FOUND when none.
SOLCLIENT_API solClient_returnCode_t solClient_container_getStringPtr(
    solClient_opaqueContainer_pt map, const char** value_p, const char* name);

SOLCLIENT_API solClient_returnCode_t solClient_container_addString(solClient_opaqueContainer_pt c,
                                                                   const char* value,
                                                                   const char* name);
SOLCLIENT_API solClient_returnCode_t solClient_container_addBoolean(solClient_opaqueContainer_pt c,
                                                                    solClient_bool_t value,
                                                                    const char* name);
SOLCLIENT_API solClient_returnCode_t solClient_container_addInt64(solClient_opaqueContainer_pt c,
                                                                  int64_t value, const char* name);
SOLCLIENT_API solClient_returnCode_t solClient_container_addDouble(solClient_opaqueContainer_pt c,
                                                                   double value, const char* name);
/// Copies the sub-container's content into c under the name.
SOLCLIENT_API solClient_returnCode_t solClient_container_addContainer(
    solClient_opaqueContainer_pt c, solClient_opaqueContainer_pt sub, const char* name);
SOLCLIENT_API solClient_returnCode_t solClient_container_addUint8(solClient_opaqueContainer_pt c,
                                                                  uint8_t value, const char* name);
SOLCLIENT_API solClient_returnCode_t solClient_container_addInt8(solClient_opaqueContainer_pt c,
                                                                 int8_t value, const char* name);
SOLCLIENT_API solClient_returnCode_t solClient_container_addUint16(solClient_opaqueContainer_pt c,
                                                                   uint16_t value,
                                                                   const char* name);
SOLCLIENT_API solClient_returnCode_t solClient_container_addInt16(solClient_opaqueContainer_pt c,
                                                                  int16_t value, const char* name);
SOLCLIENT_API solClient_returnCode_t solClient_container_addUint32(solClient_opaqueContainer_pt c,
                                                                   uint32_t value,
                                                                   const char* name);
SOLCLIENT_API solClient_returnCode_t solClient_container_addInt32(solClient_opaqueContainer_pt c,
                                                                  int32_t value, const char* name);
SOLCLIENT_API solClient_returnCode_t solClient_container_addUint64(solClient_opaqueContainer_pt c,
                                                                   uint64_t value,
                                                                   const char* name);
SOLCLIENT_API solClient_returnCode_t solClient_container_addWchar(solClient_opaqueContainer_pt c,
                                                                  uint16_t value, const char* name);
SOLCLIENT_API solClient_returnCode_t solClient_container_addFloat(solClient_opaqueContainer_pt c,
                                                                  float value, const char* name);
SOLCLIENT_API solClient_returnCode_t solClient_container_addByteArray(
    solClient_opaqueContainer_pt c, const uint8_t* value, uint32_t length, const char* name);
SOLCLIENT_API solClient_returnCode_t solClient_container_addNull(solClient_opaqueContainer_pt c,
                                                                 const char* name);

}  // extern "C"
