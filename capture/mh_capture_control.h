// The requests that control the channel captures: start and stop a session, list, add and
// remove captures. Each handler reads its request, logs it, calls one registry operation of the
// process-wide Capture::Server and turns a refusal into its fault text; why it was refused is in
// the log line the service writes.
//
//   cv:capture-start-request id="news" duration="1 hour">path</...>   acknowledged
//   cv:capture-stop-request id="news"                                 acknowledged
//   cv:capture-list-request                                           "capture" children
//   cv:capture-add-request id="..."> capture element children </...>  acknowledged
//   cv:capture-remove-request id="news"                               acknowledged
#pragma once

#include <string>

#include "gantry/message/handler.h"

namespace Corvid::Capture {

class Server;

// The base of this program's handlers: the product namespace and prefix.
class ServerHandler : public Gantry::Message::Handler {
  public:
    ServerHandler(const Gantry::XML::Element& config, std::string name, bool responds);

  protected:
    // The process-wide service the requests go to.
    static Server& server();
};

class MH_CaptureStart : public ServerHandler {
  public:
    explicit MH_CaptureStart(Gantry::XML::Element& config);
    std::string handle(const Gantry::XML::Element& request,
                       const Gantry::Message::SourceContext& source,
                       Gantry::XML::Element& response) const override;
};

class MH_CaptureStop : public ServerHandler {
  public:
    explicit MH_CaptureStop(Gantry::XML::Element& config);
    std::string handle(const Gantry::XML::Element& request,
                       const Gantry::Message::SourceContext& source,
                       Gantry::XML::Element& response) const override;
};

class MH_CaptureList : public ServerHandler {
  public:
    explicit MH_CaptureList(Gantry::XML::Element& config);
    std::string handle(const Gantry::XML::Element& request,
                       const Gantry::Message::SourceContext& source,
                       Gantry::XML::Element& response) const override;
};

class MH_CaptureAdd : public ServerHandler {
  public:
    explicit MH_CaptureAdd(Gantry::XML::Element& config);
    std::string handle(const Gantry::XML::Element& request,
                       const Gantry::Message::SourceContext& source,
                       Gantry::XML::Element& response) const override;
};

class MH_CaptureRemove : public ServerHandler {
  public:
    explicit MH_CaptureRemove(Gantry::XML::Element& config);
    std::string handle(const Gantry::XML::Element& request,
                       const Gantry::Message::SourceContext& source,
                       Gantry::XML::Element& response) const override;
};

}  // namespace Corvid::Capture
