// USB discovery: walks the bus for the maker's modules and reports each one
// whose serial-number string is eight hexadecimal digits. Kept apart with the
// other libusb calls.
#include <libusb.h>

#include <cctype>
#include <cstdlib>
#include <cstring>

#include "vDiscovery.h"
#include "vStream_USB.h"

#define sSERIAL_BUFFER_SIZE 32
#define sSERIAL_DIGITS 8

namespace {

// Exactly eight hexadecimal digits; anything else is not a module's serial.
bool sParseSerial(const unsigned char* text, int length, uint32_t* serial) {
  if (length != sSERIAL_DIGITS) return false;
  for (int i = 0; i < length; i++)
    if (!isxdigit(text[i])) return false;
  char copy[sSERIAL_DIGITS + 1];
  memcpy(copy, text, sSERIAL_DIGITS);
  copy[sSERIAL_DIGITS] = '\0';
  *serial = uint32_t(strtoul(copy, nullptr, 16));
  return true;
}

}  // namespace

int vDiscovery_Enumerate_USBModules(vDiscoveryCallback callback, void* ref) {
  if (!callback) return 0;
  if (!Velmarine_libusb_context() && Velmarine_libusb_init() != vErrNone) return 0;
  libusb_context* context = Velmarine_libusb_context();
  libusb_device** list = nullptr;
  ssize_t devices = libusb_get_device_list(context, &list);
  if (devices < 0) return 0;
  int count = 0;
  bool more = true;
  for (ssize_t i = 0; i < devices && more; i++) {
    libusb_device* device = list[i];
    if (!is_velmarine_device(device)) continue;
    libusb_device_handle* handle = nullptr;
    int opened = libusb_open(device, &handle);
    if (opened == LIBUSB_ERROR_ACCESS) vlusb_note_permission_denied();
    if (opened != LIBUSB_SUCCESS || !handle) continue;
    libusb_device_descriptor descriptor;
    unsigned char text[sSERIAL_BUFFER_SIZE] = {0};
    uint32_t serial = 0;
    if (libusb_get_device_descriptor(device, &descriptor) == LIBUSB_SUCCESS &&
        descriptor.iSerialNumber != 0) {
      int length =
          libusb_get_string_descriptor_ascii(handle, descriptor.iSerialNumber, text, sizeof text);
      if (sParseSerial(text, length, &serial)) {
        linkSpec* found = vLinkSpec_Create(linkTypeUSB);
        if (found) {
          found->serialNumber = serial;
          found->model = descriptor.idProduct & 0xFF;
          found->t.usb.usbId = serial;
          bool accepted = false;
          more = callback(found, &accepted, ref);
          if (accepted) count++;
          vLinkSpec_Destroy(&found);
        }
      }
    }
    libusb_close(handle);
  }
  libusb_free_device_list(list, 1);
  return count;
}
