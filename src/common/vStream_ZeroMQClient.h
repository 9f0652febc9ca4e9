// The client side of a broker: a byte stream over a ZeroMQ connection to the
// broker that shares a module, on which an ordinary link runs. Each packet
// written goes to the broker as one frame; the frames it sends back (replies
// and batches of stream packets) are read as one run of bytes.
#pragma once
#include <cstddef>
#include <cstdint>

#include "vErr.h"
#include "vStream.h"

#define vZMQCLIENT_CHECK 0x5A43

// ipAddress in network byte order. vErrParam without an out pointer (cleared
// first), vErrMemory or vErrConnection when a socket could not be made or
// connected, vErrResource when the stream could not be made.
vErr vStream_CreateClient(uint32_t ipAddress, uint16_t port, vStream** stream);
// A frame from the broker: a reply, or stream packets back to back, each
// packet address, length (at most 28) and that many data bytes. vErrNone for
// such a run; vErrSize for an empty frame; vErrPacket for one that ends inside
// a packet or has a length byte above 28. The client stream skips the others.
vErr vStream_CheckBrokerFrame(const uint8_t* frame, size_t size);
