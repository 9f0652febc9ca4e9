// USB transport of vStream. libusb path: find the module by vendor id, product
// id and serial-number string, claim its vendor interface and move bytes with
// bulk transfers, hiding up to four consecutive I/O errors. A read is one
// asynchronous bulk IN transfer waited for with libusb's event handling, so
// that another thread can cancel it. Kernel path: read and write the driver's
// device node.
#include "vStream_USB.h"

#include <fcntl.h>
#include <libusb.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

#include "vFile.h"
#include "vLink.h"
#include "vTrace.h"

#define sWRITE_CHUNK 50
#define sWRITE_ATTEMPTS 100
#define sWRITE_TIMEOUT_MS 50
#define sREAD_TIMEOUT_MS 1000
#define sSERIAL_STRING_MAX 50
// Consecutive I/O errors hidden before the device is given up.
#define sTOLERATED_IO_ERRORS 4
#define sKERNEL_WRITE_CALLS 1000

namespace {

std::atomic<bool> sPermissionDenied{false};

std::mutex sContextLock;
libusb_context* sContext = nullptr;

void sTraceUsb(const char* what, int code) {
  if (vVelmarineDebuggingEnable && (vVelmarineDebuggingLevel & vLINK_TRACE_USB)) {
    vTrace_Printf("USB %s: %s\n", what, libusb_error_name(code));
  }
}

bool sValidStream(const vUSBStreamRecord* rec) {
  return rec && rec->check == vUSB_STREAM_CHECK && rec->device;
}

// Keeps a vErrIO for the caller only at the fifth consecutive one; every
// other result clears the count. A device in state 5 stays there.
vErr sTolerate(vlusbDevice* device, vErr result, vErr swallowedAs) {
  if (result != vErrIO) {
    device->ioErrors = 0;
    return result;
  }
  // A device given up on stays given up: its errors are no longer counted,
  // so the 8-bit count can never wrap round into the tolerated range.
  if (device->state == vlusbStateFailed) return vErrIO;
  uint8_t before = device->ioErrors.fetch_add(1);
  if (before < sTOLERATED_IO_ERRORS) return swallowedAs;
  device->state = vlusbStateFailed;
  return vErrIO;
}

// Finds the vendor interface and its bulk endpoints in configuration 0.
bool sFindEndpoints(vlusbDevice* device, libusb_device* usb) {
  libusb_device_descriptor descriptor;
  if (libusb_get_device_descriptor(usb, &descriptor) != LIBUSB_SUCCESS) return false;
  libusb_config_descriptor* config = nullptr;
  int r = libusb_get_config_descriptor(usb, 0, &config);
  if (r != LIBUSB_SUCCESS || !config) {
    sTraceUsb("config descriptor", r);
    return false;
  }
  bool haveIn = false, haveOut = false;
  for (int i = 0; i < config->bNumInterfaces; i++) {
    const libusb_interface& interface = config->interface[i];
    for (int a = 0; a < interface.num_altsetting; a++) {
      const libusb_interface_descriptor& setting = interface.altsetting[a];
      if (setting.bInterfaceClass != vUSB_INTERFACE_CLASS ||
          setting.bInterfaceSubClass != vUSB_INTERFACE_SUBCLASS ||
          setting.bInterfaceProtocol != vUSB_INTERFACE_PROTOCOL) {
        continue;
      }
      device->interfaceNumber = setting.bInterfaceNumber;
      for (int e = 0; e < setting.bNumEndpoints; e++) {
        const libusb_endpoint_descriptor& endpoint = setting.endpoint[e];
        if (!(endpoint.bmAttributes & 0x2)) continue;  // bulk or interrupt only
        if (endpoint.bEndpointAddress & 0x80) {
          device->inEndpoint = endpoint.bEndpointAddress;
          haveIn = true;
        } else {
          device->outEndpoint = endpoint.bEndpointAddress;
          haveOut = true;
        }
      }
    }
  }
  libusb_free_config_descriptor(config);
  return haveIn && haveOut;
}

vErr sClaimResult(int code) {
  switch (code) {
    case LIBUSB_ERROR_BUSY:
    case LIBUSB_ERROR_NO_DEVICE: return vErrBusy;
    case LIBUSB_ERROR_ACCESS: vlusb_note_permission_denied(); return vErrPermission;
    default: return vErrUnknown;
  }
}

// Takes the matched, opened device through endpoint discovery and claiming.
vErr sPrepare(vlusbDevice* device, libusb_device* usb, libusb_device_handle* handle,
              const char* serialText) {
  snprintf(device->serialText, sizeof(device->serialText), "%s", serialText);
  device->handle = handle;
  device->state = vlusbStateOpened;
  if (!sFindEndpoints(device, usb)) {
    device->state = vlusbStateClosed;
    libusb_close(handle);
    device->handle = nullptr;
    return vErrConfiguration;
  }
  int r = libusb_claim_interface(handle, device->interfaceNumber);
  if (r != LIBUSB_SUCCESS) {
    sTraceUsb("claim interface", r);
    device->state = vlusbStateClosed;
    libusb_close(handle);
    device->handle = nullptr;
    return sClaimResult(r);
  }
  if (!device->inTransfer) device->inTransfer = libusb_alloc_transfer(0);
  if (!device->inTransfer) {
    libusb_release_interface(handle, device->interfaceNumber);
    device->state = vlusbStateClosed;
    libusb_close(handle);
    device->handle = nullptr;
    return vErrMemory;
  }
  device->state = vlusbStateReady;
  device->ioErrors = 0;
  return vErrNone;
}

vErr sOpenLibusb(vlusbDevice* device, const char* serialText) {
  if (device->mode != vlusbModeLibusb) return vErrMode;
  if (device->state == 0) return vErrResource;
  libusb_context* context = Velmarine_libusb_context();
  if (!context) return vErrResource;
  vErr result = vErrNotFound;
  bool deniedAny = false;
  libusb_device** list = nullptr;
  ssize_t count = libusb_get_device_list(context, &list);
  if (count < 0) {
    sTraceUsb("device list", int(count));
    return result;
  }
  for (ssize_t i = 0; i < count; i++) {
    libusb_device* usb = list[i];
    if (!is_velmarine_device(usb)) continue;
    libusb_device_handle* handle = nullptr;
    int opened = libusb_open(usb, &handle);
    if (opened == LIBUSB_ERROR_ACCESS) {
      // Its serial can't be read: it may be the one sought.
      vlusb_note_permission_denied();
      deniedAny = true;
    }
    if (opened != LIBUSB_SUCCESS || !handle) continue;
    libusb_device_descriptor descriptor;
    unsigned char text[sSERIAL_STRING_MAX + 1] = {0};
    int length = -1;
    if (libusb_get_device_descriptor(usb, &descriptor) == LIBUSB_SUCCESS &&
        descriptor.iSerialNumber != 0) {
      length = libusb_get_string_descriptor_ascii(handle, descriptor.iSerialNumber, text,
                                                  sSERIAL_STRING_MAX);
    }
    if (length < 0 || size_t(length) != strlen(serialText) ||
        memcmp(text, serialText, size_t(length)) != 0) {
      libusb_close(handle);
      continue;
    }
    result = sPrepare(device, usb, handle, serialText);
    break;
  }
  libusb_free_device_list(list, 1);
  // Not found among the devices that could be opened, while some could not
  // for lack of permission: that is the likelier reason.
  if (result == vErrNotFound && deniedAny) result = vErrPermission;
  return result;
}

vErr sOpenKernel(vlusbDevice* device, const char* serialText) {
  if (device->mode != vlusbModeKernel) return vErrMode;
  snprintf(device->serialText, sizeof(device->serialText), "%s", serialText);
  char path[80];
  snprintf(path, sizeof(path), "/dev/velmarine.%s", device->serialText);
  int fd = open(path, O_RDWR | O_CLOEXEC | O_NOCTTY);
  if (fd < 0 && (errno == EACCES || errno == EPERM)) {
    vlusb_note_permission_denied();
    return vErrPermission;
  }
  if (fd < 0) return errno == EBUSY ? vErrBusy : vErrIO;
  device->fd = fd;
  return vErrNone;
}

// One bulk OUT transfer of n bytes; sent receives what went out.
int sBulkOut(vlusbDevice* device, const uint8_t* bytes, int n, int* sent) {
  *sent = 0;
  return libusb_bulk_transfer(device->handle, device->outEndpoint, const_cast<uint8_t*>(bytes), n,
                              sent, sWRITE_TIMEOUT_MS);
}

vErr sWriteLibusb(vlusbDevice* device, const uint8_t* bytes, int n) {
  switch (uint32_t(device->state)) {
    case vlusbStateReady: break;
    case vlusbStateClosed: return vErrConnection;
    case vlusbStateCreated:
    case vlusbStateOpened: return vErrNotReady;
    default: return vErrIO;
  }
  vErr result = vErrNone;
  int done = 0;  // bytes of the message sent
  int chunkStart = 0;
  for (int attempt = 0; attempt < sWRITE_ATTEMPTS && done < n; attempt++) {
    int chunk = n - chunkStart < sWRITE_CHUNK ? n - chunkStart : sWRITE_CHUNK;
    int pending = chunkStart + chunk - done;  // what is left of this chunk
    int sent = 0;
    int r = sBulkOut(device, bytes + done, pending, &sent);
    if (r == LIBUSB_ERROR_PIPE) {
      // A halted endpoint: clear it and send the chunk on the next attempt.
      sTraceUsb("write", r);
      int c = libusb_clear_halt(device->handle, device->outEndpoint);
      if (c != LIBUSB_SUCCESS) {
        sTraceUsb("clear halt", c);
        result = vErrIO;
      }
      // Bytes the module already took are not sent again: the next attempt
      // carries only what is left of the chunk.
      if (sent > 0 && sent <= pending) done += sent;
      continue;
    }
    if (r == LIBUSB_ERROR_NO_DEVICE) {
      // Gone: no attempt can reach it, and what it took is all it got.
      sTraceUsb("write", r);
      if (sent > 0 && sent <= pending) done += sent;
      break;
    }
    if (r != LIBUSB_SUCCESS) {
      sTraceUsb("write", r);
      if (sent > 0 && sent <= pending) done += sent;
      pending = chunkStart + chunk - done;
      int again = 0;
      r = pending > 0 ? sBulkOut(device, bytes + done, pending, &again) : LIBUSB_SUCCESS;
      if (r != LIBUSB_SUCCESS) {
        sTraceUsb("write", r);
        result = vErrIO;
        if (again > 0 && again <= pending) done += again;
        continue;
      }
      sent = again;
    }
    // A transfer that reports success with fewer bytes leaves the rest of
    // the chunk for the next attempt rather than dropping it.
    if (sent > 0 && sent <= chunkStart + chunk - done) done += sent;
    if (done == chunkStart + chunk) chunkStart = done;
  }
  if (done < n) result = vErrWrite;
  return sTolerate(device, result, vErrNone);
}

void LIBUSB_CALL sReadDone(libusb_transfer* transfer) {
  __atomic_store_n(static_cast<int*>(transfer->user_data), 1, __ATOMIC_RELEASE);
}

bool sReadCompleted(vlusbDevice* device) {
  return __atomic_load_n(&device->inCompleted, __ATOMIC_ACQUIRE) != 0;
}

// The libusb error a finished transfer stands for.
int sTransferResult(const libusb_transfer* transfer) {
  switch (transfer->status) {
    case LIBUSB_TRANSFER_COMPLETED: return LIBUSB_SUCCESS;
    case LIBUSB_TRANSFER_TIMED_OUT: return LIBUSB_ERROR_TIMEOUT;
    case LIBUSB_TRANSFER_CANCELLED: return LIBUSB_ERROR_INTERRUPTED;
    case LIBUSB_TRANSFER_STALL: return LIBUSB_ERROR_PIPE;
    case LIBUSB_TRANSFER_NO_DEVICE: return LIBUSB_ERROR_NO_DEVICE;
    case LIBUSB_TRANSFER_OVERFLOW: return LIBUSB_ERROR_OVERFLOW;
    default: return LIBUSB_ERROR_IO;
  }
}

// One bulk IN transfer into the receive buffer, submitted and then waited for
// with libusb's event handling: several links' threads may wait on the one
// context, and libusb_handle_events_timeout_completed lets whichever of them
// handles events run this transfer's callback, which sets the completion
// flag. The transfer ends by data, by its 1000 ms timeout or by a
// cancellation (vlusb_interrupt); it is never left pending, so the buffer
// is this thread's again on return. received: the bytes that arrived, which
// a timed out or cancelled transfer may also have. LIBUSB_ERROR_INTERRUPTED
// stands for a cancelled transfer, or one not submitted because an
// interruption was waiting.
int sBulkIn(vlusbDevice* device, int* received) {
  *received = 0;
  libusb_transfer* transfer = device->inTransfer;
  if (!transfer) return LIBUSB_ERROR_NO_MEM;
  {
    std::lock_guard<std::mutex> hold(device->readLock);
    if (device->interruptNext) {
      device->interruptNext = false;
      return LIBUSB_ERROR_INTERRUPTED;
    }
    device->inCompleted = 0;
    libusb_fill_bulk_transfer(transfer, device->handle, device->inEndpoint, device->receive,
                              vUSB_RECEIVE_SIZE, sReadDone, &device->inCompleted, sREAD_TIMEOUT_MS);
    int r = libusb_submit_transfer(transfer);
    if (r != LIBUSB_SUCCESS) return r;
    device->inPending = true;
  }
  libusb_context* context = Velmarine_libusb_context();
  while (!sReadCompleted(device)) {
    // Bounded only so that a failing event loop is noticed; the transfer's
    // own timeout ends a silent read.
    struct timeval tv = {1, 0};
    int r = libusb_handle_events_timeout_completed(context, &tv, &device->inCompleted);
    if (r != LIBUSB_SUCCESS && r != LIBUSB_ERROR_INTERRUPTED) {
      sTraceUsb("handle events", r);
      // It completes as cancelled; the buffer must not be left to libusb.
      libusb_cancel_transfer(transfer);
    }
  }
  {
    // The interruption, if any, ended this read: it is used up.
    std::lock_guard<std::mutex> hold(device->readLock);
    device->inPending = false;
    device->interruptNext = false;
  }
  if (transfer->actual_length > 0 && transfer->actual_length <= vUSB_RECEIVE_SIZE)
    *received = transfer->actual_length;
  return sTransferResult(transfer);
}

vErr sReadLibusb(vlusbDevice* device, uint8_t* byte) {
  if (device->receiveCount > 0) {
    *byte = *device->receiveNext++;
    device->receiveCount--;
    return vErrNone;
  }
  vErr result = vErrNone;
  switch (uint32_t(device->state)) {
    case vlusbStateReady: break;
    case vlusbStateClosed: result = vErrConnection; break;
    case vlusbStateCreated:
    case vlusbStateOpened: result = vErrNotReady; break;
    default: result = vErrIO; break;
  }
  if (result == vErrNone) {
    int received = 0;
    int r = sBulkIn(device, &received);
    if (r == LIBUSB_ERROR_PIPE) {
      sTraceUsb("read", r);
      int c = libusb_clear_halt(device->handle, device->inEndpoint);
      if (c != LIBUSB_SUCCESS) sTraceUsb("clear halt", c);
      if (received == 0) result = vErrNotReady;
    } else if (r == LIBUSB_ERROR_TIMEOUT || r == LIBUSB_ERROR_INTERRUPTED) {
      // Silence or an interruption: whatever did arrive is kept.
      if (received == 0) result = vErrNotReady;
    } else if (r != LIBUSB_SUCCESS) {
      sTraceUsb("read", r);
      result = vErrIO;
      received = 0;
    }
    device->receiveCount = received;
    device->receiveNext = device->receive;
    if (result == vErrNone) {
      if (received == 0) {
        result = vErrNotReady;
      } else {
        *byte = *device->receiveNext++;
        device->receiveCount--;
      }
    }
  }
  return sTolerate(device, result, vErrNotReady);
}

vErr sWriteKernel(vlusbDevice* device, const uint8_t* bytes, int n) {
  if (device->mode != vlusbModeKernel || device->fd < 0) return vErrMode;
  int done = 0;
  for (int call = 0; call < sKERNEL_WRITE_CALLS && done < n; call++) {
    ssize_t w = write(device->fd, bytes + done, size_t(n - done));
    if (w < 0 && errno == EINTR) continue;
    if (w < 0) return vErrIO;
    done += int(w);
  }
  return done < n ? vErrIO : vErrNone;
}

// Waits at most as long as a libusb read for a byte, so that a silent module
// never keeps the reading thread (and so the link's stop) waiting forever. A
// node that hangs up (the module unplugged) is an I/O error, not an endless
// run of empty reads.
vErr sReadKernel(vlusbDevice* device, uint8_t* byte) {
  if (device->mode != vlusbModeKernel || device->fd < 0) return vErrMode;
  struct pollfd p[2] = {{device->fd, POLLIN, 0}, {device->wakeFd, POLLIN, 0}};
  int ready = poll(p, device->wakeFd >= 0 ? 2 : 1, sREAD_TIMEOUT_MS);
  if (ready == 0 || (ready < 0 && errno == EINTR)) return vErrNotReady;
  if (ready > 0 && device->wakeFd >= 0 && (p[1].revents & POLLIN)) {
    uint64_t count;
    if (read(device->wakeFd, &count, sizeof count) < 0) {
      // Nothing to do: the count was taken by a read of our own before.
    }
    if (!(p[0].revents & POLLIN)) return vErrNotReady;
  }
  if (ready < 0 || (p[0].revents & (POLLERR | POLLNVAL))) return vErrIO;
  ssize_t r = read(device->fd, byte, 1);
  if (r < 0) return errno == EFAULT || errno == EINTR || errno == EAGAIN ? vErrNotReady : vErrIO;
  if (r == 0) return (p[0].revents & POLLHUP) ? vErrIO : vErrNotReady;
  return vErrNone;
}

vErr sCloseLibusb(vlusbDevice* device) {
  if (device->mode != vlusbModeLibusb || !device->handle) return vErrMode;
  libusb_release_interface(device->handle, device->interfaceNumber);
  libusb_close(device->handle);
  device->handle = nullptr;
  device->state = vlusbStateClosed;
  device->interfaceNumber = 0;
  device->outEndpoint = 0;
  device->inEndpoint = 0;
  return vErrNone;
}

vErr sCloseKernel(vlusbDevice* device) {
  if (device->mode != vlusbModeKernel) return vErrMode;
  if (device->fd < 0) return vErrNone;
  int r = close(device->fd);
  // Linux releases the descriptor even when close reports an error.
  device->fd = -1;
  if (r != 0) return vErrCancel;
  device->state = vlusbStateClosed;
  return vErrNone;
}

vErr sStreamGet(uint8_t* byte, void* ref) {
  vUSBStreamRecord* rec = static_cast<vUSBStreamRecord*>(ref);
  if (!sValidStream(rec) || !byte) return vErrParam;
  return vlusb_get_from_device(rec->device, byte);
}

vErr sStreamWrite(const uint8_t* bytes, size_t n, void* ref) {
  vUSBStreamRecord* rec = static_cast<vUSBStreamRecord*>(ref);
  if (!sValidStream(rec) || (!bytes && n > 0) || n > 0x7FFFFFFF) return vErrParam;
  return vlusb_write_to_device(rec->device, bytes, int(n));
}

vErr sStreamPut(uint8_t byte, void* ref) { return sStreamWrite(&byte, 1, ref); }

void sStreamInterrupt(void* ref) {
  vUSBStreamRecord* rec = static_cast<vUSBStreamRecord*>(ref);
  if (sValidStream(rec)) vlusb_interrupt(rec->device);
}

// The stream is freed whatever its delete reports, so the device record goes
// with it too; a failed close is still reported.
vErr sStreamDelete(void* ref) {
  vUSBStreamRecord* rec = static_cast<vUSBStreamRecord*>(ref);
  if (!sValidStream(rec)) return vErrParam;
  vErr err = vlusb_close_velmarine_device(rec->device);
  vlusb_destroy(&rec->device);
  rec->check = 0;
  free(rec);
  return err;
}

}  // namespace

