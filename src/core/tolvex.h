// The message model: one message of the messaging library, its header, content type, user
// properties and bodies. Knows nothing of Python.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/api.h"
#include "vendor/solClient.h"

/// Where a message goes, or where its reply goes. Owns its name.
struct TOLVEX_API Destination {
    std::string dest;
    solClient_destinationType dest_type;

    Destination(const std::string& name, solClient_destinationType type);
    /// Copies the record's name; a null name reads as the empty name.
    explicit Destination(solClient_destination record);

    /// A record that borrows this object's name: valid while it lives and `dest` is unchanged.
    solClient_destination to_solClient_destination_t() const;
};

/// Delivery modes, with the library's own codes.
enum DeliveryMode : uint32_t {
    Direct = SOLCLIENT_DELIVERY_MODE_DIRECT,
    Persistent = SOLCLIENT_DELIVERY_MODE_PERSISTENT,
    NonPersistent = SOLCLIENT_DELIVERY_MODE_NONPERSISTENT,
};

/// A borrowed view of an attachment: valid while its message lives and the attachment is unchanged.
struct Bytes {
    const unsigned char* data = nullptr;
    uint32_t length = 0;
};

/// One library message, owned. Setters return the library's code (0 is OK); getters never fail
/// and give a default instead (empty text, empty name, zero bytes, JSON null).
class TOLVEX_API Tolvex {
public:
    /// Allocates a message; a failure is logged and leaves the object empty (`ptr()` is null).
    Tolvex();
    /// Adopts a message handle that the library delivered.
    explicit Tolvex(void* handle);
    /// A complete outgoing message to the topic `destination`, its body coded by `kind` ("json" or
    /// "msgpack"; any other kind sets no body).
    Tolvex(const std::string& destination, const nlohmann::json& body, const std::string& kind,
           bool elide, DeliveryMode mode);
    Tolvex(Tolvex&& other) noexcept;
    Tolvex(const Tolvex&) = delete;
    Tolvex& operator=(const Tolvex&) = delete;
    Tolvex& operator=(Tolvex&&) = delete;
    /// Closes the container, then frees the message.
    ~Tolvex();

    void* ptr() const { return msg; }
    /// The library's text dump: at most 4095 characters.
    std::string dump() const;

    // Header
    solClient_returnCode_t setDestination(const Destination& dest);
    solClient_returnCode_t setDestination(solClient_destination dest);
    Destination getDestination() const;
    solClient_returnCode_t setReplyToDestination(const Destination& dest);
    Destination getReplyToDestination() const;
    solClient_returnCode_t setAsReply(bool reply);
    bool isReply() const;
    /// Has a reply-to destination and is not itself a reply.
    bool isRequest() const;
    /// Addressed point to point: the destination name starts with "#P2P".
    bool isP2P() const;
    solClient_returnCode_t setDeliveryMode(DeliveryMode mode);
    DeliveryMode getDeliveryMode() const;
    solClient_returnCode_t setCorrlationId(const std::string& id);
    std::string getCorrlationId() const;
    /// Classes of service count from 1 here (the library counts from 0).
    solClient_returnCode_t setCOS(unsigned int cos);
    unsigned int getCOS() const;
    solClient_returnCode_t setElidingEligible(bool elide);
    bool isElidingEligible() const;
    solClient_returnCode_t setDeliveryToOne(bool dto);

    // Content type and user properties
    solClient_returnCode_t setContentType(const std::string& contentType);
    /// The user property "ct"; when it is missing, the HTTP content type.
    std::string getContentType() const;
    solClient_returnCode_t addMetaData(const std::string& key, const std::string& value);
    std::string getMetaData(const std::string& key) const;

    // Raw body. Bodies of 4 GiB or more do not fit the library's length and are refused.
    solClient_returnCode_t setBinaryAttachment(const std::string& body);
    solClient_returnCode_t setBinaryAttachment(const void* data, unsigned long size);
    Bytes getBinaryAttachment() const;
    std::string getBinaryAttachmentString() const;
    std::vector<unsigned char> getBinaryAttachmentVector() const;

    // Structured-map body. A map built here lives in the caller's buffer, which must stay valid
    // and unmoved until the container is closed.
    solClient_returnCode_t createContainerMap(char* buffer, unsigned long size);
    solClient_returnCode_t addContainerString(char* buffer, unsigned long size,
                                              const std::string& name, const std::string& value);
    solClient_returnCode_t attachmentContainerMap();
    /// Fetches the attachment's map into the held container (closing any held before) and returns
    /// it; null when the attachment is no map.
    solClient_opaqueContainer_pt getBinaryAttachmentMap();
    /// Closes the held container, if any, so that its buffer may go.
    void closeContainer();

    // JSON and MessagePack bodies, recorded in the content type.
    solClient_returnCode_t setJsonBody(const nlohmann::json& body);
    solClient_returnCode_t setMsgpackBody(const nlohmann::json& body);
    /// The parsed body when the content type is "json" or "application/json", else null.
    nlohmann::json getJsonBody() const;
    /// The decoded body when the content type is "msgpack", else null.
    nlohmann::json getMsgpackBody() const;

private:
    explicit Tolvex(int allocLogLine);

    solClient_opaqueMsg_pt msg = nullptr;
    solClient_opaqueContainer_pt container = nullptr;
};

/// Writes the content type of a raw message handle into its user property "ct".
TOLVEX_API solClient_returnCode_t setMetaContentType(void* msg, const char* contentType);
/// Lends the user property "ct" of a raw message handle; no HTTP fallback.
TOLVEX_API solClient_returnCode_t getMetaContentType(void* msg, const char** contentType);
