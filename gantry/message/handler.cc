#include "gantry/message/handler.h"

#include <utility>

namespace Gantry::Message {

Handler::Handler(const XML::Element& config, std::string namespace_uri, std::string prefix,
                 std::string name, bool responds)
    : config_name_(config.name()),
      namespace_uri_(std::move(namespace_uri)),
      prefix_(std::move(prefix)),
      name_(std::move(name)),
      responds_(responds) {}

std::string Handler::request_element_name() const {
    if (name_.empty()) return {};
    return prefix_ + ":" + name_ + "-request";
}

std::unique_ptr<XML::Element> Handler::create_response() const {
    auto response = std::make_unique<XML::Element>(responds_ ? prefix_ + ":" + name_ + "-response"
                                                             : prefix_ + ":ok");
    response->set_attr("xmlns:" + prefix_, namespace_uri_);
    return response;
}

}  // namespace Gantry::Message
