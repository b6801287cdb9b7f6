#include "gantry/net/tcp_client.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>

namespace Gantry::Net {

TCPClient::TCPClient(const EndPoint& remote, int timeout, IPAddress local_address,
                     uint16_t local_port, int ttl) {
    if (!valid()) return;
    if ((local_address.value() != IPAddress::ANY || local_port != 0) &&
        !bind(local_address, local_port)) {
        close();
        return;
    }
    if (ttl > 0) set_ttl(ttl);
    connected_ = connect(remote, timeout);
    if (!connected_) close();
}

bool TCPClient::connect(const EndPoint& remote, int timeout) {
    // Linux bounds a blocking connect() by the send timeout.
    if (timeout > 0 && !set_timeout(timeout)) return false;
    const sockaddr_in target = remote.to_sockaddr();
    bool ok = ::connect(fd(), reinterpret_cast<const sockaddr*>(&target), sizeof target) == 0;
    if (!ok && errno == EINTR) {
        // An interrupted connect goes on in the background; calling connect() again would only
        // say EALREADY, so wait for its outcome instead.
        pollfd entry{fd(), POLLOUT, 0};
        int rc;
        do {
            rc = ::poll(&entry, 1, timeout > 0 ? timeout * 1000 : -1);
        } while (rc < 0 && errno == EINTR);
        int error = 0;
        socklen_t length = sizeof error;
        ok =
            rc == 1 && ::getsockopt(fd(), SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
    }
    if (timeout > 0) set_timeout(0);
    return ok;
}

}  // namespace Gantry::Net