// ---------------------------------------------------------------- context

vErr Velmarine_libusb_init(void) {
  std::lock_guard<std::mutex> lock(sContextLock);
  if (sContext) return vErrNone;
  int r = libusb_init(&sContext);
  if (r != LIBUSB_SUCCESS) {
    sTraceUsb("init", r);
    sContext = nullptr;
    return vErrResource;
  }
  return vErrNone;
}

libusb_context* Velmarine_libusb_context(void) {
  std::lock_guard<std::mutex> lock(sContextLock);
  return sContext;
}

void Velmarine_libusb_exit(void) {
  std::lock_guard<std::mutex> lock(sContextLock);
  if (sContext) libusb_exit(sContext);
  sContext = nullptr;
}

bool is_velmarine_device(libusb_device* device) {
  if (!device) return false;
  libusb_device_descriptor descriptor;
  if (libusb_get_device_descriptor(device, &descriptor) != LIBUSB_SUCCESS) return false;
  return descriptor.idVendor == vUSB_VENDOR_ID && descriptor.idProduct < vUSB_PRODUCT_LIMIT;
}

// ---------------------------------------------------------------- device

bool vlusb_is_kernel_driver_installed(uint32_t serialNumber) {
  char path[64];
  snprintf(path, sizeof(path), vUSB_NODE_FORMAT, serialNumber);
  return vFile_Exists(path);
}

