// The network broker that shares one USB module: clients on this host or
// others send packets over ZeroMQ; the broker hands them to the module one
// request at a time, returns each request's replies to the client that sent
// it, sends stream samples in batches to every client that enabled streaming,
// and announces itself by loopback multicast or by UDP beacon.
#pragma once
#include <cstddef>
#include <cstdint>

#include "vErr.h"
#include "vPacket.h"

#define vSERVER_CHECK 0x5E4E
// Largest batch of stream packets sent to clients in one frame.
#define vSERVER_STREAM_BATCH 4096
// A batch is sent once it holds more than this many bytes (room for one more
// packet of the largest size is left).
#define vSERVER_STREAM_FLUSH (vSERVER_STREAM_BATCH - vPACKET_MAX_WIRE - 1)
// How long the sync thread waits for each reply packet of a request.
#define vSERVER_REPLY_TIMEOUT_MS 2000
// Frames from a client: one packet in its wire form.
#define vSERVER_FRAME_MIN 2
#define vSERVER_FRAME_MAX vPACKET_MAX_WIRE

struct vServer;

// None when the link id is not registered. interfaceAddress is an IPv4
// address in network byte order; 0 means 127.0.0.1.
vServer* vServer_Create(uint32_t usbLinkId, uint32_t interfaceAddress, bool localOnly);
// Opens the sockets, starts the broker, sync and discovery threads and puts
// the streaming filter on the link. vErrParam without a server, vErrResource
// when anything could not be made.
vErr vServer_Start(vServer* server);
// Stops everything, frees the server and clears the caller's pointer.
vErr vServer_Destroy(vServer** server);
vErr vServer_GetPort(const vServer* server, uint16_t* port);
vErr vServer_GetInterface(const vServer* server, uint32_t* interfaceAddress);
// The module's address and model; the broker announces itself only once the
// model is known (non-zero).
vErr vServer_SetModuleAddress(vServer* server, uint8_t address);
vErr vServer_SetModel(vServer* server, uint8_t model);
// The serial number the broker announces: by default the shared link's
// identifier, which is the module's serial number for a USB link.
vErr vServer_SetSerialNumber(vServer* server, uint32_t serialNumber);
// Forgets every client waiting for a reply.
vErr vServer_FlushFIFO(vServer* server);
// When a broker of this process listens on ipAddress:port (network byte
// order), writes the in-process endpoint of its frontend and returns true;
// a client stream of this process connects there instead.
bool vServer_LocalEndpoint(uint32_t ipAddress, uint16_t port, char* endpoint, size_t size);
// Stream batches and malformed client frames seen so far (for diagnosis).
uint64_t vServer_DroppedFrames(const vServer* server);

// Reads one client frame: a packet of 2 to 30 bytes whose length byte is at
// most 28 and at most the bytes that follow. vErrSize for a frame of another
// size, vErrPacket for a bad length byte, vErrParam for no output.
vErr vServer_FrameToPacket(const uint8_t* frame, size_t size, vPacket* packet);
