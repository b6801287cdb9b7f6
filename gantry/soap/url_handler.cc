#include "gantry/soap/url_handler.h"

#include "gantry/log/log.h"
#include "gantry/soap/fault.h"
#include "gantry/web/http_server.h"

namespace Gantry::SOAP {

bool URLHandler::handle_request(Web::HTTPMessage& request, Web::HTTPMessage& response,
                                const SSL::ClientDetails& client) {
    if (request.method != "POST") {
        Log::Error() << "SOAP server received bad request method: " << request.method << std::endl;
        return Web::HTTPServer::error(response, 405, "Method not allowed");
    }
    Log::Error errors;
    Message message(request.body, errors, namespaces_);
    if (!message.valid()) return Web::HTTPServer::error(response, 400, "Bad Request");

    Message answer(SOAP_1_1_ENVELOPE);
    if (!handle_message(message, answer, request, response, client)) return false;
    response.headers.put_header("content-type", answer.envelope_uri() == SOAP_1_1_ENVELOPE
                                                    ? "text/xml; charset=utf-8"
                                                    : "application/soap+xml; charset=utf-8");
    response.body = answer.to_string();
    return true;
}

void URLHandler::send_fault(Message& response, int code, std::string_view reason) {
    Fault fault(code, reason);
    Log::Error() << "SOAP Fault: " << Fault::code_name(code) << ": " << reason << std::endl;
    response.take_document(fault);
}

}  // namespace Gantry::SOAP
