// The stream object: a transport's procedures behind one interface, a
// push-back ring that keeps the bytes of an incomplete read for the next one,
// and the record reads and writes built on it.
#include "vStream.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <vector>

static bool sValid(const vStream* stream) { return stream && stream->check == vSTREAM_CHECK; }

vStream* vStream_Create(vStreamGetProc get, vStreamPutProc put, vStreamWriteProc write,
                        vStreamDeleteProc del, void* ref) {
  vStream* stream = static_cast<vStream*>(calloc(1, sizeof(vStream)));
  if (!stream) return nullptr;
  stream->getProc = get;
  stream->putProc = put;
  stream->writeProc = write;
  stream->deleteProc = del;
  stream->ref = ref;
  stream->check = vSTREAM_CHECK;
  return stream;
}

vErr vStream_SetWaitProc(vStream* stream, vStreamWaitProc wait) {
  if (!sValid(stream)) return vErrParam;
  stream->waitProc = wait;
  return vErrNone;
}

vErr vStream_SetInterruptProc(vStream* stream, vStreamInterruptProc interrupt) {
  if (!sValid(stream)) return vErrParam;
  stream->interruptProc = interrupt;
  return vErrNone;
}

vErr vStream_Interrupt(vStream* stream) {
  if (!sValid(stream)) return vErrParam;
  if (stream->interruptProc) stream->interruptProc(stream->ref);
  return vErrNone;
}

int vStream_WakeCreate(void) { return eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK); }

void vStream_WakeGive(int fd) {
  uint64_t one = 1;
  if (fd >= 0 && write(fd, &one, sizeof one) < 0) {
    // At its limit: a wake is pending anyway.
  }
}

bool vStream_WakeTake(int fd, short revents) {
  if (fd < 0 || !(revents & POLLIN)) return false;
  uint64_t count;
  return read(fd, &count, sizeof count) == ssize_t(sizeof count);
}

vErr vStream_WaitReadable(vStream* stream, uint32_t timeoutMs) {
  if (!sValid(stream)) return vErrParam;
  if (stream->pushBackCount > 0 || !stream->waitProc) return vErrNone;
  return stream->waitProc(timeoutMs, stream->ref);
}

// Oldest push-back byte; false when the ring is empty.
static bool sPopBack(vStream* stream, uint8_t* byte) {
  if (stream->pushBackCount == 0) return false;
  *byte = stream->pushBack[stream->pushBackRead];
  stream->pushBackRead = (stream->pushBackRead + 1) % stream->pushBackCapacity;
  stream->pushBackCount--;
  return true;
}

// Appends bytes to the push-back ring, growing it by 512 bytes whenever it
// would be full, so one slot always stays free.
static vErr sPushBack(vStream* stream, const uint8_t* bytes, size_t n) {
  for (size_t i = 0; i < n; i++) {
    if (stream->pushBackCapacity == 0 || stream->pushBackCount >= stream->pushBackCapacity - 1) {
      size_t capacity = stream->pushBackCapacity + vSTREAM_PUSHBACK_STEP;
      uint8_t* ring = static_cast<uint8_t*>(malloc(capacity));
      if (!ring) return vErrMemory;
      for (size_t j = 0; j < stream->pushBackCount; j++) {
        ring[j] = stream->pushBack[(stream->pushBackRead + j) % stream->pushBackCapacity];
      }
      free(stream->pushBack);
      stream->pushBack = ring;
      stream->pushBackRead = 0;
      stream->pushBackWrite = stream->pushBackCount;
      stream->pushBackCapacity = capacity;
    }
    stream->pushBack[stream->pushBackWrite] = bytes[i];
    stream->pushBackWrite = (stream->pushBackWrite + 1) % stream->pushBackCapacity;
    stream->pushBackCount++;
  }
  return vErrNone;
}

