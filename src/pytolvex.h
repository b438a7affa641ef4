// The message as Python code sees it: Python values in, Python values out, with JSON and
// MessagePack bodies coded by the Python packages orjson and msgpack.
#pragma once

#include <string>

#include <nlohmann/json.hpp>
#include <pybind11/pybind11.h>

#include "core/tolvex.h"

/// The cached codec callables. Each imports its package at first use and keeps the callable for
/// the life of the process; a failed import leaves the slot empty, so the next use tries again.
TOLVEX_API pybind11::handle get_json_loadsf();
TOLVEX_API pybind11::handle get_json_dumpsf();
TOLVEX_API pybind11::handle get_msgpack_loadsf();
TOLVEX_API pybind11::handle get_msgpack_dumpsf();

class TOLVEX_API PyTolvex {
public:
    /// Allocates a new message.
    PyTolvex();
    /// Adopts a message handle that the library delivered.
    explicit PyTolvex(void* handle);
    /// A complete outgoing message, its body coded natively by `kind` ("json" or "msgpack").
    PyTolvex(const std::string& destination, const nlohmann::json& body, const std::string& kind);
    /// Takes over the message; `other` is left empty.
    explicit PyTolvex(Tolvex& other);

    std::string dump();
    void* ptr();

    Destination getDestination();
    void setDestination(const Destination& dest);
    Destination getReplyToDestination();
    void setReplyToDestination(const Destination& dest);
    bool isReply();
    void setAsReply(bool reply);
    bool isRequest();
    bool isP2P();
    DeliveryMode getDeliveryMode();
    void setDeliveryMode(DeliveryMode mode);
    std::string getContentType();
    void setContentType(const std::string& contentType);
    bool isElidingEligible();
    void setElidingEligible(bool elide);
    unsigned int getCOS();
    void setCOS(unsigned int cos);
    std::string getCorrlationId();
    void setCorrlationId(const std::string& id);
    void setDeliveryToOne(bool dto);

    /// A copy of the attachment.
    pybind11::bytes getBinaryAttachment();
    /// Stores the bytes' contents; bodies of 4 GiB or more raise ValueError and change nothing.
    void setBinaryAttachment(const pybind11::bytes& body);

    pybind11::dict getJsonBody();
    void setJsonBody(const pybind11::dict& body);
    pybind11::dict getMsgpackBody();
    void setMsgpackBody(const pybind11::dict& body);

    /// The whole message as one dict, chosen by its content type and destination. Lets the
    /// interpreter lock go for the library reads; expects it held on entry.
    pybind11::dict to_dict();
    /// Writes `dict` as the body in the encoding `kind` names and records `kind` as the content
    /// type. Expects the interpreter lock held on entry.
    void from_dict(const pybind11::dict& dict, const std::string& kind);

private:
    void setEncodedBody(const pybind11::object& encoded, const char* contentType);

    Tolvex msg;
};
