// Arbitrary bodies posted to a SOAP URL handler: parsed as SOAP::Message and, when they are
// envelopes, handed to a handler that copies its request into the answer. Whatever the handler
// answers must parse again as an envelope.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <ostream>
#include <string>

#include "gantry/message/handler.h"
#include "gantry/soap/message_transport.h"

namespace {

using namespace Gantry;

struct Copy : Message::Handler {
    explicit Copy(XML::Element& config) : Handler(config, "urn:fuzz", "f", "copy", true) {}
    std::string handle(const XML::Element& request, const Message::SourceContext&,
                       XML::Element& response) const override {
        response.add(request.deep_copy());
        return request.get_attr("fail");
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static XML::Element config("copy");
    static Copy handler(config);
    static SOAP::MessageTransportURLHandler url("/copy", handler);
    Web::HTTPMessage request, response;
    request.method = "POST";
    request.url = "/copy";
    request.body.assign(reinterpret_cast<const char*>(data), size);
    url.handle_request(request, response, SSL::ClientDetails{});
    if (response.code == 200) {
        std::ostream nowhere(nullptr);
        if (!SOAP::Message(response.body, nowhere).valid()) std::abort();
    }
    return 0;
}