vlusbDevice* vlusb_create_usb(bool libusbMode) {
  if (libusbMode && Velmarine_libusb_init() != vErrNone) return nullptr;
  vlusbDevice* device = new (std::nothrow) vlusbDevice();
  if (!device) return nullptr;
  device->mode = libusbMode ? vlusbModeLibusb : vlusbModeKernel;
  device->fd = -1;
  device->handle = nullptr;
  device->receiveCount = 0;
  device->receiveNext = device->receive;
  device->ioErrors = 0;
  device->inTransfer = nullptr;
  device->inPending = false;
  device->interruptNext = false;
  device->inCompleted = 0;
  device->wakeFd = libusbMode ? -1 : eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  device->state = vlusbStateCreated;
  return device;
}

vErr vlusb_open_velmarine_device(vlusbDevice* device, const char* serialText) {
  if (!device || !serialText) return vErrParam;
  return device->mode == vlusbModeKernel ? sOpenKernel(device, serialText)
                                         : sOpenLibusb(device, serialText);
}

vErr vlusb_write_to_device(vlusbDevice* device, const uint8_t* bytes, int n) {
  if (!device || (!bytes && n > 0) || n < 0) return vErrParam;
  if (device->mode == vlusbModeKernel) return sWriteKernel(device, bytes, n);
  if (device->mode != vlusbModeLibusb) return vErrMode;
  return sWriteLibusb(device, bytes, n);
}

