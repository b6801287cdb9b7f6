#include "gantry/daemon/application.h"

namespace Gantry::Daemon {

Application::~Application() = default;

void Application::apply_config(XML::Configuration&) {}

int Application::preconfigure() {
    return 0;
}

int Application::init_privileged() {
    return 0;
}

void Application::on_config_reload() {}

int Application::begin_run() {
    return 0;
}

int Application::tick_interval() {
    return 10000;
}

int Application::tick() {
    return 0;
}

void Application::finish() {}

}  // namespace Gantry::Daemon
