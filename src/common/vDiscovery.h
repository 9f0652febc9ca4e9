// Module discovery: enumerating the modules reachable over USB, TCP/IP and
// through network brokers, finding one by serial number, the 128-byte datagram
// image of a linkSpec and the host's IPv4 interface list.
#pragma once
#include <cstddef>
#include <cstdint>

#include "vErr.h"
#include "vLinkSpec.h"

// Size of a linkSpec as it travels in discovery datagrams.
#define vLINKSPEC_IMAGE_SIZE 128

// TCP/IP modules: request to a multicast group, replies to a fixed port.
#define vDISCOVERY_TCPIP_GROUP "232.2.2.2"
#define vDISCOVERY_TCPIP_REQUEST_PORT 9888
#define vDISCOVERY_TCPIP_REPLY_PORT 9889
#define vDISCOVERY_TCPIP_DATAGRAM_SIZE 16

// Brokers on the local host: request port 9850 + n, reply port 9950 + n.
#define vDISCOVERY_LOCAL_GROUP "224.0.0.7"
#define vDISCOVERY_LOCAL_REQUEST_PORT 9850
#define vDISCOVERY_LOCAL_REPLY_PORT 9950
#define vDISCOVERY_LOCAL_PORT_COUNT 50
#define vDISCOVERY_LOCAL_REQUEST 0xABCDDCBAu

// Brokers on the network: CZMQ beacons.
#define vDISCOVERY_BEACON_PORT 8585
#define vDISCOVERY_BEACON_SERVICE "Velmarine2-Discovery"
#define vDISCOVERY_BEACON_INTERVAL_MS 100
#define vDISCOVERY_BEACON_RECEIVES 22

// Called once per module found in one search. *accepted starts false; the
// callback sets it when it takes the module. Returns true to go on searching.
typedef bool (*vDiscoveryCallback)(const linkSpec* found, bool* accepted, void* ref);

// Enumerates the modules of one transport (USB, TCP/IP or brokers); any other
// type finds nothing. networkInterface is an IPv4 address in network byte
// order (0 or 127.0.0.1: the local host). Returns how many were accepted.
int vDiscovery_EnumerateModules(linkType type, vDiscoveryCallback callback, void* ref,
                                uint32_t networkInterface);
// Broker search: local multicast for 0 or 127.0.0.1, else beacons on that interface.
int vDiscovery_Enumerate_vMeshModules(vDiscoveryCallback callback, void* ref,
                                      uint32_t networkInterface);

// The first module of the type with that serial number, as a record the
// caller owns (vLinkSpec_Destroy); none when no module matched.
linkSpec* vDiscovery_FindModule(linkType type, uint32_t serial, uint32_t networkInterface);
// The first module of the type whose serial number is not 0; none when none.
linkSpec* vDiscovery_FindFirstModule(linkType type, uint32_t networkInterface);

// Stores up to max IPv4 interface addresses (network byte order); returns the count.
int vDiscovery_GetIPv4Interfaces(uint32_t* list, int max);
// Writes the dotted form of address (network byte order) into buffer and
// returns its length; 0 for a buffer of 15 bytes or less or on failure.
int vDiscovery_ConvertIPv4Interface(uint32_t address, char* buffer, int length);

// A new zeroed record with its type set; none when out of memory.
linkSpec* vLinkSpec_Create(linkType type);
// A new record holding a copy of spec; none for no spec or out of memory.
linkSpec* vLinkSpec_Copy(const linkSpec* spec);
// Frees the record and clears the caller's pointer; vErrParam when there is none.
vErr vLinkSpec_Destroy(linkSpec** spec);

// The 128-byte datagram image: integers little-endian, the IPv4 address in
// network byte order. Pack writes exactly vLINKSPEC_IMAGE_SIZE bytes.
vErr vLinkSpec_Pack(const linkSpec* spec, uint8_t* image, size_t size);
// Reads an image of exactly vLINKSPEC_IMAGE_SIZE bytes; vErrSize otherwise.
vErr vLinkSpec_Unpack(const uint8_t* image, size_t size, linkSpec* spec);

// Fills spec from one TCP/IP discovery reply sent from sender (network byte
// order); vErrSize for a reply that is not a full 16-byte datagram.
vErr vDiscovery_ParseTCPIPReply(const uint8_t* reply, size_t size, uint32_t sender, linkSpec* spec);

// The single searches behind vDiscovery_EnumerateModules.
int vDiscovery_Enumerate_USBModules(vDiscoveryCallback callback, void* ref);
int vDiscovery_Enumerate_TCPIPModules(vDiscoveryCallback callback, void* ref);