// Puts bytes back in front of whatever the ring already holds, so they are
// read again first and in order.
static vErr sPushFront(vStream* stream, const uint8_t* bytes, size_t n) {
  if (n == 0) return vErrNone;
  std::vector<uint8_t> rest;
  try {
    rest.assign(bytes, bytes + n);
    uint8_t byte;
    while (sPopBack(stream, &byte)) rest.push_back(byte);
  } catch (...) {
    return vErrMemory;
  }
  return sPushBack(stream, rest.data(), rest.size());
}

vErr vStream_Read(vStream* stream, uint8_t* dest, size_t n) {
  if (!sValid(stream) || !dest) return vErrParam;
  if (!stream->getProc) return vErrMode;
  if (n == 1) {
    // The link reader's path: one byte, no scratch space needed.
    uint8_t byte;
    if (sPopBack(stream, &byte)) {
      *dest = byte;
      return vErrNone;
    }
    vErr err = stream->getProc(&byte, stream->ref);
    if (err == vErrNone) *dest = byte;
    return err;
  }
  uint8_t* scratch = static_cast<uint8_t*>(malloc(n ? n : 1));
  if (!scratch) return vErrResource;
  size_t got = 0;
  vErr err = vErrNone;
  while (got < n && err == vErrNone) {
    uint8_t byte;
    if (sPopBack(stream, &byte)) {
      scratch[got++] = byte;
      continue;
    }
    err = stream->getProc(&byte, stream->ref);
    if (err == vErrNone) scratch[got++] = byte;
  }
  if (err == vErrNotReady) {
    // Keep what arrived, in order, ahead of anything still in the ring.
    vErr pushed = sPushFront(stream, scratch, got);
    free(scratch);
    return pushed == vErrNone ? vErrNotReady : pushed;
  }
  if (err == vErrNone || err == vErrEOF) memcpy(dest, scratch, got);
  free(scratch);
  return err;
}

vErr vStream_Write(vStream* stream, const uint8_t* bytes, size_t n) {
  if (!sValid(stream) || !bytes) return vErrParam;
  if (!stream->putProc && !stream->writeProc) return vErrMode;
  // A stream with only a write procedure writes its single bytes with it too.
  if (stream->writeProc && (n > 1 || (n == 1 && !stream->putProc)))
    return stream->writeProc(bytes, n, stream->ref);
  for (size_t i = 0; i < n; i++) {
    vErr err = stream->putProc(bytes[i], stream->ref);
    if (err != vErrNone) return err;
  }
  return vErrNone;
}

vErr vStream_ReadRecord(vStream* stream, uint8_t* buffer, size_t* count, size_t capacity,
                        const uint8_t* terminator, size_t terminatorLength) {
  if (!sValid(stream) || !buffer || !terminator || terminatorLength == 0) return vErrParam;
  uint8_t* scratch = static_cast<uint8_t*>(malloc(capacity ? capacity : 1));
  if (!scratch) return vErrResource;
  // The terminator is matched as a contiguous run: bytes that began a match
  // and then broke it are data. `pending` holds the bytes of the match so far.
  std::vector<uint8_t> pending;
  size_t stored = 0;
  vErr err = vErrNone;
  bool done = capacity == 0;
  while (!done) {
    uint8_t byte;
    err = vStream_Read(stream, &byte, 1);
    if (err == vErrEOF) {
      // An unfinished terminator at the end of data was data after all; what
      // does not fit is left for the next read.
      size_t i = 0;
      while (i < pending.size() && stored < capacity) scratch[stored++] = pending[i++];
      if (i < pending.size()) {
        vErr pushed = sPushFront(stream, pending.data() + i, pending.size() - i);
        if (pushed != vErrNone) {
          err = pushed;
          break;
        }
      }
      if (stored > 0) err = vErrNone;
      break;
    }
    if (err == vErrNotReady) {
      // Everything consumed goes back, so the next read starts the record afresh.
      vErr pushed = sPushFront(stream, pending.data(), pending.size());
      if (pushed == vErrNone) pushed = sPushFront(stream, scratch, stored);
      if (pushed != vErrNone) err = pushed;
      break;
    }
    if (err != vErrNone) break;
    try {
      pending.push_back(byte);
    } catch (...) {
      err = vErrMemory;
      break;
    }
    while (!pending.empty() && stored < capacity &&
           memcmp(pending.data(), terminator, pending.size()) != 0) {
      scratch[stored++] = pending.front();
      pending.erase(pending.begin());
    }
    if (pending.size() == terminatorLength) {
      done = true;
    } else if (stored == capacity) {
      // Full: what may have begun a terminator is left for the next read.
      vErr pushed = sPushFront(stream, pending.data(), pending.size());
      if (pushed != vErrNone) err = pushed;
      done = true;
    }
  }
  if (err == vErrNone || err == vErrEOF) {
    memcpy(buffer, scratch, stored);
    if (count) *count = stored;
  }
  free(scratch);
  return err;
}

