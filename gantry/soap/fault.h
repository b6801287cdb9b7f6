// SOAP::Fault: a SOAP 1.2 fault envelope, and the two faults with fixed header blocks.
//
//   env:Body/env:Fault/env:Code/env:Value            the code name ("env:Sender")
//                     /env:Code/env:Subcode/env:Value an optional further code
//                     /env:Reason/env:Text            the reason, xml:lang="en"
//                     /env:Node, env:Role, env:Detail optional
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "gantry/soap/message.h"

namespace Gantry::SOAP {

class Fault : public Message {
  public:
    enum Code {
        VERSION_MISMATCH = 0,
        MUST_UNDERSTAND = 1,
        DATA_ENCODING_UNKNOWN = 2,
        SENDER = 3,
        RECEIVER = 4,
        UNKNOWN = 5,
    };

    Fault(int code, std::string_view reason, std::string_view subcode = {});
    ~Fault() override;

    // "env:Sender" for SENDER; "UNKNOWN!" for a number outside 0-4.
    static const char* code_name(int code);
    // The reverse; UNKNOWN for any other name.
    static Code code_of(std::string_view name);

    // What a received fault says; fault is its "env:Fault" element.
    static Code code_of(const XML::Element& fault);
    static std::string reason_of(const XML::Element& fault);

    // The optional parts; each replaces an earlier one.
    void set_node(std::string uri) { set_part("env:Node", std::move(uri)); }
    void set_role(std::string uri) { set_part("env:Role", std::move(uri)); }
    XML::Element& detail() { return fault().make_child("env:Detail"); }

  private:
    XML::Element& fault() const { return body().get_child("env:Fault"); }
    void set_part(const char* name, std::string value);
};

// Code VersionMismatch, with an "env:Upgrade" header naming SOAP 1.2 as the envelope supported.
class VersionMismatchFault : public Fault {
  public:
    VersionMismatchFault();
};

// Code MustUnderstand, with an "env:NotUnderstood" header block for each block not understood.
class MustUnderstandFault : public Fault {
  public:
    explicit MustUnderstandFault(const std::vector<HeaderBlock>& not_understood);
};

}  // namespace Gantry::SOAP
