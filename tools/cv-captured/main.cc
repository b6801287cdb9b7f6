// cv-captured: the capture daemon. The daemon shell runs the process-wide capture service.
#include "capture/server.h"
#include "gantry/daemon/shell.h"
#include "gantry/xml/configuration.h"

int main(int argc, char** argv) {
    namespace Daemon = Gantry::Daemon;
    // The master's restart delays may be set in the file itself ("watchdog/@first-delay",
    // "watchdog/@ceiling", in seconds); an unreadable file leaves the shell to report it.
    std::ostream quiet(nullptr);
    Gantry::XML::Configuration peek(argc > 1 ? argv[argc - 1] : "", quiet);
    peek.read("captured");
    Daemon::Shell::Timing timing;
    timing.first_delay = peek.get_value_real("watchdog/@first-delay", timing.first_delay);
    timing.ceiling = peek.get_value_real("watchdog/@ceiling", timing.ceiling);
    Daemon::Shell shell(Corvid::Capture::Server::instance(),
                        {"Corvid capture daemon", "1.2.2", "/etc/corvid/captured.cfg.xml",
                         "captured", "/var/log/corvid/captured.log", "/var/run/cv-captured.pid"},
                        timing);
    return shell.start(argc, argv);
}
