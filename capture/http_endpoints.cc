#include "capture/http_endpoints.h"

#include "capture/http_hls.h"
#include "capture/http_metrics.h"
#include "capture/http_xmltv.h"
#include "capture/server.h"
#include "gantry/web/simple_http_server.h"
#include "gantry/xml/element.h"

namespace Corvid::Capture {

HttpEndpoints HttpEndpoints::read(const Gantry::XML::Element& soap) {
    const Gantry::XML::Element& http = soap.get_child("http");
    return {http.get_attr_bool("metrics"), http.get_attr_bool("hls"), http.get_attr_bool("xmltv")};
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
}

}  // namespace Corvid::Capture
