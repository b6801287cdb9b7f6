// A UDP socket: the capture threads bind one to a multicast group's port, join the group and
// receive datagrams.
//
// Raw operations return the system result (-1 with errno set on failure); cooked ones throw
// SocketError. Every call is retried on EINTR. Constructors never throw: a socket whose creation,
// bind or connect failed is left closed (valid() is false).
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "gantry/net/socket.h"

namespace Gantry::Net {

class UDPSocket : public Socket {
  public:
    // Unbound.
    UDPSocket();
    // Bound to INADDR_ANY and the port.
    explicit UDPSocket(uint16_t port);
    // Bound to the address and port, with SO_REUSEADDR first when reuse is set. Binding to a
    // multicast group address restricts reception to that group.
    UDPSocket(IPAddress address, uint16_t port, bool reuse = false);
    // Bound to the local end point and connected to the remote one, so that send() and receive()
    // without an end point use it.
    UDPSocket(IPAddress local_address, uint16_t local_port, IPAddress remote_address,
              uint16_t remote_port);
    ~UDPSocket() override = default;

    // IP_ADD_MEMBERSHIP / IP_DROP_MEMBERSHIP on the interface the routing table picks (interface
    // address 0, index 0) unless one is named. False when the system refuses, e.g. for a second
    // join of the same group on the same socket.
    bool join_multicast_group(IPAddress group, IPAddress interface = IPAddress(IPAddress::ANY));
    bool leave_multicast_group(IPAddress group, IPAddress interface = IPAddress(IPAddress::ANY));
    // MCAST_JOIN_GROUP / MCAST_LEAVE_GROUP on the interface with that index (0: the routing
    // table's), or with a valid source the source-specific forms (IGMPv3), which take only that
    // sender's datagrams to the group. False with errno when the system refuses.
    bool join_group(IPAddress group, unsigned interface_index, IPAddress source = IPAddress());
    bool leave_group(IPAddress group, unsigned interface_index, IPAddress source = IPAddress());
    // IP_MULTICAST_ALL: off, the socket receives only the groups (and on the interfaces) that it
    // joined itself, not every group some socket on the host joined.
    bool set_multicast_all(bool on);
    // Outgoing interface for multicast and whether our own datagrams loop back to us.
    bool set_multicast_interface(IPAddress interface);
    bool set_multicast_loop(bool on);

    ssize_t raw_receive(void* buffer, size_t length, int flags = 0, EndPoint* from = nullptr);
    size_t receive(void* buffer, size_t length, int flags = 0, EndPoint* from = nullptr);
    ssize_t raw_send_to(const void* buffer, size_t length, int flags, const EndPoint& to);
    void send_to(const void* buffer, size_t length, int flags, const EndPoint& to);
    // On a connected socket.
    ssize_t raw_send(const void* buffer, size_t length, int flags = 0);
    void send(const void* buffer, size_t length, int flags = 0);

    // The index of a local interface named by its name (eth1) or one of its addresses; 0 if there
    // is none.
    static unsigned interface_index(std::string_view name_or_address);

  private:
    bool membership(int option, IPAddress group, IPAddress interface);
    bool group_membership(bool join, IPAddress group, unsigned interface_index, IPAddress source);
};

}  // namespace Gantry::Net
