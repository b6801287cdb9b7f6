#include "capture/server.h"

#include <unistd.h>

#include "capture/control.h"
#include "capture/http_endpoints.h"
#include "capture/server_epg.h"
#include "capture/storage_roots.h"
#include "epg/huffman.h"
#include "gantry/log/log.h"
#include "gantry/soap/server.h"
#include "gantry/xml/configuration.h"

namespace Corvid::Capture {

namespace Log = Gantry::Log;
namespace MT = Gantry::MT;
namespace Time = Gantry::Time;
namespace XML = Gantry::XML;

Server::Server() : Server(Options()) {}

Server::Server(Options options)
    : options_(std::move(options)),
      store_(options_.clock),
      decoder_(store_),
      control_(std::make_unique<Control>()),
      epg_captures_(std::make_unique<EPGCaptureSet>(decoder_)) {}

// The captures go first: they feed the decoder and the store.
Server::~Server() {
    captures_.clear();
    epg_captures_.reset();
}

Server::Shared Server::shared() const {
    MT::Lock lock(shared_mutex_);
    return shared_;
}

void Server::apply_config(XML::Configuration& configuration) {
    {
        MT::Lock lock(shared_mutex_);
        if (const XML::Element* defaults = configuration.get_element("captures/default"))
            shared_.defaults = defaults->deep_copy();
        shared_.state_file = configuration.get_value("captures/disk/@file");
        // Where captures added by requests may write; without it, below their default prefix.
        const std::string roots = configuration.get_value("captures/storage/@roots");
        shared_.roots = roots.empty() ? nullptr : std::make_shared<StorageRoots>(roots);
    }
    control_->apply_config(configuration);
    save_interval_ =
        Time::Duration(configuration.get_value("captures/save/@interval", "10 seconds"));
    append_definitions(capture_definitions_, configuration.get_elements("captures/capture"));
    epg_captures_->apply_config(configuration);

    epg_file_ = configuration.get_value("epg/disk/@file");
    epg_save_interval_ = Time::Duration(configuration.get_value("epg/save/@interval", "1 min"));
    epg_prune_interval_ = Time::Duration(configuration.get_value("epg/prune/@interval", "1 hour"));
    sync_interval_ = Time::Duration(configuration.get_value("disk/sync/@interval", "1 sec"));

    // Decoder threads read the tables without a lock, so they are only filled before any runs.
    const std::string pattern = configuration.get_value("epg/huffman/@tables");
    if (!huffman_loaded_) {
        Huffman::load_tables(decoder_.huffman_tables(), pattern);
        huffman_loaded_ = true;
        huffman_pattern_ = pattern;
    } else if (pattern != huffman_pattern_) {
        Log::Summary() << "EPG - Huffman tables " << pattern << " take effect at the next start"
                       << std::endl;
    }
}

int Server::begin_run() {
    Log::Summary() << "Configuring server permanent state" << std::endl;
    if (!control_->configure()) {
        Log::Error() << "Cannot configure server" << std::endl;
        return 2;
    }
    // Read once, like the SOAP servers they join.
    const HttpEndpoints endpoints = HttpEndpoints::read(control_->soap_settings());
    if (endpoints.any() && control_->soap_server())
        for (const auto& http : control_->soap_server()->http_servers())
            add_http_endpoints(*http, *this, endpoints, CORVID_VERSION);
    on_config_reload();
    if (!epg_file_.empty()) store_.load(epg_file_);
    last_save_ = last_epg_save_ = last_epg_prune_ = last_sync_ = Time::Stamp::from_unix(0);
    return 0;
}

void Server::on_config_reload() {
    Log::Summary() << "Configuring server dynamic state" << std::endl;
    for (const auto& definition : capture_definitions_)
        add_capture(*definition, true);
    epg_captures_->start_all();
    restore_dynamic_state();
}

namespace {

// Due when last + interval lies before now; then last becomes now.
bool due(Time::Stamp& last, Time::Duration interval, Time::Stamp now) {
    if (!(last + interval < now)) return false;
    last = now;
    return true;
}

}  // namespace

int Server::tick() {
    {
        Captures::ReadView view(captures_);
        for (auto item : view)
            item.object->schedule_check();
    }
    const Time::Stamp now = options_.clock();
    if (due(last_save_, save_interval_, now)) save_dynamic_state();
    if (due(last_epg_save_, epg_save_interval_, now) && !epg_file_.empty()) store_.save(epg_file_);
    if (due(last_epg_prune_, epg_prune_interval_, now)) store_.prune();
    if (sync_interval_.seconds() == 0) return 0;
    if (due(last_sync_, sync_interval_, now)) {
        if (options_.sync)
            options_.sync();
        else
            ::sync();
    }
    return 0;
}

void Server::finish() {
    Log::Summary() << "Shutting down" << std::endl;
    control_->shutdown_broker();
    Captures::ReadView view(captures_);
    for (auto item : view)
        item.object->stop();
    epg_captures_->stop_all();
    control_->delete_transports();
}

std::vector<std::string> Server::epg_capture_ids() const {
    return epg_captures_->ids();
}

void Server::for_each_epg_capture(const std::function<void(const EPGCapture&)>& fn) const {
    epg_captures_->for_each(fn);
}

void Server::for_each_capture(const std::function<void(const Capture&)>& fn) {
    Captures::ReadView view(captures_);
    for (auto item : view)
        fn(*item.object);
}

bool Server::playlist_settings_of(const std::string& id, PlaylistSettings& out) {
    return with_capture(id, [&](Capture& capture) { out = playlist_settings(capture.settings()); });
}

}  // namespace Corvid::Capture
