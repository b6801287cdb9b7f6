#include "capture/http_requests.h"

namespace Corvid::Capture {

namespace Message = Gantry::Message;
namespace XML = Gantry::XML;

namespace {

class CountingHandler : public Message::Handler {
  public:
    CountingHandler(const XML::Element& config, std::unique_ptr<Message::Handler> inner,
                    RequestCounts& counts)
        : Handler(config, inner->namespace_uri(), inner->prefix(), inner->name(),
                  inner->responds()),
          inner_(std::move(inner)),
          counts_(counts) {}

    std::string handle(const XML::Element& request, const Message::SourceContext& source,
                       XML::Element& response) const override {
        std::string fault = inner_->handle(request, source, response);
        // The bus names itself; every other source is an HTTP client of the SOAP server.
        counts_.add(config_name(), source.source() == "#trellis" ? "trellis" : "soap",
                    !fault.empty());
        return fault;
    }

  private:
    const std::unique_ptr<Message::Handler> inner_;
    RequestCounts& counts_;
};

}  // namespace

class RequestCounts::CountingFactory
    : public Gantry::Init::Factory<Message::Handler, XML::Element&> {
  public:
    CountingFactory(Gantry::Init::Factory<Message::Handler, XML::Element&>& inner,
                    RequestCounts& counts)
        : inner_(inner), counts_(counts) {}
    std::unique_ptr<Message::Handler> create(XML::Element& config) override {
        std::unique_ptr<Message::Handler> handler = inner_.create(config);
        if (!handler) return nullptr;
        return std::make_unique<CountingHandler>(config, std::move(handler), counts_);
    }

  private:
    Gantry::Init::Factory<Message::Handler, XML::Element&>& inner_;
    RequestCounts& counts_;
};

RequestCounts::RequestCounts() = default;
RequestCounts::~RequestCounts() = default;

void RequestCounts::add(const std::string& request, const std::string& transport, bool fault) {
    Gantry::MT::Lock lock(mutex_);
    Count& count = counts_[{request, transport}];
    count.requests++;
    if (fault) count.faults++;
}

std::map<RequestCounts::Key, RequestCounts::Count> RequestCounts::snapshot() const {
    Gantry::MT::Lock lock(mutex_);
    return counts_;
}

Message::HandlerRegistry& RequestCounts::wrap(const Message::HandlerRegistry& global,
                                              const std::vector<std::string>& names) {
    // Fresh for every configuration; the factories of earlier ones stay, as their handlers may.
    registry_ = std::make_unique<Message::HandlerRegistry>();
    for (const std::string& name : names) {
        auto* factory = global.find(name);
        if (!factory) continue;  // the broker reports the unknown name
        factories_.push_back(std::make_unique<CountingFactory>(*factory, *this));
        registry_->add(name, factories_.back().get());
    }
    return *registry_;
}

}  // namespace Corvid::Capture
