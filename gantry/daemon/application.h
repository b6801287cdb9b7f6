// Daemon::Application: what the daemon shell runs. Every hook has a default, so an application
// overrides only what it needs; Daemon::Shell decides when each is called.
#pragma once

namespace Gantry::XML {
class Configuration;
}

namespace Gantry::Daemon {

// All hooks run on the shell's main thread. A worker process is forked after apply_config and
// preconfigure, so those two must not start threads.
class Application {
  public:
    virtual ~Application();

    // After logging is set up, and in the worker after every successful re-read on SIGHUP.
    virtual void apply_config(XML::Configuration& configuration);
    // Once, before detaching. Non-zero aborts start-up with that exit code.
    virtual int preconfigure();
    // In the process that runs the application, before the user and group change. Non-zero ends
    // that process with that code.
    virtual int init_privileged();
    // In the worker after every SIGHUP, whether or not the re-read succeeded.
    virtual void on_config_reload();
    // First thing in the run loop. Non-zero ends the run with that code.
    virtual int begin_run();
    // Microseconds to sleep after each tick; 0 ticks again at once.
    virtual int tick_interval();
    // Non-zero ends the run with that code.
    virtual int tick();
    // After the run loop has returned.
    virtual void finish();
};

}  // namespace Gantry::Daemon
