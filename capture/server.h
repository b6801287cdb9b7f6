// Capture::Server: the capture service that the daemon shell runs. It owns every channel capture
// in a registry keyed by id, the EPG store with its decoder, the EPG captures of dedicated guide
// streams and the control interface; it saves and restores the captures that clients add, and
// does the periodic work on the shell's main thread (schedule checks, state and guide saves,
// guide pruning, sync).
//
// One object per process (instance()); main hands it to the shell and the request handlers call
// the registry operations on it.
//
// Threading: the Application hooks run on the main thread. The registry operations may be called
// from any thread: lookups, list, playlists, start and stop capturing and the state save hold the
// registry's read lock; add and remove hold its write lock (and never save under it). Lock order:
// capture registry, then EPG capture registry, then the EPG store.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "capture/capture.h"
#include "capture/playlist.h"
#include "epg/epg_decoder.h"
#include "epg/epg_store.h"
#include "gantry/cache/cache.h"
#include "gantry/daemon/application.h"
#include "gantry/mt/annotations.h"
#include "gantry/mt/mutex.h"
#include "gantry/time/duration.h"
#include "gantry/time/stamp.h"
#include "gantry/xml/element.h"

namespace Corvid::Capture {

class Control;
class EPGCapture;
class EPGCaptureSet;
class StorageRoots;

// What the playlists of a capture with these settings depend on.
PlaylistSettings playlist_settings(const CaptureSettings& settings);

class Server : public Gantry::Daemon::Application {
  public:
    using Clock = std::function<Gantry::Time::Stamp()>;

    // What tests replace: the clock of the service, its captures and its store, and the system's
    // sync().
    struct Options {
        Clock clock = &Gantry::Time::Stamp::now;
        std::function<void()> sync;  // empty: ::sync
    };

    Server();
    explicit Server(Options options);
    ~Server() override;
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // The process-wide service.
    static Server& instance();

    void apply_config(Gantry::XML::Configuration& configuration) override;
    void on_config_reload() override;
    int begin_run() override;
    int tick() override;
    void finish() override;

    // Registry operations. Refusals are logged with the capture id and give false.
    bool add_capture(const Gantry::XML::Element& definition, bool permanent);
    bool remove_capture(const std::string& id);
    // duration in seconds; 0: no stop is scheduled.
    bool start_capturing(const std::string& id, const std::string& path, double duration);
    bool stop_capturing(const std::string& id);
    // Adds one "capture" child per capture, in id order. Always true.
    bool list_captures(Gantry::XML::Element& response);
    bool playlist(const std::string& id, Gantry::Time::Stamp start, Gantry::Time::Stamp end,
                  bool for_event, Playlist& out);
    bool event_playlist(const std::string& id, uint16_t event_id, Playlist& out);

    EPGStore& epg_store() { return store_; }
    Gantry::Time::Stamp now() const { return options_.clock(); }
    EPGDecoder& epg_decoder() { return decoder_; }
    Control& control() { return *control_; }

    // Writes the captures that are not permanent to the capture state file. Nothing is written
    // while the state is being restored (or before it first was), so an unreadable file is set
    // aside before a new one replaces it, and a restore is saved whole.
    void save_dynamic_state();
    // Adds the captures of the capture state file, then saves once; an unreadable file is
    // renamed aside.
    void restore_dynamic_state();

    // Runs fn on the capture under the registry's read lock; false if there is none.
    bool with_capture(const std::string& id, const std::function<void(Capture&)>& fn);
    // Ids of the running EPG captures, in id order.
    std::vector<std::string> epg_capture_ids() const;
    // Runs fn on every running EPG capture, in id order, under that registry's read lock.
    void for_each_epg_capture(const std::function<void(const EPGCapture&)>& fn) const;
    // Runs fn on every capture, in id order, under the registry's read lock.
    void for_each_capture(const std::function<void(const Capture&)>& fn);
    // What the playlists of the capture depend on; false, logged, if there is no such capture.
    bool playlist_settings_of(const std::string& id, PlaylistSettings& out);

  private:
    using Captures = Gantry::Cache::BasicPointerCache<std::string, Capture>;

    // Logs the lookup failure.
    Capture* find(const Captures::ReadView& view, const std::string& id) const;

    const Options options_;
    EPGStore store_;
    EPGDecoder decoder_;
    std::unique_ptr<Control> control_;
    std::unique_ptr<EPGCaptureSet> epg_captures_;
    Captures captures_;

    // What add and save read on request threads while a re-read may replace it.
    struct Shared {
        std::shared_ptr<const Gantry::XML::Element> defaults;  // null: none configured
        std::shared_ptr<const StorageRoots> roots;             // null: the capture's default
        std::string state_file;
    };
    Shared shared() const GANTRY_EXCLUDES(shared_mutex_);

    mutable Gantry::MT::Mutex shared_mutex_;
    Shared shared_ GANTRY_GUARDED_BY(shared_mutex_);
    // Serialises the writers of the state file, which share its temporary file.
    Gantry::MT::Mutex save_mutex_;

    // Main thread only.
    std::vector<std::unique_ptr<Gantry::XML::Element>> capture_definitions_;
    std::string epg_file_;
    std::string huffman_pattern_;
    bool huffman_loaded_ = false;
    Gantry::Time::Duration save_interval_{10};
    Gantry::Time::Duration epg_save_interval_{60};
    Gantry::Time::Duration epg_prune_interval_{3600};
    Gantry::Time::Duration sync_interval_{1};
    Gantry::Time::Stamp last_save_, last_epg_save_, last_epg_prune_, last_sync_;
    // Clear until the state file has been read (or set aside) and its captures added; saves
    // wait for it.
    std::atomic<bool> state_restored_{false};
};

}  // namespace Corvid::Capture