vErr vStream_WriteRecord(vStream* stream, const uint8_t* bytes, size_t n, const uint8_t* terminator,
                         size_t terminatorLength) {
  if (!sValid(stream) || !bytes || !terminator || terminatorLength == 0) return vErrParam;
  vErr err = vStream_Write(stream, bytes, n);
  if (err != vErrNone) return err;
  return vStream_Write(stream, terminator, terminatorLength);
}

vErr vStream_ReadCString(vStream* stream, char* buffer, size_t size) {
  if (!buffer || size == 0) return vErrParam;
  static const uint8_t zero = 0;
  size_t count = 0;
  vErr err =
      vStream_ReadRecord(stream, reinterpret_cast<uint8_t*>(buffer), &count, size - 1, &zero, 1);
  if (err == vErrNone) buffer[count] = 0;
  return err;
}

vErr vStream_WriteCString(vStream* stream, const char* text) {
  if (!text) return vErrParam;
  return vStream_Write(stream, reinterpret_cast<const uint8_t*>(text), strlen(text) + 1);
}

vErr vStream_ReadCStringRecord(vStream* stream, char* buffer, size_t size,
                               const char* terminatorText) {
  if (!buffer || size == 0 || !terminatorText) return vErrParam;
  size_t count = 0;
  vErr err =
      vStream_ReadRecord(stream, reinterpret_cast<uint8_t*>(buffer), &count, size - 1,
                         reinterpret_cast<const uint8_t*>(terminatorText), strlen(terminatorText));
  if (err == vErrNone) buffer[count] = 0;
  return err;
}

vErr vStream_WriteCStringRecord(vStream* stream, const char* text, const char* terminatorText) {
  if (!text || !terminatorText) return vErrParam;
  return vStream_WriteRecord(stream, reinterpret_cast<const uint8_t*>(text), strlen(text),
                             reinterpret_cast<const uint8_t*>(terminatorText),
                             strlen(terminatorText) + 1);
}

vErr vStream_Flush(vStream* from, vStream* to) {
  if (!sValid(from) || !sValid(to)) return vErrParam;
  if (!from->getProc || !to->putProc) return vErrMode;
  for (;;) {
    uint8_t byte;
    vErr err = from->getProc(&byte, from->ref);
    if (err == vErrEOF) return vErrNone;
    if (err != vErrNone) return err;
    err = to->putProc(byte, to->ref);
    if (err != vErrNone) return err;
  }
}

vErr vStream_Destroy(vStream** stream) {
  if (!stream) return vErrParam;
  if (!sValid(*stream)) {
    *stream = nullptr;
    return vErrParam;
  }
  vStream* s = *stream;
  vErr err = vErrNone;
  if (s->deleteProc) err = s->deleteProc(s->ref);
  free(s->pushBack);
  s->check = 0;
  free(s);
  *stream = nullptr;
  return err;
}
