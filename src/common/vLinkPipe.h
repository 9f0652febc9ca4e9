// The two threads of a running link: the reader cuts the stream into packets,
// regains framing by a handshake with the module, answers heartbeats and
// queues the rest; the writer writes the outgoing queue onto the stream.
#pragma once
#include <cstdint>

#include "vErr.h"
#include "vLink.h"

enum linkSyncState : uint32_t {
  kSyncStateIdle = 0,
  kSyncStateStart = 1,
  kSyncStateByte1 = 2,
  kSyncStateByte2 = 3,
  kSyncStateByte3 = 4,
  kSyncStateByte4 = 5,
};

// Magic probes sent per handshake attempt.
#define vLINKPIPE_PROBES 6
// Pause after a read error.
#define vLINKPIPE_ERROR_PAUSE_MS 100
// Longest the reader waits for a byte before it looks at its state again;
// during a handshake, a silence this long sends new probes.
#define vLINKPIPE_IDLE_WAIT_MS 100
// How long the writer waits for an outgoing packet before it looks at running
// again; a stop does not wait for it, since it wakes the writer's wait.
#define vLINKPIPE_WRITER_WAIT_MS 1000

// Thread bodies; the argument is the linkRecord.
void* vLinkPipe_InProcess(void* record);
void* vLinkPipe_OutProcess(void* record);

// What the reader did with one read result.
enum vLinkPipeStep {
  vLinkPipeByte = 0,   // a byte was handled
  vLinkPipeEmpty = 1,  // no byte was waiting
  vLinkPipeError = 2,  // the stream failed: status 6, the caller pauses
};
// The reader's handling of one read result (readResult from the stream and,
// when it is vErrNone, the byte). Empty reads during a handshake send new probes.
vLinkPipeStep vLinkPipe_HandleRead(linkRecord* record, vErr readResult, uint8_t byte);
// Starts the handshake: status 4, six probes queued. Returns the last put's result.
vErr vLinkPipe_StartSync(linkRecord* record);
// Writes one packet's wire bytes to the stream (and records it when logging).
vErr vLinkPipe_WritePacket(linkRecord* record, const vPacket* packet, bool record_in_log);
