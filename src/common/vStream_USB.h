// USB transport of vStream: a module's vendor bulk interface, reached through
// its kernel driver node when one exists and through libusb-1.0 otherwise, plus
// the process-wide libusb context and device test that USB discovery shares.
#pragma once
#include <atomic>
#include <cstdint>
#include <mutex>

#include "vStream.h"

struct libusb_context;
struct libusb_device;
struct libusb_device_handle;
struct libusb_transfer;

#define vUSB_STREAM_CHECK 0xDEAD
// The maker's USB vendor id, the same for every module.
#define vUSB_VENDOR_ID 0x2B8E
// Product ids of modules have bit 15 clear; the product id is the model.
#define vUSB_PRODUCT_LIMIT 0x8000
// The module's vendor interface: class, subclass, protocol.
#define vUSB_INTERFACE_CLASS 0xFF
#define vUSB_INTERFACE_SUBCLASS 0x88
#define vUSB_INTERFACE_PROTOCOL 0x10
// Device node of the kernel driver, by serial number.
#define vUSB_NODE_FORMAT "/dev/velmarine.%08X"
#define vUSB_SERIAL_TEXT_SIZE 52
#define vUSB_RECEIVE_SIZE 800

enum vlusbMode : uint32_t { vlusbModeKernel = 0, vlusbModeLibusb = 1 };

enum vlusbState : uint32_t {
  vlusbStateCreated = 1,
  vlusbStateClosed = 2,  // closed, or failed to open
  vlusbStateOpened = 3,  // matched and opened, interface being prepared
  vlusbStateReady = 4,   // interface claimed
  vlusbStateFailed = 5,  // failed after repeated I/O errors; never recovers
};

// One USB device as the transport drives it. The reader thread uses the read
// side and the writer thread the write side; the state and the error count
// are shared by both. An interruption may come from any thread.
typedef struct vlusbDevice {
  uint32_t mode;  // vlusbMode
  char serialText[vUSB_SERIAL_TEXT_SIZE];
  int fd;  // kernel path: the node's descriptor, -1 when none
  libusb_device_handle* handle;
  std::atomic<uint32_t> state;  // vlusbState
  uint8_t interfaceNumber;
  uint8_t outEndpoint;
  uint8_t inEndpoint;
  uint8_t receive[vUSB_RECEIVE_SIZE];
  int receiveCount;  // bytes still to hand out
  uint8_t* receiveNext;
  std::atomic<uint8_t> ioErrors;  // consecutive I/O errors
  // Read side, libusb path: the one bulk IN transfer a read submits and waits
  // for, made when the interface is claimed. The lock guards the two flags
  // an interruption looks at; inCompleted is set by the transfer's callback
  // in whichever thread handles libusb's events.
  libusb_transfer* inTransfer;
  std::mutex readLock;
  bool inPending;      // submitted and not yet complete
  bool interruptNext;  // interrupted while nothing was pending: the next read ends at once
  int inCompleted;
  // Kernel path: an eventfd that ends a pending wait for the node.
  int wakeFd;
} vlusbDevice;

// The stream's transport record.
typedef struct vUSBStreamRecord {
  uint32_t serialNumber;
  vlusbDevice* device;
  uint16_t check;  // vUSB_STREAM_CHECK while the record is valid
} vUSBStreamRecord;

// Process-wide libusb context: made on first use and kept for the run.
vErr Velmarine_libusb_init(void);
libusb_context* Velmarine_libusb_context(void);
void Velmarine_libusb_exit(void);
// True for the maker's vendor id with a product id below 0x8000.
bool is_velmarine_device(libusb_device* device);
// Set once any open or claim of one of the maker's devices in this process
// was refused for lack of permission (no udev rule gives the user access);
// the application then tells how to install the rules.
void vlusb_note_permission_denied(void);
bool vlusb_permission_denied(void);

// The stream of the module with that serial number: kernel node when it
// exists, else libusb. The caller's pointer is cleared first.
vErr vStream_CreateUSB(uint32_t serialNumber, vStream** stream);

bool vlusb_is_kernel_driver_installed(uint32_t serialNumber);
vlusbDevice* vlusb_create_usb(bool libusbMode);
vErr vlusb_open_velmarine_device(vlusbDevice* device, const char* serialText);
vErr vlusb_write_to_device(vlusbDevice* device, const uint8_t* bytes, int n);
vErr vlusb_get_from_device(vlusbDevice* device, uint8_t* byte);
// Ends a read pending in another thread at once (it reports vErrNotReady and
// keeps the bytes that did arrive); with none pending, the next read that
// would wait ends at once.
void vlusb_interrupt(vlusbDevice* device);
vErr vlusb_close_velmarine_device(vlusbDevice* device);
vErr vlusb_destroy(vlusbDevice** device);
