// Message::Handler: answers the request documents of one name, whichever transport they came by.
//
// A request element is named prefix ':' name "-request" (cv:capture-start-request); the handler
// reads it, appends its results to the response element the transport made for it, and returns
// an empty text for success or the text of the fault to send.
//
// Threading: handle() runs on transport threads, concurrently on the same object, so handlers
// keep no per-request state in their fields.
#pragma once

#include <memory>
#include <string>

#include "gantry/message/source_context.h"
#include "gantry/xml/element.h"

namespace Gantry::Message {

class Handler {
  public:
    // config: the element the handler was created from (its name is the request name it was
    // registered under). An empty name turns the transports' document name check off.
    Handler(const XML::Element& config, std::string namespace_uri, std::string prefix,
            std::string name, bool responds);
    Handler(const Handler&) = delete;
    Handler& operator=(const Handler&) = delete;

    virtual std::string handle(const XML::Element& request, const SourceContext& source,
                               XML::Element& response) const = 0;
    virtual ~Handler() = default;

    const std::string& config_name() const { return config_name_; }
    const std::string& name() const { return name_; }
    // Whether success returns the response element (true) or a plain acknowledgement.
    bool responds() const { return responds_; }
    const std::string& prefix() const { return prefix_; }
    const std::string& namespace_uri() const { return namespace_uri_; }

    // prefix ':' name "-request"; empty for an empty name.
    std::string request_element_name() const;
    // A fresh response element declaring the prefix: prefix ':' name "-response" when the
    // handler responds, else the acknowledgement prefix ":ok".
    std::unique_ptr<XML::Element> create_response() const;

  private:
    const std::string config_name_;
    const std::string namespace_uri_;
    const std::string prefix_;
    const std::string name_;
    const bool responds_;
};

}  // namespace Gantry::Message
