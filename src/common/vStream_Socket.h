// TCP socket transport of vStream: a non-blocking client socket to a module
// that reconnects by itself when the connection drops.
#pragma once
#include <netinet/in.h>
#include <pthread.h>

#include <cstdint>

#include "vStream.h"

#define vSOCKET_CHECK 0xDEAD
#define vSOCKET_CONNECTED 0x1u
#define vSOCKET_RECEIVE_BUFFER 512

typedef struct vSocketRecord {
  int port;
  struct sockaddr_in address;  // the IPv4 address as given, in network byte order
  int socket;
  uint32_t flags;  // vSOCKET_CONNECTED
  uint16_t check;  // vSOCKET_CHECK while the record is valid
  // Serialises reconnection between the reading and the writing thread.
  pthread_mutex_t lock;
  // Bytes received but not yet handed out, so that a burst costs one system
  // call rather than two per byte. Touched by the reading thread only.
  uint8_t received[vSOCKET_RECEIVE_BUFFER];
  size_t receivedCount;
  size_t receivedNext;
  int wakeFd;  // eventfd that ends the reader's wait (the stream's interruption); -1: none
} vSocketRecord;

// ipAddress in network byte order (first octet in the lowest byte). The
// caller's pointer is cleared first; any failure gives vErrResource.
vErr vStream_CreateSocket(uint32_t ipAddress, uint32_t port, vStream** stream);
