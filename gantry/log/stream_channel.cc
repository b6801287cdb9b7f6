#include "gantry/log/stream_channel.h"

namespace Gantry::Log {

void StreamChannel::log(const Message& message) {
    MT::Lock lock(mutex_);
    if (stream_->fail()) stream_->clear();
    stream_->write(message.text.data(), static_cast<std::streamsize>(message.text.size()));
    stream_->put('\n');
    stream_->flush();
}

}  // namespace Gantry::Log
