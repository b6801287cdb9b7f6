// SOAP::Message: a SOAP envelope held as an XML tree. Whatever prefix a sender chose, a parsed
// envelope uses the prefix "env" for the SOAP 1.1, SOAP 1.2 and SOAP 1.2 draft envelope
// namespaces, so it is read through fixed names ("env:Envelope", "env:Body", "env:role").
//
// Threading: one thread at a time per message.
#pragma once

#include <iosfwd>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "gantry/soap/namespaces.h"
#include "gantry/xml/element.h"

namespace Gantry::SOAP {

// Extra namespace URI to prefix mappings for parsing, beside the envelope's.
using NamespaceMap = std::map<std::string, std::string>;

// A child of "env:Header", as the receiver sees it.
struct HeaderBlock {
    XML::Element* element;
    // ROLE_ULTIMATE_RECEIVER when "env:role" is absent.
    std::string role;
    bool must_understand;
    bool relay;
};

class Message {
  public:
    // An envelope of that version: "xmlns:env" and an empty "env:Header" and "env:Body".
    explicit Message(std::string_view envelope_uri = SOAP_1_1_ENVELOPE);
    // Parses text. On an XML error (written to errors by the parser), a root other than
    // "env:Envelope" ("Incorrect SOAP envelope: " and its name) or no "env:Body" ("SOAP message
    // has no Body"), the message is invalid.
    Message(std::string_view text, std::ostream& errors, const NamespaceMap& namespaces = {});
    virtual ~Message();
    Message(const Message&) = delete;
    Message& operator=(const Message&) = delete;

    bool valid() const { return document_ != nullptr; }
    // The envelope; Element::none when invalid.
    XML::Element& envelope() const { return document_ ? *document_ : XML::Element::none; }
    XML::Element& body() const { return envelope().get_child("env:Body"); }

    // The element children of "env:Body", in order.
    std::vector<XML::Element*> body_elements() const;
    // The first of them, or Element::none.
    XML::Element& first_body_element() const;
    XML::Element& add_body_element(std::unique_ptr<XML::Element> element);

    std::vector<HeaderBlock> header_blocks() const;
    // Appends to the first "env:Header" (made at the end of the envelope if missing), with
    // "env:role" unless the role is the ultimate receiver, and "env:mustUnderstand" and
    // "env:relay" only when set.
    XML::Element& add_header_block(std::unique_ptr<XML::Element> element,
                                   std::string_view role = ROLE_ULTIMATE_RECEIVER,
                                   bool must_understand = false, bool relay = false);

    // Declares soapenc, wsdl, wsdlsoap, xsd and xsi on the envelope.
    void declare_common_namespaces();

    // The envelope's text, without XML declaration; empty when invalid.
    std::string to_string() const;

    // The envelope namespace the envelope declares for "env", or "" if it declares none.
    std::string envelope_uri() const { return envelope().get_attr("xmlns:env"); }

    // Takes other's envelope in place of this one's (the response becomes a fault).
    void take_document(Message& other) { document_ = std::move(other.document_); }

  private:
    std::unique_ptr<XML::Element> document_;
};

}  // namespace Gantry::SOAP
