// The reader and writer threads of a running link. The reader cuts the byte
// stream into packets, regains framing by the probe handshake, answers
// heartbeats, offers packets to the user filter and queues the rest; the
// writer writes the outgoing queue onto the stream. On streams that can wait
// for bytes the reader sleeps in the transport's wait instead of spinning.
#include "vLinkPipe.h"

#include <cstdarg>
#include <cstdio>

#include "vTrace.h"

static void sTrace(uint32_t level, const char* format, ...) __attribute__((format(printf, 2, 3)));
static void sTrace(uint32_t level, const char* format, ...) {
  if (!vVelmarineDebuggingEnable || !(vVelmarineDebuggingLevel & level)) return;
  va_list args;
  va_start(args, format);
  vTrace_VPrintf(format, args);
  va_end(args);
}

static void sLogPacket(linkRecord* record, uint8_t type, const vPacket* packet) {
  vPacketLog* log = record->log;
  if (!log) return;
  uint8_t wire[vPACKET_MAX_WIRE];
  wire[0] = packet->address;
  wire[1] = packet->length;
  for (uint8_t i = 0; i < packet->length && i < vPACKET_MAX_DATA; i++)
    wire[2 + i] = packet->data[i];
  vMutexGuard hold(record->logMutex);
  // A disabled log keeps what it has but records no more traffic.
  if (log->logMark) vPacketLog_Put(log, type, uint8_t(packet->length + 2), wire);
}

vErr vLinkPipe_StartSync(linkRecord* record) {
  record->status = kLinkSyncing;
  record->syncState = kSyncStateStart;
  vPacket_Reset(record->packet);
  uint8_t none = 0;
  vPacket* probe = vPacket_CreateWithData(vPACKET_MAGIC_ADDRESS, 0, &none);
  if (!probe) return vErrMemory;
  vErr err = vErrNone;
  for (int i = 0; i < vLINKPIPE_PROBES; i++) err = vPacketFifo_Put(record->outQueue, probe);
  vPacket_Destroy(&probe);
  if (err == vErrNone) record->syncState = kSyncStateByte1;
  sTrace(vLINK_TRACE_LIFECYCLE, "link %u: kSyncStateStart\n", record->id);
  return err;
}

// One received byte during the handshake: waits for [address, 0, address, 0].
static void sSyncByte(linkRecord* record, uint8_t byte) {
  switch (record->syncState.load()) {
    case kSyncStateByte1:
      if (byte != 0 && !(byte & 1)) {
        record->syncAddress = byte;
        record->syncState = kSyncStateByte2;
      } else {
        vLinkPipe_StartSync(record);
      }
      break;
    case kSyncStateByte2: record->syncState = byte == 0 ? kSyncStateByte3 : kSyncStateStart; break;
    case kSyncStateByte3:
      record->syncState = byte == record->syncAddress ? kSyncStateByte4 : kSyncStateStart;
      break;
    case kSyncStateByte4:
      if (byte == 0) {
        record->syncState = kSyncStateIdle;
        vLink_SetStatus(record, kLinkRunning);
        sTrace(vLINK_TRACE_LIFECYCLE, "link %u: kSyncStateIdle, synchronised with %u\n", record->id,
               record->syncAddress);
      } else {
        record->syncState = kSyncStateStart;
      }
      break;
    default: vLinkPipe_StartSync(record); break;
  }
}

// A heartbeat (length 2, data[0] 0) is answered with data[1] + 2 and not queued.
static bool sHeartbeat(linkRecord* record, const vPacket* packet) {
  if (packet->length != 2 || packet->data[0] != 0) return false;
  uint8_t state = packet->data[1];
  sTrace(vLINK_TRACE_PACKETS, "%s\n",
         state == 0   ? "sending HB UP"
         : state == 1 ? "sending HB DOWN"
                      : "sending HB");
  uint8_t answer[2] = {0, uint8_t(state + 2)};
  vPacket* reply = vPacket_CreateWithData(packet->address, 2, answer);
  if (reply) {
    vPacketFifo_Put(record->outQueue, reply);
    vPacket_Destroy(&reply);
  }
  return true;
}

