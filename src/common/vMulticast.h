// UDP multicast sockets for the broker searches and the broker's announcer:
// one record per socket, either a receiver bound to the group's port or a
// sender to it, with TTL 1, loopback on and a 1 s receive timeout.
#pragma once
#include <netinet/in.h>

#include <cstddef>
#include <cstdint>

#define vMULTICAST_CHECK 0x4D43
#define vMULTICAST_RECEIVER 0
#define vMULTICAST_SENDER 1
#define vMULTICAST_TIMEOUT_MS 1000

typedef struct vMulticast {
  int socket;
  struct sockaddr_in group;      // group address with the port
  struct sockaddr_in bind;       // receiver: wildcard with the port; sender: interface, port 0
  struct sockaddr_in interface;  // interface address, port 0
  int sender;                    // vMULTICAST_RECEIVER or vMULTICAST_SENDER
  uint16_t check;                // vMULTICAST_CHECK while valid
} vMulticast;

// interface and group are IPv4 addresses in network byte order (interface 0
// means 127.0.0.1). A receiver's port must be free: address reuse is off, so
// opening fails while another socket holds it; only the local broker search's
// reply ports are shared by every receiver on them, so that searches at the
// same time each hear every reply. Returns none on any failure.
vMulticast* vMulticast_Create(uint32_t interface, uint32_t group, int port, int sender);
// One datagram to the group: -2 for no record, -3 on a receiver, else the
// result of sending (bytes sent or -1).
int vMulticast_Send(vMulticast* record, const void* data, size_t length);
// One datagram of up to size bytes within the receive timeout: -2 for no
// record, -3 on a sender, the length received, or -1 on timeout or error.
int vMulticast_Receive(vMulticast* record, void* buffer, size_t size);
// Closes the socket, frees the record and clears the pointer; -2 when none.
int vMulticast_Destroy(vMulticast** record);
