// A receive loop as a native application writes it: the messaging library delivers message
// handles, the application adopts each one as a PyTolvex and hands it, with its body as a dict, to
// a Python callback that receives a tolvex.Tolvex.
#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include <pybind11/embed.h>

#include "pytolvex.h"
#include "vendor/solClient.h"

namespace py = pybind11;
using namespace py::literals;

namespace {

// The application's Python side. It also reports which libsolclient.so files the process maps, so
// that the program can check that it and the module share one library.
const char* const kPython = R"(
import os
import sys

import tolvex


def on_message(msg, body):
    assert isinstance(msg, tolvex.Tolvex)
    print(f"python: {msg.dest.dest} [{msg.content_type}] {body}")
    return (msg.dest.dest, msg.content_type, body["order"])


def solclient_files():
    if sys.platform != "linux":
        return None
    with open("/proc/self/maps") as maps:
        found = {line.split()[-1] for line in maps if line.rstrip().endswith("/libsolclient.so")}
    return sorted(os.path.realpath(path) for path in found)


def module_solclient():
    return os.path.realpath(os.path.join(os.path.dirname(tolvex.__file__), "libsolclient.so"))
)";

struct Delivery {
    std::string topic;
    std::string contentType;  // "sdt": a structured map; "json": JSON text
    std::string order;
    int64_t qty;
};

void check(bool ok, const std::string& what) {
    if (!ok) throw std::runtime_error(what);
}

// What the library hands a receiver: a message with a destination, a body and a content type.
solClient_opaqueMsg_pt deliver(const Delivery& d) {
    solClient_opaqueMsg_pt msg = nullptr;
    check(solClient_msg_alloc(&msg) == SOLCLIENT_OK, "solClient_msg_alloc failed");
    solClient_destination dest{SOLCLIENT_TOPIC_DESTINATION, d.topic.c_str()};
    check(solClient_msg_setDestination(msg, &dest, sizeof dest) == SOLCLIENT_OK, "setDestination");
    if (d.contentType == "sdt") {
        std::vector<char> area(1024);
        solClient_opaqueContainer_pt map = nullptr;
        check(solClient_container_createMap(&map, area.data(), area.size()) == SOLCLIENT_OK,
              "createMap");
        check(solClient_container_addString(map, d.order.c_str(), "order") == SOLCLIENT_OK,
              "addString");
        check(solClient_container_addInt64(map, d.qty, "qty") == SOLCLIENT_OK, "addInt64");
        check(solClient_msg_setBinaryAttachmentContainer(msg, map) == SOLCLIENT_OK,
              "setBinaryAttachmentContainer");
        solClient_container_closeMapStream(&map);
    } else {
        const std::string text =
            R"({"order":")" + d.order + R"(","qty":)" + std::to_string(d.qty) + "}";
        check(solClient_msg_setBinaryAttachment(msg, text.data(),
                                                static_cast<uint32_t>(text.size())) == SOLCLIENT_OK,
              "setBinaryAttachment");
    }
    check(setMetaContentType(msg, d.contentType.c_str()) == SOLCLIENT_OK, "setMetaContentType");
    return msg;
}

int run() {
    py::module_::import("tolvex");  // registers tolvex.Tolvex, the Python type of PyTolvex
    py::object ns = py::module_::import("__main__").attr("__dict__");
    py::exec(kPython, ns);
    py::object onMessage = ns["on_message"];

    const std::vector<Delivery> deliveries = {
        {"orders/new", "sdt", "A-7", 3},
        {"orders/new", "json", "B-2", 12},
    };
    for (const Delivery& d : deliveries) {
        void* handle = deliver(d);
        PyTolvex message(handle);  // owns the handle from here on
        py::dict body = message.to_dict();
        check(body.equal(py::dict("order"_a = d.order, "qty"_a = d.qty)),
              "to_dict gave " + py::repr(body).cast<std::string>());

        // pybind11 moves the message into an instance it owns; the handle goes with it.
        py::object msg = py::cast(std::move(message));
        check(msg.cast<PyTolvex&>().ptr() == handle, "the Python object holds another handle");
        const auto result = onMessage(msg, body).cast<py::tuple>();
        check(result.equal(py::make_tuple(d.topic, d.contentType, d.order)),
              "the callback saw " + py::repr(result).cast<std::string>());
    }

    const py::object files = ns["solclient_files"]();
    if (!files.is_none()) {
        const py::object expected = py::make_tuple(ns["module_solclient"]());
        check(py::tuple(files).equal(expected),
              "libsolclient.so mapped: " + py::repr(files).cast<std::string>() + ", module uses " +
                  py::repr(expected).cast<std::string>());
    }
    std::printf("native_receiver: %zu messages handed to Python\n", deliveries.size());
    return 0;
}

}  // namespace

int main() {
    try {
        const py::scoped_interpreter python;
        try {
            return run();
        } catch (const std::exception& e) {
            // Reported here: a Python error's text needs the interpreter alive.
            std::fprintf(stderr, "native_receiver: %s\n", e.what());
            return 1;
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "native_receiver: no interpreter: %s\n", e.what());
        return 1;
    }
}
