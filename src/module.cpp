// The module tolvex: its registrations, in their order. Enumerations come first, since the
// Destination constructor's default and the Tolvex signatures are converted through them.
#include <pybind11/pybind11.h>

#include "pytolvex.h"

namespace py = pybind11;

PYBIND11_MODULE(tolvex, m) {
    m.doc() = "\n\n  ";

    py::enum_<solClient_destinationType>(m, "DestinationType", py::arithmetic(),
                                         "Solace Msg DestinationType")
        .value("Null", SOLCLIENT_NULL_DESTINATION, "Null")
        .value("Topic", SOLCLIENT_TOPIC_DESTINATION, "Topic")
        .value("Queue", SOLCLIENT_QUEUE_DESTINATION, "Queue")
        .value("TopicTemp", SOLCLIENT_TOPIC_TEMP_DESTINATION, "TopicTemp")
        .value("QueueTemp", SOLCLIENT_QUEUE_TEMP_DESTINATION, "QueueTemp")
        .export_values();

    py::enum_<DeliveryMode>(m, "DeliveryMode", py::arithmetic(), "Solace Msg DeliveryMode")
        .value("Direct", Direct, "Direct")
        .value("Persistent", Persistent, "Persistent")
        .value("NonPersistent", NonPersistent, "NonPersistent")
        .export_values();

    py::class_<Destination>(m, "Destination")
        .def(py::init<const std::string&, solClient_destinationType>(), py::arg("dest"),
             py::arg("dest_type") = SOLCLIENT_TOPIC_DESTINATION)
        .def_readwrite("dest_type", &Destination::dest_type)
        .def_readwrite("dest", &Destination::dest);

    py::class_<PyTolvex>(m, "Tolvex")
        .def(py::init<>())
        .def("__repr__", &PyTolvex::dump)
        .def_property("dest", &PyTolvex::getDestination, &PyTolvex::setDestination)
        .def_property("reply2", &PyTolvex::getReplyToDestination, &PyTolvex::setReplyToDestination)
        .def_property("is_reply", &PyTolvex::isReply, &PyTolvex::setAsReply)
        .def_property_readonly("is_request", &PyTolvex::isRequest)
        .def_property_readonly("is_p2p", &PyTolvex::isP2P)
        .def_property("delivery_mode", &PyTolvex::getDeliveryMode, &PyTolvex::setDeliveryMode)
        .def_property("content_type", &PyTolvex::getContentType, &PyTolvex::setContentType)
        .def_property("elide", &PyTolvex::isElidingEligible, &PyTolvex::setElidingEligible)
        .def_property("cos", &PyTolvex::getCOS, &PyTolvex::setCOS)
        .def_property("json", &PyTolvex::getJsonBody, &PyTolvex::setJsonBody)
        .def_property("msgpack", &PyTolvex::getMsgpackBody, &PyTolvex::setMsgpackBody)
        .def_property("body", &PyTolvex::getBinaryAttachment, &PyTolvex::setBinaryAttachment);
}
