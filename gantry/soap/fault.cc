#include "gantry/soap/fault.h"

#include <array>
#include <utility>

namespace Gantry::SOAP {
namespace {

constexpr std::array<const char*, 5> CODE_NAMES = {"env:VersionMismatch", "env:MustUnderstand",
                                                   "env:DataEncodingUnknown", "env:Sender",
                                                   "env:Receiver"};

// The declaration of a qualified name's prefix, from the element or its nearest ancestor that
// has one; empty when none is in sight.
std::string prefix_uri(const XML::Element& element, const std::string& qname) {
    const auto colon = qname.find(':');
    if (colon == std::string::npos) return {};
    const std::string attribute = "xmlns:" + qname.substr(0, colon);
    for (const XML::Element* at = &element; at != nullptr; at = at->parent())
        if (at->has_attr(attribute)) return at->get_attr(attribute);
    return {};
}

}  // namespace

Fault::Fault(int code, std::string_view reason, std::string_view subcode)
    : Message(SOAP_1_2_ENVELOPE) {
    envelope().set_attr("xmlns:xml", XML_NAMESPACE);
    XML::Element& fault = body().add("env:Fault");
    XML::Element& code_element = fault.add("env:Code");
    code_element.add("env:Value", code_name(code));
    if (!subcode.empty()) code_element.add("env:Subcode").add("env:Value", std::string(subcode));
    fault.add("env:Reason").add("env:Text", std::string(reason)).set_attr("xml:lang", "en");
}

Fault::~Fault() = default;

const char* Fault::code_name(int code) {
    return code >= 0 && code < static_cast<int>(CODE_NAMES.size()) ? CODE_NAMES[code] : "UNKNOWN!";
}

Fault::Code Fault::code_of(std::string_view name) {
    for (size_t i = 0; i < CODE_NAMES.size(); ++i)
        if (name == CODE_NAMES[i]) return static_cast<Code>(i);
    return UNKNOWN;
}

Fault::Code Fault::code_of(const XML::Element& fault) {
    return code_of(fault.get_child("env:Code").get_child("env:Value").get_content());
}

std::string Fault::reason_of(const XML::Element& fault) {
    return fault.get_child("env:Reason").get_child("env:Text").get_content();
}

void Fault::set_part(const char* name, std::string value) {
    XML::Element& part = fault().make_child(name);
    part.clear_children();
    part.set_content(std::move(value));
}

VersionMismatchFault::VersionMismatchFault() : Fault(VERSION_MISMATCH, "Version Mismatch") {
    auto upgrade = std::make_unique<XML::Element>("env:Upgrade");
    XML::Element& supported = upgrade->add("env:SupportedEnvelope");
    supported.set_attr("qname", "ns1:Envelope");
    supported.set_attr("xmlns:ns1", SOAP_1_2_ENVELOPE);
    add_header_block(std::move(upgrade));
}

MustUnderstandFault::MustUnderstandFault(const std::vector<HeaderBlock>& not_understood)
    : Fault(MUST_UNDERSTAND, "Mandatory header blocks not understood") {
    for (const HeaderBlock& block : not_understood) {
        auto element = std::make_unique<XML::Element>("env:NotUnderstood");
        const std::string& qname = block.element->name();
        element->set_attr("qname", qname);
        // The qname means nothing to the sender unless its prefix is declared where it is read.
        const std::string uri = prefix_uri(*block.element, qname);
        if (!uri.empty()) element->set_attr("xmlns:" + qname.substr(0, qname.find(':')), uri);
        add_header_block(std::move(element));
    }
}

}  // namespace Gantry::SOAP