vErr vlusb_get_from_device(vlusbDevice* device, uint8_t* byte) {
  if (!device || !byte) return vErrParam;
  if (device->mode == vlusbModeKernel) return sReadKernel(device, byte);
  if (device->mode != vlusbModeLibusb) return vErrMode;
  return sReadLibusb(device, byte);
}

void vlusb_interrupt(vlusbDevice* device) {
  if (!device) return;
  if (device->mode == vlusbModeKernel) {
    uint64_t one = 1;
    if (device->wakeFd >= 0 && write(device->wakeFd, &one, sizeof one) < 0) {
      // The count is already at its limit: a wake is pending anyway.
    }
    return;
  }
  std::lock_guard<std::mutex> hold(device->readLock);
  if (device->inPending) {
    // A second cancellation of the same transfer is refused by libusb
    // (not found) and changes nothing.
    int r = libusb_cancel_transfer(device->inTransfer);
    if (r != LIBUSB_SUCCESS && r != LIBUSB_ERROR_NOT_FOUND) sTraceUsb("cancel", r);
  } else {
    device->interruptNext = true;
  }
}

vErr vlusb_close_velmarine_device(vlusbDevice* device) {
  if (!device) return vErrParam;
  return device->mode == vlusbModeKernel ? sCloseKernel(device) : sCloseLibusb(device);
}

