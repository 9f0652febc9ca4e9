// A byte stream: a table of transport procedures (get one byte, put one byte,
// write many bytes, delete) with a push-back buffer, and the read, write and
// record operations every transport shares.
#pragma once
#include <cstddef>
#include <cstdint>

#include "vErr.h"

#define vSTREAM_CHECK 0x4321
#define vSTREAM_PUSHBACK_STEP 512

// Each procedure gets the transport record as its last argument.
// get: vErrNotReady when no byte is waiting, vErrEOF at end of data.
typedef vErr (*vStreamGetProc)(uint8_t* byte, void* ref);
typedef vErr (*vStreamPutProc)(uint8_t byte, void* ref);
typedef vErr (*vStreamWriteProc)(const uint8_t* bytes, size_t n, void* ref);
typedef vErr (*vStreamDeleteProc)(void* ref);
// Optional: waits up to timeoutMs for something get should look at (a byte,
// end of data or an error); vErrNone when there is, vErrTimeout when not.
typedef vErr (*vStreamWaitProc)(uint32_t timeoutMs, void* ref);
// Optional: ends at once a get or wait that another thread has pending in the
// transport (it then reports vErrNotReady, or vErrTimeout for a wait, keeping
// every byte that did arrive); with none pending, the next one that would
// wait ends at once instead. Safe to call from any thread, any number of times.
typedef void (*vStreamInterruptProc)(void* ref);

typedef struct vStream {
  vStreamGetProc getProc;
  vStreamPutProc putProc;
  vStreamWriteProc writeProc;
  vStreamDeleteProc deleteProc;
  void* ref;
  // Push-back ring: bytes a reader handed back, served before the transport's.
  uint8_t* pushBack;
  size_t pushBackCount;
  size_t pushBackCapacity;
  size_t pushBackRead;
  size_t pushBackWrite;
  uint16_t check;  // vSTREAM_CHECK while the record is valid
  vStreamWaitProc waitProc;
  vStreamInterruptProc interruptProc;  // none: interrupting does nothing
} vStream;

// None when memory is exhausted.
vStream* vStream_Create(vStreamGetProc get, vStreamPutProc put, vStreamWriteProc write,
                        vStreamDeleteProc del, void* ref);
// Installs the readiness procedure of a transport that can wait for bytes.
vErr vStream_SetWaitProc(vStream* stream, vStreamWaitProc wait);
// Installs the interruption of a transport whose reads or waits can be ended
// from another thread.
vErr vStream_SetInterruptProc(vStream* stream, vStreamInterruptProc interrupt);
// Ends the transport's pending read or wait (see vStreamInterruptProc); does
// nothing for a transport without an interruption. vErrParam for an invalid stream.
vErr vStream_Interrupt(vStream* stream);
// For transports that wait in poll: an eventfd that an interruption writes
// to (-1 when none could be made), the write, and the take after a poll that
// watched it (true when it had been written to; the count is cleared).
int vStream_WakeCreate(void);
void vStream_WakeGive(int fd);
bool vStream_WakeTake(int fd, short revents);
// vErrNone when a read may find something (push-back bytes, a transport
// without a wait procedure, or the transport says so); vErrTimeout after
// timeoutMs without; vErrParam for an invalid stream.
vErr vStream_WaitReadable(vStream* stream, uint32_t timeoutMs);
// Reads exactly n bytes, all or nothing while data arrive slowly (vErrNotReady
// keeps the bytes obtained for the next read).
vErr vStream_Read(vStream* stream, uint8_t* dest, size_t n);
vErr vStream_Write(vStream* stream, const uint8_t* bytes, size_t n);
// Reads up to capacity bytes until the terminator; count receives the number stored.
vErr vStream_ReadRecord(vStream* stream, uint8_t* buffer, size_t* count, size_t capacity,
                        const uint8_t* terminator, size_t terminatorLength);
vErr vStream_WriteRecord(vStream* stream, const uint8_t* bytes, size_t n, const uint8_t* terminator,
                         size_t terminatorLength);
vErr vStream_ReadCString(vStream* stream, char* buffer, size_t size);
vErr vStream_WriteCString(vStream* stream, const char* text);
vErr vStream_ReadCStringRecord(vStream* stream, char* buffer, size_t size,
                               const char* terminatorText);
vErr vStream_WriteCStringRecord(vStream* stream, const char* text, const char* terminatorText);
// Copies bytes from one stream to the other until end of data.
vErr vStream_Flush(vStream* from, vStream* to);
// Deletes the transport, frees the stream and clears the caller's pointer.
vErr vStream_Destroy(vStream** stream);
