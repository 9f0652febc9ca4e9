// The link engine: a process-wide registry of links (one live connection to
// one module over one byte stream), counted by use and addressed by id, with
// their lifecycle and the packet operations callers use.
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <utility>

#include "vErr.h"
#include "vLinkSpec.h"
#include "vMutex.h"
#include "vPacket.h"
#include "vPacketFifo.h"
#include "vPacketLog.h"
#include "vStream.h"

#define vLINK_CHECK 0xCEED
// Identifier of a link made on a caller's stream.
#define vLINK_ANY_IDENTIFIER 0xFFFFFFFFu

enum linkStatus : uint32_t {
  kLinkStopped = 0,
  kLinkStarting = 1,
  kLinkRunning = 2,
  kLinkStopping = 3,
  kLinkSyncing = 4,
  kLinkNoStream = 5,
  kLinkIOError = 6,
  kLinkFault = 8,
};

// Debug trace to standard output (off; nothing in this system turns it on).
#define vLINK_TRACE_LIFECYCLE 0x1u
#define vLINK_TRACE_PACKETS 0x2u
#define vLINK_TRACE_BROKER 0x4u
#define vLINK_TRACE_USB 0x400u
extern std::atomic<uint8_t> vVelmarineDebuggingEnable;
extern std::atomic<uint32_t> vVelmarineDebuggingLevel;

struct vServer;  // broker server attached to a shared USB link

// Running state of one link. running, status, syncState and the started
// flags are single words written by one thread and polled by others.
typedef struct linkRecord {
  uint16_t check;  // vLINK_CHECK after vLink_Init
  uint32_t id;
  std::atomic<uint8_t> running;
  std::atomic<uint32_t> status;  // linkStatus
  uint64_t inQueue;
  vPacket* packet;  // being assembled by the reader
  uint64_t outQueue;
  vThread* readerThread;
  vThread* writerThread;
  vThreadProc readerProc;
  vThreadProc writerProc;
  std::atomic<uint8_t> readerStarted;
  std::atomic<uint8_t> writerStarted;
  vStream* stream;
  std::atomic<uint32_t> syncState;
  uint8_t syncAddress;
  // Set once by the first enable (mutex first) and kept until the link goes,
  // so both threads can test them without a lock.
  std::atomic<vPacketLog*> log;
  uint32_t logSize;  // 0: the default
  std::atomic<vMutex*> logMutex;
  // The user filter and its mutex are kept across a reset.
  vPacketFilter userFilter;
  const void* userFilterRef;
  vMutex* userFilterMutex;
  // Announces the statuses the lifecycle waits for (running after a start
  // or a handshake, stopping), so that nobody polls for them.
  std::mutex statusMutex;
  std::condition_variable statusChanged;
  // The writer's account of the outgoing queue, by the numbers the queue
  // gives its packets: the last one it finished with and its recent write
  // failures (newest last); writerEnded once it has left.
  std::mutex writeMutex;
  std::condition_variable writeDone;
  int64_t lastWritten;
  std::deque<std::pair<int64_t, vErr>> writeFailures;
  bool writerEnded;
} linkRecord;

// Creation: the id, or 0 on failure. A second create for the same module
// returns the same id and counts one more holder.
uint32_t vLink_CreateUSB(uint32_t serialNumber);
// ipAddress in network byte order.
uint32_t vLink_CreateTCPIP(uint32_t ipAddress, uint32_t port);
uint32_t vLink_CreateSerial(uint32_t serialNumber, const char* portName, uint32_t baudRate);
// A link over a stream the caller made; the link owns the stream from then on.
uint32_t vLink_Create(vStream* stream);
// Shares the USB module through a broker started here and returns the id of
// this process's own client link to it (0 on failure, with nothing left
// open). *interfaceAddress (network byte order, 0 or 127.0.0.1 for the local
// host) is the broker's interface in and out; *port receives its port.
uint32_t vLink_CreateServer(uint32_t serialNumber, uint16_t* port, uint32_t* interfaceAddress,
                            bool localOnly);
// A client link to the broker at ipAddress:port. With a non-zero existingId,
// that link is held once more and its id returned (0 when it does not exist).
uint32_t vLink_CreateClient(uint32_t ipAddress, uint16_t port, uint32_t existingId);

