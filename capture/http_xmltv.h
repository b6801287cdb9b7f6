// GET /xmltv: the guide in the store as XMLTV, the document `cv-epg xmltv` writes.
#pragma once

#include "gantry/web/url_handler.h"

namespace Corvid::Capture {

class EPGStore;

class XmltvHandler : public Gantry::Web::URLHandler {
  public:
    // store must outlive the handler; it is read under its own lock.
    explicit XmltvHandler(const EPGStore& store) : URLHandler("/xmltv"), store_(store) {}

    bool handle_request(Gantry::Web::HTTPMessage& request, Gantry::Web::HTTPMessage& response,
                        const Gantry::SSL::ClientDetails& client) override;

  private:
    const EPGStore& store_;
};

}  // namespace Corvid::Capture
