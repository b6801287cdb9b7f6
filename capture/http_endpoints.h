// The read-only HTTP endpoints beside the SOAP URLs, each enabled by an attribute of the "http"
// element under "soap", all off by default:
//
//   <soap><http metrics="yes" hls="yes" xmltv="yes" json="yes" page="yes"/></soap>
//
// metrics: GET /metrics; hls: GET /hls/...; xmltv: GET /xmltv; json: GET /api/...; page: GET /
// and /page/..., the operator's page, which also turns json on because it is built on it (see
// http_metrics.h, http_hls.h, http_xmltv.h, http_json.h, http_page.h).
#pragma once

#include <string>

namespace Gantry::Web {
class SimpleHTTPServer;
}
namespace Gantry::XML {
class Element;
}

namespace Corvid::Capture {

class Server;

struct HttpEndpoints {
    bool metrics = false;
    bool hls = false;
    bool xmltv = false;
    bool json = false;
    bool page = false;

    // From the "http" child of the "soap" element (Element::none: all off).
    static HttpEndpoints read(const Gantry::XML::Element& soap);
    bool any() const { return metrics || hls || xmltv || json || page; }
};

// Adds the enabled endpoints' handlers to http; server must outlive them.
void add_http_endpoints(Gantry::Web::SimpleHTTPServer& http, Server& server,
                        const HttpEndpoints& endpoints, const std::string& version);

}  // namespace Corvid::Capture
