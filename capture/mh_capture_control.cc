#include "capture/mh_capture_control.h"

#include "capture/server.h"
#include "gantry/log/log.h"
#include "gantry/message/namespaces.h"
#include "gantry/message/registry.h"
#include "gantry/time/duration.h"

namespace Corvid::Capture {

namespace Log = Gantry::Log;
namespace Message = Gantry::Message;
namespace XML = Gantry::XML;

namespace {

Message::Registration<MH_CaptureStart> start_registration(Message::handler_registry(),
                                                          "capture-start");
Message::Registration<MH_CaptureStop> stop_registration(Message::handler_registry(),
                                                        "capture-stop");
Message::Registration<MH_CaptureList> list_registration(Message::handler_registry(),
                                                        "capture-list");
Message::Registration<MH_CaptureAdd> add_registration(Message::handler_registry(), "capture-add");
Message::Registration<MH_CaptureRemove> remove_registration(Message::handler_registry(),
                                                            "capture-remove");

}  // namespace

ServerHandler::ServerHandler(const XML::Element& config, std::string name, bool responds)
    : Handler(config, Message::PRODUCT_NAMESPACE, Message::PRODUCT_PREFIX, std::move(name),
              responds) {}

Server& ServerHandler::server() {
    return Server::instance();
}

MH_CaptureStart::MH_CaptureStart(XML::Element& config)
    : ServerHandler(config, "capture-start", false) {}

std::string MH_CaptureStart::handle(const XML::Element& request, const Message::SourceContext&,
                                    XML::Element&) const {
    const std::string id = request.get_attr("id");
    const std::string path = request.get_content();
    const Gantry::Time::Duration duration(request.get_attr("duration"));
    Log::Detail() << "Start capture request for capture id " << id << ", path "
                  << (path.empty() ? "[default]" : path) << ", duration " << duration.hms()
                  << std::endl;
    return server().start_capturing(id, path, duration.seconds()) ? "" : "Could not start capture";
}

MH_CaptureStop::MH_CaptureStop(XML::Element& config)
    : ServerHandler(config, "capture-stop", false) {}

std::string MH_CaptureStop::handle(const XML::Element& request, const Message::SourceContext&,
                                   XML::Element&) const {
    const std::string id = request.get_attr("id");
    Log::Detail() << "Stop capture request for channel " << id << std::endl;
    return server().stop_capturing(id) ? "" : "Could not stop capture";
}

MH_CaptureList::MH_CaptureList(XML::Element& config)
    : ServerHandler(config, "capture-list", true) {}

std::string MH_CaptureList::handle(const XML::Element&, const Message::SourceContext&,
                                   XML::Element& response) const {
    Log::Detail() << "Capture list request" << std::endl;
    return server().list_captures(response) ? "" : "Could not list captures";
}

MH_CaptureAdd::MH_CaptureAdd(XML::Element& config) : ServerHandler(config, "capture-add", false) {}

std::string MH_CaptureAdd::handle(const XML::Element& request, const Message::SourceContext&,
                                  XML::Element&) const {
    Log::Detail() << "Add capture request" << std::endl;
    // The request element is the definition; the capture keeps its own copy of it.
    const std::unique_ptr<XML::Element> definition = request.deep_copy();
    return server().add_capture(*definition, false) ? "" : "Could not add capture";
}

MH_CaptureRemove::MH_CaptureRemove(XML::Element& config)
    : ServerHandler(config, "capture-remove", false) {}

std::string MH_CaptureRemove::handle(const XML::Element& request, const Message::SourceContext&,
                                     XML::Element&) const {
    const std::string id = request.get_attr("id");
    Log::Detail() << "Capture removal request for channel " << id << std::endl;
    return server().remove_capture(id) ? "" : "Could not remove capture";
}

}  // namespace Corvid::Capture
