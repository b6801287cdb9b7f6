#include "gantry/soap/message.h"

#include <ostream>
#include <utility>

#include "gantry/xml/parser.h"

namespace Gantry::SOAP {

Message::Message(std::string_view envelope_uri)
    : document_(std::make_unique<XML::Element>("env:Envelope")) {
    document_->set_attr("xmlns:env", std::string(envelope_uri));
    document_->add("env:Header");
    document_->add("env:Body");
}

Message::Message(std::string_view text, std::ostream& errors, const NamespaceMap& namespaces) {
    XML::Parser parser(errors);
    for (const char* uri : {SOAP_1_1_ENVELOPE, SOAP_1_2_ENVELOPE, SOAP_1_2_DRAFT_ENVELOPE})
        parser.map_namespace(uri, "env");
    for (const auto& [uri, prefix] : namespaces)
        parser.map_namespace(uri, prefix);
    try {
        parser.read(text);
    } catch (const XML::ParseFailed&) {
        return;
    }
    std::unique_ptr<XML::Element> root = parser.detach_root();
    if (root->name() != "env:Envelope") {
        errors << "Incorrect SOAP envelope: " << root->name() << std::endl;
        return;
    }
    if (&root->get_child("env:Body") == &XML::Element::none) {
        errors << "SOAP message has no Body" << std::endl;
        return;
    }
    document_ = std::move(root);
}

Message::~Message() = default;

std::vector<XML::Element*> Message::body_elements() const {
    std::vector<XML::Element*> elements;
    for (const auto& child : body().children())
        if (!child->is_text()) elements.push_back(child.get());
    return elements;
}

XML::Element& Message::first_body_element() const {
    for (const auto& child : body().children())
        if (!child->is_text()) return *child;
    return XML::Element::none;
}

XML::Element& Message::add_body_element(std::unique_ptr<XML::Element> element) {
    return body().add(std::move(element));
}

std::vector<HeaderBlock> Message::header_blocks() const {
    std::vector<HeaderBlock> blocks;
    for (const auto& child : envelope().get_child("env:Header").children()) {
        if (child->is_text()) continue;
        blocks.push_back({child.get(), child->get_attr("env:role", ROLE_ULTIMATE_RECEIVER),
                          child->get_attr_bool("env:mustUnderstand"),
                          child->get_attr_bool("env:relay")});
    }
    return blocks;
}

XML::Element& Message::add_header_block(std::unique_ptr<XML::Element> element,
                                        std::string_view role, bool must_understand, bool relay) {
    if (role != ROLE_ULTIMATE_RECEIVER) element->set_attr("env:role", std::string(role));
    if (must_understand) element->set_attr("env:mustUnderstand", "true");
    if (relay) element->set_attr("env:relay", "true");
    XML::Element* header = &envelope().get_child("env:Header");
    if (header == &XML::Element::none) header = &envelope().add("env:Header");
    return header->add(std::move(element));
}

void Message::declare_common_namespaces() {
    XML::Element& root = envelope();
    root.set_attr("xmlns:soapenc", SOAP_1_1_ENCODING);
    root.set_attr("xmlns:wsdl", WSDL_1_1);
    root.set_attr("xmlns:wsdlsoap", WSDL_1_1_SOAP);
    root.set_attr("xmlns:xsd", XML_SCHEMA);
    root.set_attr("xmlns:xsi", XML_SCHEMA_INSTANCE);
}

std::string Message::to_string() const {
    return document_ ? document_->to_string() : std::string();
}

}  // namespace Gantry::SOAP