uint32_t vLink_Init(uint32_t id, vStream* stream);
vErr vLink_Start(uint32_t id);
vErr vLink_Sync(uint32_t id);
vErr vLink_ForceRoute(uint32_t id, uint8_t value);
vErr vLink_Stop(linkRecord* record);
vErr vLink_Reset(uint32_t id);
// Removes one holder; the last one tears the link down. Always clears *id.
vErr vLink_Destroy(uint32_t* id);
// linkStatus; kLinkNoStream for an unregistered id.
uint32_t vLink_GetStatus(uint32_t id);

vErr vLink_PutPacket(uint32_t id, const vPacket* packet);
// Queues the packet and waits up to timeoutMs until the writer has written
// it: the write's error when it failed (the packet did not reach the module),
// vErrConnection when the link stopped without writing it, vErrNone when it
// was written or is still queued when the time is up.
vErr vLink_PutPacketWritten(uint32_t id, const vPacket* packet, uint32_t timeoutMs);
// The error of the writer's newest failed write on this link (vErrNone when
// none failed); vErrParam for an unregistered id.
vErr vLink_GetLastWriteError(uint32_t id);
vPacket* vLink_GetPacket(uint32_t id);
vPacket* vLink_AwaitPacket(uint32_t id, uint32_t timeoutMs);
vPacket* vLink_GetFirst(uint32_t id, vPacketFilter filter, const void* ref);
// None at once unless the link is running and synchronised.
vPacket* vLink_AwaitFirst(uint32_t id, vPacketFilter filter, const void* ref, uint32_t timeoutMs);
size_t vLink_DrainPackets(uint32_t id, vPacketFilter filter, const void* ref);
// The reader offers every complete packet to this filter first; a result of
// exactly 1 consumes it. A null filter removes it.
vErr vLink_InstallUserPacketFilter(uint32_t id, vPacketFilter filter, const void* ref);

// Packet log of a link.
vErr vLink_PacketDebug_SetLogSize(uint32_t id, int32_t bytes);
vErr vLink_PacketDebug_Enable(uint32_t id);
vErr vLink_PacketDebug_Disable(uint32_t id);
// length: the buffer's capacity in, the record's length out.
vErr vLink_PacketDebug_Read(uint32_t id, uint8_t* type, uint8_t* length, uint8_t* buffer);
vErr vLink_PacketDebug_Write(uint32_t id, uint8_t type, uint8_t length, const uint8_t* bytes);

// Registry operations for the engine's own creators (and the broker's).
uint32_t vLink_RegistryCreate(uint32_t identifier, uint32_t ipPort, uint32_t clientNumber,
                              linkType type);
// The newest link with that identifier; 0 when none.
uint32_t vLink_RegistryFindByIdentifier(uint32_t identifier);
uint32_t vLink_RegistryFindByKey(uint32_t identifier, uint32_t ipPort, uint32_t clientNumber);
vErr vLink_RegistryChangeUseCount(uint32_t id, int16_t delta);
// Current use count; -1 for an unregistered id.
int32_t vLink_RegistryGetUseCount(uint32_t id);
vErr vLink_RegistrySetUnderlyingLink(uint32_t id, uint32_t underlyingLink);
vErr vLink_RegistrySetServer(uint32_t id, struct vServer* server);
struct vServer* vLink_RegistryGetServer(uint32_t id);
// The lookup key (serial number, IPv4 address or 0xFFFFFFFF); 0 when unregistered.
uint32_t vLink_RegistryGetIdentifier(uint32_t id);
uint32_t vLink_RegistryGetUnderlyingLink(uint32_t id);
linkRecord* vLink_GetRecord(uint32_t id);
// Sets the status and wakes whoever waits for a status change.
void vLink_SetStatus(linkRecord* record, uint32_t status);
// Wakes them after another change they wait for (a thread's started flag).
void vLink_AnnounceStatus(linkRecord* record);
// The writer's report on the packet with that queue number.
void vLink_NoteWritten(linkRecord* record, int64_t number, vErr result);
void vLink_NoteWriterEnded(linkRecord* record);

// A record outside the registry, initialised over the stream (which it owns)
// but not started: lets a caller drive the reader's steps by hand.
linkRecord* vLink_CreateDetachedRecord(vStream* stream);
vErr vLink_DestroyDetachedRecord(linkRecord** record);