vErr vlusb_destroy(vlusbDevice** device) {
  if (!device || !*device) return vErrParam;
  vlusbDevice* d = *device;
  if (d->handle) {
    libusb_release_interface(d->handle, d->interfaceNumber);
    libusb_close(d->handle);
  }
  if (d->mode == vlusbModeKernel && d->fd >= 0) close(d->fd);
  if (d->wakeFd >= 0) close(d->wakeFd);
  // Never pending here: a read always waits for its transfer to end.
  if (d->inTransfer) libusb_free_transfer(d->inTransfer);
  delete d;
  *device = nullptr;
  return vErrNone;
}

// ---------------------------------------------------------------- stream

vErr vStream_CreateUSB(uint32_t serialNumber, vStream** stream) {
  if (stream) *stream = nullptr;
  bool kernel = vlusb_is_kernel_driver_installed(serialNumber);
  if (!stream || serialNumber == 0) return vErrParam;
  vUSBStreamRecord* rec = static_cast<vUSBStreamRecord*>(calloc(1, sizeof(vUSBStreamRecord)));
  if (!rec) return vErrMemory;
  char serialText[vUSB_SERIAL_TEXT_SIZE];
  snprintf(serialText, sizeof(serialText), "%08X", serialNumber);
  rec->serialNumber = serialNumber;
  rec->device = vlusb_create_usb(!kernel);
  if (!rec->device) {
    free(rec);
    return vErrResource;
  }
  vErr err = vlusb_open_velmarine_device(rec->device, serialText);
  if (err != vErrNone) {
    vlusb_destroy(&rec->device);
    free(rec);
    return err;
  }
  rec->check = vUSB_STREAM_CHECK;
  vStream* made = vStream_Create(sStreamGet, sStreamPut, sStreamWrite, sStreamDelete, rec);
  if (made) vStream_SetInterruptProc(made, sStreamInterrupt);
  if (!made) {
    vlusb_close_velmarine_device(rec->device);
    vlusb_destroy(&rec->device);
    rec->check = 0;
    free(rec);
    return vErrMemory;
  }
  *stream = made;
  return vErrNone;
}

void vlusb_note_permission_denied(void) { sPermissionDenied.store(true); }

bool vlusb_permission_denied(void) { return sPermissionDenied.load(); }
