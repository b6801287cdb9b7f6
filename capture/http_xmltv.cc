#include "capture/http_xmltv.h"

#include <sstream>

#include "epg/xmltv.h"
#include "gantry/web/http_server.h"

namespace Corvid::Capture {

bool XmltvHandler::handle_request(Gantry::Web::HTTPMessage& request,
                                  Gantry::Web::HTTPMessage& response,
                                  const Gantry::SSL::ClientDetails&) {
    if (request.method != "GET" && request.method != "HEAD")
        return Gantry::Web::HTTPServer::error(response, 405, "Method not allowed");
    std::ostringstream out;
    write_xmltv(store_, "cv-captured", out);
    response.body = out.str();
    response.headers.put_header("content-type", "application/xml; charset=utf-8");
    return true;
}

}  // namespace Corvid::Capture
