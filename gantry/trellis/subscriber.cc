#include "gantry/trellis/subscriber.h"

#include <cstdlib>
#include <iostream>
#include <utility>

#include "gantry/trellis/multi_client.h"

namespace Gantry::Trellis {

Subscriber::Subscriber(MultiClient& client, std::string pattern)
    : client_(client), pattern_(std::move(pattern)) {}

Subscriber::~Subscriber() {
    if (connected_.load()) {
        std::cerr << "Trellis Subscriber deleted through destructor, not disconnect" << std::endl;
        std::abort();
    }
}

void Subscriber::connect() {
    if (!connected_.exchange(true)) client_.subscribe(*this);
}

void Subscriber::disconnect() {
    if (connected_.exchange(false)) client_.unsubscribe(*this);
}

}  // namespace Gantry::Trellis
