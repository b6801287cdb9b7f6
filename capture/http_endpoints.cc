#include "capture/http_endpoints.h"

#include "capture/http_hls.h"
#include "capture/http_json.h"
#include "capture/http_metrics.h"
#include "capture/http_page.h"
#include "capture/http_xmltv.h"
#include "capture/server.h"
#include "gantry/web/simple_http_server.h"
#include "gantry/xml/element.h"

namespace Corvid::Capture {

HttpEndpoints HttpEndpoints::read(const Gantry::XML::Element& soap) {
    const Gantry::XML::Element& http = soap.get_child("http");
    HttpEndpoints endpoints{http.get_attr_bool("metrics"), http.get_attr_bool("hls"),
                            http.get_attr_bool("xmltv"), http.get_attr_bool("json"),
                            http.get_attr_bool("page")};
    endpoints.json = endpoints.json || endpoints.page;
    return endpoints;
}

void add_http_endpoints(Gantry::Web::SimpleHTTPServer& http, Server& server,
                        const HttpEndpoints& endpoints, const std::string& version) {
    if (endpoints.metrics) http.add(std::make_unique<MetricsHandler>(server, version));
    if (endpoints.hls)
        http.add(
            std::make_unique<HlsHandler>([&server](const std::string& id, PlaylistSettings& out) {
                return server.playlist_settings_of(id, out);
            }));
    if (endpoints.xmltv) http.add(std::make_unique<XmltvHandler>(server.epg_store()));
    if (endpoints.json) http.add(std::make_unique<JsonHandler>(server, endpoints, version));
    if (endpoints.page) {
        http.add(std::make_unique<PageHandler>("/"));
        http.add(std::make_unique<PageHandler>("/page*"));
    }
}

}  // namespace Corvid::Capture
