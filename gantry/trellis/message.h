// Trellis::Message: a bus message, a SOAP 1.2 envelope with one routing header block and one
// content element in the body:
//
//   <env:Envelope xmlns:env="http://www.w3.org/2003/05/soap-envelope"
//   xmlns:x="urn:gantry:trellis:1">
//     <env:Header>
//       <x:routing env:role=".../role/next" env:mustUnderstand="true" env:relay="true"
//                  x:id="32 hex digits" x:subject="capture.list.request" x:rsvp="true"
//                  x:ref="id of the message answered"/>
//     </env:Header>
//     <env:Body><cv:capture-list-request .../></env:Body>
//   </env:Envelope>
//
// x:rsvp is present only when a reply is wanted, x:ref only in replies. A parsed message uses
// the prefix x whatever prefix its sender bound to the bus namespace.
//
// Threading: one thread at a time per message.
#pragma once

#include <iosfwd>
#include <memory>
#include <string>
#include <string_view>

#include "gantry/soap/message.h"
#include "gantry/xml/element.h"

namespace Gantry::Trellis {

// 16 bytes from /dev/urandom as 32 lower-case hex digits. Throws std::runtime_error when the
// device cannot be read: ids that might repeat would misroute replies.
std::string random_id();

class Message : public SOAP::Message {
  public:
    // A new message with a fresh id; content (may be null) becomes the body element.
    Message(std::string_view subject, std::unique_ptr<XML::Element> content, bool rsvp = false,
            std::string_view ref = {});
    ~Message() override;

    // Null, with the reason on errors, unless text is a SOAP envelope with a routing block.
    // namespaces map further URIs to prefixes (a handler's namespace to its prefix).
    static std::unique_ptr<Message> parse(std::string_view text, std::ostream& errors,
                                          const SOAP::NamespaceMap& namespaces = {});

    // The acknowledgement of a request: "trellis.ok" with body x:ok.
    static std::unique_ptr<Message> ok(std::string_view ref);
    // A SOAP fault in the body, subject "trellis.fault".
    static std::unique_ptr<Message> fault(int code, std::string_view reason, std::string_view ref);

    std::string id() const { return routing().get_attr("x:id"); }
    std::string subject() const { return routing().get_attr("x:subject"); }
    bool rsvp() const { return routing().get_attr("x:rsvp") == "true"; }
    std::string ref() const { return routing().get_attr("x:ref"); }
    void set_rsvp(bool rsvp);
    void set_ref(std::string_view ref);

    // The body element; Element::none when the body is empty.
    XML::Element& content() const { return first_body_element(); }
    // The body's env:Fault, or Element::none.
    XML::Element& fault_element() const { return body().get_child("env:Fault"); }

  private:
    explicit Message(std::string_view text, std::ostream& errors,
                     const SOAP::NamespaceMap& namespaces);
    XML::Element& routing() const {
        return envelope().get_child("env:Header").get_child("x:routing");
    }
};

}  // namespace Gantry::Trellis