// A complete packet: logged, offered to the user filter, the heartbeat
// exchange, then queued. The assembly packet is reset in every case.
static vErr sHandlePacket(linkRecord* record) {
  vPacket* packet = record->packet;
  if (!vPacket_IsComplete(packet)) return vErrNone;
  sLogPacket(record, vPacketLogReceived, packet);
  bool consumed = false;
  if (record->userFilterMutex) {
    vMutexGuard hold(record->userFilterMutex);
    if (record->userFilter) consumed = record->userFilter(packet, record->userFilterRef) == 1;
  }
  vErr result = vErrNone;
  if (!consumed && !sHeartbeat(record, packet)) result = vPacketFifo_Put(record->inQueue, packet);
  vPacket_Reset(packet);
  return result;
}

vLinkPipeStep vLinkPipe_HandleRead(linkRecord* record, vErr readResult, uint8_t byte) {
  if (readResult == vErrNotReady) {
    if (record->status == kLinkSyncing) vLinkPipe_StartSync(record);
    return vLinkPipeEmpty;
  }
  if (readResult != vErrNone) {
    record->status = kLinkIOError;
    return vLinkPipeError;
  }
  if (record->status == kLinkSyncing) {
    sSyncByte(record, byte);
    return vLinkPipeByte;
  }
  if (vPacket_AddByte(record->packet, byte) != vErrNone) {
    sTrace(vLINK_TRACE_LIFECYCLE, "Out of sync\n");
    vLinkPipe_StartSync(record);
    return vLinkPipeByte;
  }
  if (sHandlePacket(record) != vErrNone) record->status = kLinkFault;
  return vLinkPipeByte;
}

void* vLinkPipe_InProcess(void* argument) {
  linkRecord* record = static_cast<linkRecord*>(argument);
  record->syncAddress = 1;
  record->readerStarted = 1;
  record->syncState = kSyncStateIdle;
  vLink_SetStatus(record, kLinkRunning);
  while (record->running) {
    uint8_t byte = 0;
    vErr err = vStream_Read(record->stream, &byte, 1);
    if (err == vErrNotReady && record->stream && record->stream->waitProc) {
      // Sleep until a byte arrives; only a silence counts as an empty read,
      // so a handshake is retried when the module stays quiet, not between
      // two bytes of its answer.
      if (vStream_WaitReadable(record->stream, vLINKPIPE_IDLE_WAIT_MS) != vErrTimeout) continue;
    }
    vLinkPipeStep step = vLinkPipe_HandleRead(record, err, byte);
    if (step == vLinkPipeError) {
      sTrace(vLINK_TRACE_LIFECYCLE, "link %u: read error %s\n", record->id,
             vError_GetErrorText(err));
      vTime_MSSleep(vLINKPIPE_ERROR_PAUSE_MS);
    }
  }
  return nullptr;
}

vErr vLinkPipe_WritePacket(linkRecord* record, const vPacket* packet, bool record_in_log) {
  if (!vVALIDPACKET(packet) || packet->length > vPACKET_MAX_DATA) return vErrParam;
  uint8_t wire[vPACKET_MAX_WIRE];
  wire[0] = packet->address;
  wire[1] = packet->length;
  for (uint8_t i = 0; i < packet->length; i++) wire[2 + i] = packet->data[i];
  // Recorded before it goes out: once written, the module's reply can be
  // read, handed over and the log closed before this thread would get back.
  if (record_in_log) sLogPacket(record, vPacketLogSent, packet);
  vErr err = vStream_Write(record->stream, wire, size_t(packet->length) + 2);
  if (err != vErrNone) {
    sTrace(vLINK_TRACE_PACKETS, "sOutPipeProcess error writing: %d\n", int(err));
    return err;
  }
  return vErrNone;
}

// The writer waits on its queue; a stop clears running and then wakes that
// wait, so it never waits out its timer. Every write's outcome is reported
// to the link by the packet's queue number.
void* vLinkPipe_OutProcess(void* argument) {
  linkRecord* record = static_cast<linkRecord*>(argument);
  record->writerStarted = 1;
  vLink_AnnounceStatus(record);
  while (record->running) {
    int64_t number = -1;
    vPacket* packet =
        vPacketFifo_AwaitNumbered(record->outQueue, vLINKPIPE_WRITER_WAIT_MS, &number);
    if (!packet) continue;
    vLink_NoteWritten(record, number, vLinkPipe_WritePacket(record, packet, true));
    vPacket_Destroy(&packet);
  }
  // What is still queued (the route release of a stop, at least) goes out.
  int64_t number = -1;
  while (vPacket* packet = vPacketFifo_GetNumbered(record->outQueue, &number)) {
    vLink_NoteWritten(record, number, vLinkPipe_WritePacket(record, packet, false));
    vPacket_Destroy(&packet);
  }
  vLink_NoteWriterEnded(record);
  return nullptr;
}
