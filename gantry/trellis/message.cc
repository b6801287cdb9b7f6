#include "gantry/trellis/message.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <ostream>
#include <stdexcept>

#include "gantry/soap/fault.h"
#include "gantry/soap/namespaces.h"
#include "gantry/text/text.h"
#include "gantry/trellis/namespaces.h"

namespace Gantry::Trellis {

std::string random_id() {
    // Opened once and never closed: ids are made from any thread, up to the end of static
    // destruction (a transport leaving its subjects), and read() on a shared descriptor is safe.
    static const int device = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    unsigned char bytes[16];
    size_t got = 0;
    while (got < sizeof bytes) {
        const ssize_t result = ::read(device, bytes + got, sizeof bytes - got);
        if (result <= 0 && errno != EINTR) throw std::runtime_error("can't read /dev/urandom");
        if (result > 0) got += static_cast<size_t>(result);
    }
    return Text::bytes_to_hex(bytes, sizeof bytes);
}

Message::Message(std::string_view subject, std::unique_ptr<XML::Element> content, bool rsvp,
                 std::string_view ref)
    : SOAP::Message(SOAP::SOAP_1_2_ENVELOPE) {
    envelope().set_attr("xmlns:x", NAMESPACE);
    auto routing = std::make_unique<XML::Element>("x:routing");
    routing->set_attr("x:id", random_id());
    routing->set_attr("x:subject", std::string(subject));
    add_header_block(std::move(routing), SOAP::ROLE_NEXT, true, true);
    set_rsvp(rsvp);
    set_ref(ref);
    if (content) add_body_element(std::move(content));
}

Message::Message(std::string_view text, std::ostream& errors, const SOAP::NamespaceMap& namespaces)
    : SOAP::Message(text, errors, namespaces) {}

Message::~Message() = default;

std::unique_ptr<Message> Message::parse(std::string_view text, std::ostream& errors,
                                        const SOAP::NamespaceMap& namespaces) {
    SOAP::NamespaceMap mapped = namespaces;
    mapped.emplace(NAMESPACE, PREFIX);
    std::unique_ptr<Message> message(new Message(text, errors, mapped));
    if (!message->valid()) return nullptr;
    if (&message->routing() == &XML::Element::none) {
        errors << "Bus message has no routing header" << std::endl;
        return nullptr;
    }
    return message;
}

std::unique_ptr<Message> Message::ok(std::string_view ref) {
    return std::make_unique<Message>(SUBJECT_OK, std::make_unique<XML::Element>("x:ok"), false,
                                     ref);
}

std::unique_ptr<Message> Message::fault(int code, std::string_view reason, std::string_view ref) {
    SOAP::Fault fault(code, reason);
    auto message = std::make_unique<Message>(SUBJECT_FAULT, nullptr, false, ref);
    message->add_body_element(fault.body().get_child("env:Fault").detach());
    return message;
}

void Message::set_rsvp(bool rsvp) {
    if (rsvp) {
        routing().set_attr("x:rsvp", "true");
    } else {
        routing().remove_attr("x:rsvp");
    }
}

void Message::set_ref(std::string_view ref) {
    if (ref.empty()) {
        routing().remove_attr("x:ref");
    } else {
        routing().set_attr("x:ref", std::string(ref));
    }
}

}  // namespace Gantry::Trellis
