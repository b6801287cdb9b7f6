#include "gantry/soap/url_handler.h"

#include "gantry/log/log.h"
#include "gantry/soap/fault.h"
#include "gantry/text/text.h"
#include "gantry/web/http_server.h"

namespace Gantry::SOAP {

namespace {

// The Host header is the client's to choose; one that is not a plain host[:port] stays out of
// the document.
std::string host_of(const Web::HTTPMessage& request) {
    const std::string host = request.headers.get_header("host");
    const bool plain = !host.empty() && host.find_first_not_of(
                                            "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                            "0123456789.-:[]") == std::string::npos;
    return plain ? host : "localhost";
}

}  // namespace

bool URLHandler::handle_request(Web::HTTPMessage& request, Web::HTTPMessage& response,
                                const SSL::ClientDetails& client) {
    if (request.method == "GET" && description_ && Text::to_lower(request.url.query()) == "wsdl") {
        response.headers.put_header("content-type", "text/xml; charset=utf-8");
        response.body = describe(*description_, "http://" + host_of(request) + request.url.path());
        return true;
    }
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

std::string URLHandler::describe(const std::string& description,
                                 const std::string& location) const {
    return substitute(description, "location", location);
}

std::string URLHandler::substitute(std::string text, std::string_view key, std::string_view value) {
    const std::string token = "${" + std::string(key) + "}";
    for (size_t at = text.find(token); at != std::string::npos;
         at = text.find(token, at + value.size()))
        text.replace(at, token.size(), value);
    return text;
}

void URLHandler::send_fault(Message& response, int code, std::string_view reason) {
    Fault fault(code, reason);
    Log::Error() << "SOAP Fault: " << Fault::code_name(code) << ": " << reason << std::endl;
    response.take_document(fault);
}

}  // namespace Gantry::SOAP
