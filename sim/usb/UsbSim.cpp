// A simulated USB bus behind the libusb-1.0 functions a host program calls,
// loaded with LD_PRELOAD: simulated modules appear as the maker's USB devices
// and their bulk bytes go to and from velmarine_sim_lib over socket pairs.
// Transfers are asynchronous as in libusb: submitted, completed or cancelled,
// and their callbacks run inside the event handling of whichever thread
// handles events (one at a time; the others wait for it, as libusb's
// documentation on multi-threaded event handling describes). The synchronous
// bulk transfer is built on them, as libusb builds it.
#include <dlfcn.h>
#include <fcntl.h>
#include <libusb.h>
#include <poll.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "UsbSimConfig.h"
#include "VelmarineSim.h"

struct libusb_context {
  int inits = 0;
};

struct libusb_device {
  usbsim::DeviceConfig config;
  int refs = 0;
  bool gone = false;  // unplugged: every transfer fails with NO_DEVICE
  bool stallOutNext = false, stallInNext = false;
  bool haltedOut = false, haltedIn = false;
  int ioErrorsOut = 0, ioErrorsIn = 0;  // transfers still to fail with LIBUSB_ERROR_IO (-1: all)
  int shortOut = 0;  // the next OUT transfer moves only this many bytes and reports success
  int stallOutAfter = -1, stallInAfter = -1;  // transfers still to pass before a stall (-1: none)
  int stallOutMoved = 0;  // the next OUT transfer moves this many bytes, then stalls (0: none)
  int inPartial = -1;  // the next IN transfer takes at most this many bytes, then waits (-1: none)
  int unplugAfter = -1;  // OUT transfers still to pass before the device is unplugged (-1: never)
  int openHandles = 0;
  bool claimed = false;
};

struct libusb_device_handle {
  libusb_device* device = nullptr;
  int fd = -1;  // host end of the socket pair to the module, while claimed
  bool claimed = false;
  int endpoint = -1;     // the simulator's end of that pair
  uint64_t written = 0;  // bytes OUT transfers handed to the module over it
};

namespace {

constexpr uint8_t kOutEndpoint = 0x01;
constexpr uint8_t kInEndpoint = 0x82;

using Clock = std::chrono::steady_clock;

// What the bus keeps of a transfer; the libusb_transfer the program sees sits
// right behind it in one allocation. Guarded by the bus lock.
struct SimTransfer {
  bool inFlight = false;  // submitted, callback not yet run
  bool cancelling = false;
  bool decided = false;  // its outcome is known; the next event handling completes it
  libusb_transfer_status outcome = LIBUSB_TRANSFER_COMPLETED;
  int partialLimit = -1;  // IN: bytes it takes before it only waits for its end (-1: no limit)
  bool hasDeadline = false;
  Clock::time_point deadline;
};

constexpr size_t kTransferHeader = (sizeof(SimTransfer) + alignof(std::max_align_t) - 1) /
                                   alignof(std::max_align_t) * alignof(std::max_align_t);

SimTransfer* sMeta(libusb_transfer* transfer) {
  return reinterpret_cast<SimTransfer*>(reinterpret_cast<char*>(transfer) - kTransferHeader);
}

int sFlag(const int* completed) {
  return completed ? __atomic_load_n(completed, __ATOMIC_ACQUIRE) : 0;
}

// A module reached through a driver node: a pty the simulator serves.
struct Node {
  uint32_t serial = 0;
  std::string path;  // the pty's slave
  int endpoint = 0;
};

struct Bus {
  std::mutex m;
  velsim::Simulator sim;
  std::vector<libusb_device*> devices;  // never freed: handles may outlive a list
  std::vector<Node> nodes;              // modules behind a driver node
  // The event log has a lock of its own, taken last: the modules' thread adds
  // its events (route commands, I2C writes) while the bus lock may be held
  // by a thread that waits for the simulator.
  std::mutex logM;
  std::vector<std::string> events;
  FILE* logFile = nullptr;  // VELMARINE_USB_SIM_LOG: every event also appended here
  std::string error;        // why the configuration was refused
  // Stream samples of the modules configured with "stream=", by serial.
  std::map<uint32_t, std::unique_ptr<velsim::SimStream>> streams;
  // Transfers in flight (guarded by m) and the event handling: the events
  // lock is held by the one thread that handles events; the others wait on
  // the waiters' condition until it is done. wakeFd ends the handler's wait
  // when a transfer is submitted or cancelled or a device goes.
  std::vector<libusb_transfer*> inFlight;
  std::mutex eventsLock;
  std::mutex waitersM;
  std::condition_variable waiters;
  bool handling = false;  // guarded by waitersM
  int wakeFd = -1;
};

void sWake(Bus* bus) {
  uint64_t one = 1;
  if (bus->wakeFd >= 0 && write(bus->wakeFd, &one, sizeof one) < 0) {
    // Already at its limit: a wake is pending anyway.
  }
}

void sAddEvent(Bus* bus, const std::string& line) {
  std::lock_guard<std::mutex> lock(bus->logM);
  bus->events.push_back(line);
  if (bus->logFile) {
    fprintf(bus->logFile, "%s\n", line.c_str());
    fflush(bus->logFile);
  }
}

// Puts one module on the bus (or behind its driver node). A module plugged in
// again under a serial number the bus knew keeps its simulated state.
void sAddDevice(Bus* b, const usbsim::DeviceConfig& c) {
  if (!b->sim.HasModule(c.serial)) {
    b->sim.AddModule(c.module);
    b->sim.SetFaults(c.serial, c.faults);
  }
  // A module behind a router is reached only through the router's link.
  if (c.module.router) return;
  if (c.node) {
    velsim::Endpoint pty = b->sim.OpenPty(c.serial);
    b->nodes.push_back(Node{c.serial, pty.where, pty.id});
    return;
  }
  libusb_device* d = nullptr;
  for (libusb_device* old : b->devices)
    if (old->config.serial == c.serial) d = old;
  if (!d) {
    d = new libusb_device();
    b->devices.push_back(d);
  }
  d->config = c;
  d->stallOutNext = c.stallOut;
  d->stallInNext = c.stallIn;
  d->haltedOut = d->haltedIn = false;
  d->ioErrorsOut = c.ioError ? -1 : 0;
  d->ioErrorsIn = c.ioError ? -1 : 0;
  d->shortOut = 0;
  d->stallOutAfter = d->stallInAfter = -1;
  d->stallOutMoved = 0;
  d->inPartial = -1;
  d->unplugAfter = c.unplugAfter;
  d->gone = c.gone;
  // Its stream command is registered before the simulator starts; a module
  // plugged in later keeps what it had.
  if (!c.streams.empty() && !b->streams.count(c.serial) && !b->sim.Running()) {
    std::unique_ptr<velsim::SimStream> stream(new velsim::SimStream(b->sim, c.serial, c.address));
    for (const velsim::StreamSource& source : c.streams) stream->AddSource(source);
    stream->SetRate(c.streamRate);
    b->streams[c.serial] = std::move(stream);
  }
}

// Whether the device is on the bus now: plugged in, and its module not restarting.
bool sPresent(Bus* bus, libusb_device* d) { return !d->gone && bus->sim.Present(d->config.serial); }

// Built on first use and kept for the life of the process.
Bus* sBus() {
  static Bus* bus = [] {
    Bus* b = new Bus();
    b->wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    const char* spec = getenv("VELMARINE_USB_SIM");
    const char* logPath = getenv("VELMARINE_USB_SIM_LOG");
    if (logPath && *logPath) b->logFile = fopen(logPath, "ae");
    b->sim.SetEventSink([b](uint32_t serial, const std::string& event) {
      char prefix[16];
      snprintf(prefix, sizeof prefix, "%08X ", serial);
      sAddEvent(b, prefix + event);
    });
    try {
      std::vector<usbsim::DeviceConfig> configs = usbsim::ParseBusSpec(spec ? spec : "");
      for (const auto& c : configs) sAddDevice(b, c);
      // Traces every packet the modules see on standard error.
      const char* verbose = getenv("VELMARINE_USB_SIM_VERBOSE");
      if (verbose && *verbose && strcmp(verbose, "0") != 0) b->sim.SetVerbose(true);
      b->sim.Start();
      for (auto& stream : b->streams) stream.second->Start();
    } catch (const std::exception& e) {
      b->error = e.what();
      fprintf(stderr, "VELMARINE_USB_SIM: %s\n", e.what());
    }
    return b;
  }();
  return bus;
}

void sEvent(Bus* bus, const char* format, ...) {
  char line[160];
  va_list args;
  va_start(args, format);
  vsnprintf(line, sizeof(line), format, args);
  va_end(args);
  sAddEvent(bus, line);
}

// A transfer outcome forced by a fault, or 1 when the transfer may go ahead.
int sFault(Bus* bus, libusb_device* d, bool out) {
  if (!sPresent(bus, d)) return LIBUSB_ERROR_NO_DEVICE;
  if (out && d->unplugAfter == 0) {
    d->unplugAfter = -1;
    d->gone = true;
    sEvent(bus, "%08X unplug", d->config.serial);
    return LIBUSB_ERROR_NO_DEVICE;
  }
  if (out && d->unplugAfter > 0) d->unplugAfter--;
  bool& halted = out ? d->haltedOut : d->haltedIn;
  bool& stallNext = out ? d->stallOutNext : d->stallInNext;
  int& stallAfter = out ? d->stallOutAfter : d->stallInAfter;
  if (stallAfter == 0) {
    stallAfter = -1;
    stallNext = true;
  } else if (stallAfter > 0) {
    stallAfter--;
  }
  if (stallNext) {
    stallNext = false;
    halted = true;
  }
  if (halted) return LIBUSB_ERROR_PIPE;
  int& failing = out ? d->ioErrorsOut : d->ioErrorsIn;
  if (failing != 0) {
    if (failing > 0) failing--;
    return LIBUSB_ERROR_IO;
  }
  return 1;
}

// Whether OUT bytes carry a request that unplugs the device: the transfer is
// read as whole packets (address, length, data), as the host writes them.
bool sUnplugsOn(const usbsim::DeviceConfig& c, const unsigned char* data, int length) {
  if (c.unplugOn.empty()) return false;
  for (int at = 0; at + 2 < length;) {
    int n = data[at + 1];
    if (n > velsim::kMaxData) return false;
    bool request = data[at] != velsim::kProbeAddress && data[at] != velsim::kRouteAddress;
    if (request && n > 0 && at + 2 + n <= length) {
      int command = data[at + 2], option = n > 1 ? (data[at + 3] & 0x3F) : -1;
      for (const auto& rule : c.unplugOn)
        if (rule.first == command && (rule.second < 0 || rule.second == option)) return true;
    }
    at += 2 + n;
  }
  return false;
}

// Applies "SERIAL FAULT" at run time; the reply says what happened.
std::string sControl(Bus* bus, const std::string& command) {
  if (command == "log") {
    std::lock_guard<std::mutex> lock(bus->logM);
    std::string all;
    for (const auto& e : bus->events) all += e + "\n";
    return all;
  }
  if (command == "stop") {
    // Ends the modules' thread before the process exits, so that it never
    // runs while the simulator's static data is being destroyed.
    for (auto& stream : bus->streams) stream.second->Stop();
    bus->sim.Stop();
    return "ok";
  }
  if (command == "clear-log") {
    std::lock_guard<std::mutex> lock(bus->logM);
    bus->events.clear();
    return "ok";
  }
  if (command.compare(0, 5, "plug ") == 0) {
    // A module arrives while the program runs (a boot ROM jumped to its loader).
    try {
      usbsim::DeviceConfig c = usbsim::ParseDeviceSpec(command.substr(5));
      for (libusb_device* d : bus->devices)
        if (d->config.serial == c.serial && !d->gone) return "error: already plugged in";
      sAddDevice(bus, c);
      sEvent(bus, "%08X plug", c.serial);
      return "ok";
    } catch (const std::exception& e) {
      return std::string("error: ") + e.what();
    }
  }
  if (command.compare(0, 7, "unplug ") == 0) {
    unsigned serial = 0;
    if (sscanf(command.c_str() + 7, "%x", &serial) != 1) return "error: expected unplug SERIAL";
    for (libusb_device* d : bus->devices) {
      if (d->config.serial != serial || d->gone) continue;
      d->gone = true;
      sEvent(bus, "%08X unplug", serial);
      sWake(bus);
      return "ok";
    }
    return "error: no such device";
  }
  unsigned serial = 0;
  char fault[32] = {0};
  int count = -1;
  int fields = sscanf(command.c_str(), "%x %31s %d", &serial, fault, &count);
  if (fields < 2) return "error: expected SERIAL FAULT";
  for (const Node& n : bus->nodes) {
    if (n.serial != serial) continue;
    // Unplugging a module behind a driver node hangs its pty up.
    if (std::string(fault) != "disconnect") return "error: a node only disconnects";
    bus->sim.DropLinks(n.endpoint, true);
    sEvent(bus, "%08X fault %s", serial, fault);
    return "ok";
  }
  for (libusb_device* d : bus->devices) {
    if (d->config.serial != serial) continue;
    std::string f = fault;
    if (f == "stall-out") {
      d->stallOutNext = true;
    } else if (f == "stall-in") {
      d->stallInNext = true;
    } else if (f == "io-error") {
      d->ioErrorsOut = d->ioErrorsIn = fields == 3 ? count : -1;
    } else if (f == "io-error-in") {
      d->ioErrorsIn = fields == 3 ? count : -1;
    } else if (f == "io-error-out") {
      d->ioErrorsOut = fields == 3 ? count : -1;
    } else if (f == "heal") {
      d->ioErrorsOut = d->ioErrorsIn = 0;
      d->stallOutNext = d->stallInNext = d->haltedOut = d->haltedIn = false;
    } else if (f == "stall-out-after" && fields == 3 && count >= 0) {
      d->stallOutAfter = count;
    } else if (f == "stall-in-after" && fields == 3 && count >= 0) {
      d->stallInAfter = count;
    } else if (f == "unplug-after" && fields == 3 && count >= 0) {
      d->unplugAfter = count;
    } else if (f == "short-out" && fields == 3 && count > 0) {
      d->shortOut = count;
    } else if (f == "stall-out-moved" && fields == 3 && count > 0) {
      d->stallOutMoved = count;
    } else if (f == "in-partial" && fields == 3 && count >= 0) {
      d->inPartial = count;
    } else if (f == "disconnect") {
      d->gone = true;
      sWake(bus);
    } else {
      return "error: unknown fault " + f;
    }
    sEvent(bus, "%08X fault %s", serial, fault);
    return "ok";
  }
  return "error: no such device";
}

// Where a driver node of the bus really is, or none for any other path.
const char* sNodeTarget(const char* path, std::string& target) {
  static const char kPrefix[] = "/dev/velmarine.";
  if (!path || strncmp(path, kPrefix, sizeof(kPrefix) - 1) != 0) return nullptr;
  Bus* bus = sBus();
  std::lock_guard<std::mutex> lock(bus->m);
  std::string name = path + sizeof(kPrefix) - 1;
  for (const Node& n : bus->nodes) {
    char text[16];
    snprintf(text, sizeof(text), "%08X", n.serial);
    if (name == text) {
      target = n.path;
      sEvent(bus, "%s node", name.c_str());
      return target.c_str();
    }
  }
  return nullptr;
}

template <typename F>
F sNext(const char* name) {
  return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

// A driver node passes bytes unchanged: a pty standing in for one is made raw.
int sOpenNode(const char* target, int flags) {
  static auto real = sNext<int (*)(const char*, int, ...)>("open");
  int fd = real(target, flags & ~O_CREAT);
  if (fd >= 0) {
    struct termios t;
    if (tcgetattr(fd, &t) == 0) {
      cfmakeraw(&t);
      tcsetattr(fd, TCSANOW, &t);
    }
  }
  return fd;
}

// An OUT transfer is complete once the device has its bytes. The module
// here reads them in a thread of its own, so before its end of the link is
// closed it is given the time to take what it was sent (a route release
// written just before a program lets go, say). Caller holds the bus lock.
void sLetModuleTakeItsBytes(Bus* bus, libusb_device_handle* handle) {
  if (handle->endpoint < 0 || handle->written == 0 || !sPresent(bus, handle->device)) return;
  uint64_t written = handle->written;
  bus->sim.WaitFor(
      handle->endpoint, [written](const velsim::EndpointStats& s) { return s.bytesIn >= written; },
      200);
}

}  // namespace

extern "C" {

// ---------------------------------------------------------------- control

// Faults at run time and the bus's event log, for test drivers that find this
// function with dlsym. The reply stays valid until the next call.
const char* velmarine_usb_sim_control(const char* command) {
  static std::string reply;
  Bus* bus = sBus();
  std::lock_guard<std::mutex> lock(bus->m);
  reply = sControl(bus, command ? command : "");
  return reply.c_str();
}

// ---------------------------------------------------------------- libusb

int libusb_init(libusb_context** context) {
  Bus* bus = sBus();
  std::lock_guard<std::mutex> lock(bus->m);
  sEvent(bus, "init");
  if (!bus->error.empty()) return LIBUSB_ERROR_OTHER;
  if (context) *context = new libusb_context();
  return LIBUSB_SUCCESS;
}

void libusb_exit(libusb_context* context) {
  Bus* bus = sBus();
  std::lock_guard<std::mutex> lock(bus->m);
  sEvent(bus, "exit");
  delete context;
}

ssize_t libusb_get_device_list(libusb_context*, libusb_device*** list) {
  if (!list) return LIBUSB_ERROR_INVALID_PARAM;
  Bus* bus = sBus();
  std::lock_guard<std::mutex> lock(bus->m);
  std::vector<libusb_device*> present;
  for (libusb_device* d : bus->devices) {
    if (sPresent(bus, d)) present.push_back(d);
  }
  libusb_device** out =
      static_cast<libusb_device**>(calloc(present.size() + 1, sizeof(libusb_device*)));
  if (!out) return LIBUSB_ERROR_NO_MEM;
  for (size_t i = 0; i < present.size(); i++) {
    out[i] = present[i];
    present[i]->refs++;
  }
  *list = out;
  sEvent(bus, "list %zu", present.size());
  return ssize_t(present.size());
}

void libusb_free_device_list(libusb_device** list, int unrefDevices) {
  if (!list) return;
  Bus* bus = sBus();
  std::lock_guard<std::mutex> lock(bus->m);
  for (size_t i = 0; list[i]; i++) {
    if (unrefDevices) list[i]->refs--;
  }
  free(list);
}

libusb_device* libusb_ref_device(libusb_device* device) {
  Bus* bus = sBus();
  std::lock_guard<std::mutex> lock(bus->m);
  if (device) device->refs++;
  return device;
}

void libusb_unref_device(libusb_device* device) {
  Bus* bus = sBus();
  std::lock_guard<std::mutex> lock(bus->m);
  if (device) device->refs--;
}

int libusb_get_device_descriptor(libusb_device* device, libusb_device_descriptor* descriptor) {
  if (!device || !descriptor) return LIBUSB_ERROR_INVALID_PARAM;
  memset(descriptor, 0, sizeof(*descriptor));
  descriptor->bLength = LIBUSB_DT_DEVICE_SIZE;
  descriptor->bDescriptorType = LIBUSB_DT_DEVICE;
  descriptor->bcdUSB = 0x0200;
  descriptor->bMaxPacketSize0 = 64;
  descriptor->idVendor = device->config.vendor;
  descriptor->idProduct = device->config.product;
  descriptor->bcdDevice = 0x0100;
  descriptor->iManufacturer = 1;
  descriptor->iProduct = 2;
  descriptor->iSerialNumber = 3;
  descriptor->bNumConfigurations = 1;
  return LIBUSB_SUCCESS;
}

int libusb_get_config_descriptor(libusb_device* device, uint8_t index,
                                 libusb_config_descriptor** config) {
  if (!device || !config) return LIBUSB_ERROR_INVALID_PARAM;
  if (index != 0) return LIBUSB_ERROR_NOT_FOUND;
  const usbsim::DeviceConfig& c = device->config;
  // One block: the configuration, one interface, one setting, its endpoints.
  struct Block {
    libusb_config_descriptor config;
    libusb_interface interface;
    libusb_interface_descriptor setting;
    libusb_endpoint_descriptor endpoints[2];
  };
  Block* b = static_cast<Block*>(calloc(1, sizeof(Block)));
  if (!b) return LIBUSB_ERROR_NO_MEM;
  int n = 0;
  if (c.outEndpoint) {
    b->endpoints[n].bLength = LIBUSB_DT_ENDPOINT_SIZE;
    b->endpoints[n].bDescriptorType = LIBUSB_DT_ENDPOINT;
    b->endpoints[n].bEndpointAddress = kOutEndpoint;
    b->endpoints[n].bmAttributes = LIBUSB_TRANSFER_TYPE_BULK;
    b->endpoints[n].wMaxPacketSize = 64;
    n++;
  }
  if (c.inEndpoint) {
    b->endpoints[n].bLength = LIBUSB_DT_ENDPOINT_SIZE;
    b->endpoints[n].bDescriptorType = LIBUSB_DT_ENDPOINT;
    b->endpoints[n].bEndpointAddress = kInEndpoint;
    b->endpoints[n].bmAttributes = LIBUSB_TRANSFER_TYPE_BULK;
    b->endpoints[n].wMaxPacketSize = 64;
    n++;
  }
  b->setting.bLength = LIBUSB_DT_INTERFACE_SIZE;
  b->setting.bDescriptorType = LIBUSB_DT_INTERFACE;
  b->setting.bInterfaceNumber = 0;
  b->setting.bNumEndpoints = uint8_t(n);
  b->setting.bInterfaceClass = 0xFF;
  b->setting.bInterfaceSubClass = c.interfaceSubclass;
  b->setting.bInterfaceProtocol = 0x10;
  b->setting.endpoint = b->endpoints;
  b->interface.altsetting = &b->setting;
  b->interface.num_altsetting = 1;
  b->config.bLength = LIBUSB_DT_CONFIG_SIZE;
  b->config.bDescriptorType = LIBUSB_DT_CONFIG;
  b->config.bNumInterfaces = 1;
  b->config.bConfigurationValue = 1;
  b->config.MaxPower = 50;
  b->config.interface = &b->interface;
  *config = &b->config;
  return LIBUSB_SUCCESS;
}

void libusb_free_config_descriptor(libusb_config_descriptor* config) { free(config); }

int libusb_open(libusb_device* device, libusb_device_handle** handle) {
  if (!device || !handle) return LIBUSB_ERROR_INVALID_PARAM;
  Bus* bus = sBus();
  std::lock_guard<std::mutex> lock(bus->m);
  if (!sPresent(bus, device)) return LIBUSB_ERROR_NO_DEVICE;
  if (device->config.denied) {
    sEvent(bus, "%08X open LIBUSB_ERROR_ACCESS", device->config.serial);
    return LIBUSB_ERROR_ACCESS;
  }
  libusb_device_handle* h = new libusb_device_handle();
  h->device = device;
  device->openHandles++;
  *handle = h;
  sEvent(bus, "%08X open", device->config.serial);
  return LIBUSB_SUCCESS;
}

int libusb_claim_interface(libusb_device_handle* handle, int interface) {
  if (!handle) return LIBUSB_ERROR_INVALID_PARAM;
  Bus* bus = sBus();
  std::lock_guard<std::mutex> lock(bus->m);
  libusb_device* d = handle->device;
  if (interface != 0) return LIBUSB_ERROR_NOT_FOUND;
  if (!sPresent(bus, d)) return LIBUSB_ERROR_NO_DEVICE;
  if (d->config.claim != 0) {
    sEvent(bus, "%08X claim %s", d->config.serial, libusb_error_name(d->config.claim));
    return d->config.claim;
  }
  if (handle->claimed) return LIBUSB_SUCCESS;
  if (d->claimed) return LIBUSB_ERROR_BUSY;  // held through another handle
  int fd = -1;
  try {
    velsim::Endpoint pair = bus->sim.OpenPair(d->config.serial, &fd);
    handle->endpoint = pair.id;
    handle->written = 0;
    auto stream = bus->streams.find(d->config.serial);
    if (stream != bus->streams.end()) stream->second->Attach(pair.id);
  } catch (const std::exception& e) {
    sEvent(bus, "%08X claim failed: %s", d->config.serial, e.what());
    return LIBUSB_ERROR_OTHER;
  }
  handle->fd = fd;
  handle->claimed = true;
  d->claimed = true;
  sEvent(bus, "%08X claim", d->config.serial);
  return LIBUSB_SUCCESS;
}

int libusb_release_interface(libusb_device_handle* handle, int interface) {
  if (!handle) return LIBUSB_ERROR_INVALID_PARAM;
  Bus* bus = sBus();
  std::lock_guard<std::mutex> lock(bus->m);
  if (!handle->claimed) return LIBUSB_ERROR_NOT_FOUND;
  sLetModuleTakeItsBytes(bus, handle);
  auto stream = bus->streams.find(handle->device->config.serial);
  if (stream != bus->streams.end()) stream->second->Attach(-1);
  close(handle->fd);
  handle->fd = -1;
  handle->claimed = false;
  handle->device->claimed = false;
  sEvent(bus, "%08X release", handle->device->config.serial);
  return handle->device->gone ? LIBUSB_ERROR_NO_DEVICE : LIBUSB_SUCCESS;
}

void libusb_close(libusb_device_handle* handle) {
  if (!handle) return;
  Bus* bus = sBus();
  std::lock_guard<std::mutex> lock(bus->m);
  if (handle->claimed) {
    sLetModuleTakeItsBytes(bus, handle);
    close(handle->fd);
    handle->device->claimed = false;
  }
  handle->device->openHandles--;
  sEvent(bus, "%08X close", handle->device->config.serial);
  delete handle;
}

int libusb_get_string_descriptor_ascii(libusb_device_handle* handle, uint8_t index,
                                       unsigned char* data, int length) {
  if (!handle || !data || length <= 0) return LIBUSB_ERROR_INVALID_PARAM;
  const usbsim::DeviceConfig& c = handle->device->config;
  std::string text;
  switch (index) {
    case 1: text = "Velmarine"; break;
    case 2: text = "Velmarine module"; break;
    case 3: text = c.serialText; break;
    default: return LIBUSB_ERROR_INVALID_PARAM;
  }
  int n = int(text.size()) < length - 1 ? int(text.size()) : length - 1;
  memcpy(data, text.data(), size_t(n));
  data[n] = 0;
  return n;
}

// ---------------------------------------------------------------- transfers

libusb_transfer* libusb_alloc_transfer(int isoPackets) {
  if (isoPackets < 0) return nullptr;
  size_t size = kTransferHeader + sizeof(libusb_transfer) +
                size_t(isoPackets) * sizeof(libusb_iso_packet_descriptor);
  char* block = static_cast<char*>(calloc(1, size));
  if (!block) return nullptr;
  new (block) SimTransfer();
  libusb_transfer* transfer = reinterpret_cast<libusb_transfer*>(block + kTransferHeader);
  transfer->num_iso_packets = isoPackets;
  return transfer;
}

void libusb_free_transfer(libusb_transfer* transfer) {
  if (!transfer) return;
  SimTransfer* meta = sMeta(transfer);
  {
    Bus* bus = sBus();
    std::lock_guard<std::mutex> lock(bus->m);
    if (meta->inFlight) {
      // libusb leaves this undefined: the program has a bug the bus must not hide.
      fprintf(stderr, "VELMARINE_USB_SIM: a transfer was freed while in flight\n");
      abort();
    }
  }
  if ((transfer->flags & LIBUSB_TRANSFER_FREE_BUFFER) && transfer->buffer) free(transfer->buffer);
  meta->~SimTransfer();
  free(meta);
}

namespace {

void sDecide(SimTransfer* meta, libusb_transfer_status outcome) {
  meta->decided = true;
  meta->outcome = outcome;
}

libusb_transfer_status sStatusOf(int fault) {
  switch (fault) {
    case LIBUSB_ERROR_PIPE: return LIBUSB_TRANSFER_STALL;
    case LIBUSB_ERROR_NO_DEVICE: return LIBUSB_TRANSFER_NO_DEVICE;
    default: return LIBUSB_TRANSFER_ERROR;
  }
}

// An OUT transfer moves its bytes to the module as it is submitted; its
// outcome is then known. Caller holds the bus lock.
void sStartOut(Bus* bus, libusb_transfer* t, SimTransfer* meta) {
  libusb_device* d = t->dev_handle->device;
  uint32_t serial = d->config.serial;
  int length = t->length;
  if (sUnplugsOn(d->config, t->buffer, length)) {
    d->gone = true;
    sEvent(bus, "%08X out %d unplug", serial, length);
    return sDecide(meta, LIBUSB_TRANSFER_NO_DEVICE);
  }
  libusb_transfer_status outcome = LIBUSB_TRANSFER_COMPLETED;
  bool shortened = false;
  if (d->stallOutMoved > 0 && d->stallOutMoved < length) {
    // Part of it reaches the module, then the endpoint halts.
    sEvent(bus, "%08X out %d stall after %d", serial, length, d->stallOutMoved);
    length = d->stallOutMoved;
    d->haltedOut = true;
    outcome = LIBUSB_TRANSFER_STALL;
  } else if (d->shortOut > 0 && d->shortOut < length) {
    sEvent(bus, "%08X out %d short %d", serial, length, d->shortOut);
    length = d->shortOut;
    shortened = true;
  } else {
    sEvent(bus, "%08X out %d", serial, length);
  }
  d->shortOut = 0;
  d->stallOutMoved = 0;
  int done = 0;
  while (done < length) {
    ssize_t w = send(t->dev_handle->fd, t->buffer + done, size_t(length - done), MSG_NOSIGNAL);
    if (w < 0 && errno == EINTR) continue;
    if (w < 0) break;
    done += int(w);
  }
  t->actual_length = done;
  t->dev_handle->written += uint64_t(done);
  if (done < length && !shortened) outcome = LIBUSB_TRANSFER_ERROR;
  sDecide(meta, outcome);
}

// One round of event handling by the thread that holds the events lock:
// waits up to timeoutMs for something to happen to a transfer in flight
// (bytes for an IN transfer, a cancellation, a time-out, a device gone),
// completes what is due and runs those callbacks in this thread.
void sHandleEvents(Bus* bus, int timeoutMs) {
  std::vector<struct pollfd> fds;
  {
    std::lock_guard<std::mutex> lock(bus->m);
    Clock::time_point now = Clock::now();
    for (libusb_transfer* t : bus->inFlight) {
      SimTransfer* meta = sMeta(t);
      libusb_device_handle* h = t->dev_handle;
      if (meta->decided || meta->cancelling || !sPresent(bus, h->device) || h->fd < 0) {
        timeoutMs = 0;
        continue;
      }
      if (meta->hasDeadline) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(meta->deadline - now);
        timeoutMs = std::min(timeoutMs, std::max(0, int(left.count()) + 1));
      }
      bool wantsBytes = meta->partialLimit < 0 || t->actual_length < meta->partialLimit;
      if ((t->endpoint & 0x80) && wantsBytes) fds.push_back({h->fd, POLLIN, 0});
    }
  }
  fds.push_back({bus->wakeFd, POLLIN, 0});
  int ready = poll(fds.data(), nfds_t(fds.size()), timeoutMs);
  if (ready > 0 && (fds.back().revents & POLLIN)) {
    uint64_t count;
    if (read(bus->wakeFd, &count, sizeof count) < 0) {
      // Taken by another round already.
    }
  }
  std::vector<libusb_transfer*> finished;
  {
    std::lock_guard<std::mutex> lock(bus->m);
    Clock::time_point now = Clock::now();
    for (libusb_transfer* t : bus->inFlight) {
      SimTransfer* meta = sMeta(t);
      libusb_device_handle* h = t->dev_handle;
      bool present = sPresent(bus, h->device) && h->fd >= 0;
      if (!meta->decided && (t->endpoint & 0x80) && present) {
        // Bytes that reach the transfer before a cancellation takes effect
        // are its own: a cancelled transfer reports them in its length.
        int room = t->length - t->actual_length;
        if (meta->partialLimit >= 0) room = std::min(room, meta->partialLimit - t->actual_length);
        if (room > 0) {
          ssize_t r = recv(h->fd, t->buffer + t->actual_length, size_t(room), MSG_DONTWAIT);
          if (r > 0) {
            t->actual_length += int(r);
            // Whatever the module wrote ends the transfer, unless a fault
            // holds it open for more.
            if (meta->partialLimit < 0 && !meta->cancelling)
              sDecide(meta, LIBUSB_TRANSFER_COMPLETED);
          } else if (r == 0 || (errno != EAGAIN && errno != EINTR)) {
            // The module's side went away (it restarts, or the link was dropped).
            sDecide(meta,
                    sPresent(bus, h->device) ? LIBUSB_TRANSFER_ERROR : LIBUSB_TRANSFER_NO_DEVICE);
          }
        }
      }
      if (!meta->decided) {
        if (meta->cancelling)
          sDecide(meta, LIBUSB_TRANSFER_CANCELLED);
        else if (!present)
          sDecide(meta, LIBUSB_TRANSFER_NO_DEVICE);
        else if (meta->hasDeadline && now >= meta->deadline)
          sDecide(meta, LIBUSB_TRANSFER_TIMED_OUT);
      }
      if (meta->decided) finished.push_back(t);
    }
    for (libusb_transfer* t : finished) {
      bus->inFlight.erase(std::find(bus->inFlight.begin(), bus->inFlight.end(), t));
      SimTransfer* meta = sMeta(t);
      meta->inFlight = false;
      t->status = meta->outcome;
    }
  }
  for (libusb_transfer* t : finished)
    if (t->callback) t->callback(t);
}

void LIBUSB_CALL sSyncDone(libusb_transfer* transfer) {
  __atomic_store_n(static_cast<int*>(transfer->user_data), 1, __ATOMIC_RELEASE);
}

}  // namespace

int libusb_submit_transfer(libusb_transfer* t) {
  if (!t || !t->dev_handle || (!t->buffer && t->length > 0) || t->length < 0)
    return LIBUSB_ERROR_INVALID_PARAM;
  if (t->type != LIBUSB_TRANSFER_TYPE_BULK) return LIBUSB_ERROR_NOT_SUPPORTED;
  Bus* bus = sBus();
  std::lock_guard<std::mutex> lock(bus->m);
  SimTransfer* meta = sMeta(t);
  if (meta->inFlight) return LIBUSB_ERROR_BUSY;
  libusb_device_handle* handle = t->dev_handle;
  libusb_device* d = handle->device;
  bool out = !(t->endpoint & 0x80);
  if (!handle->claimed && !d->gone) return LIBUSB_ERROR_IO;
  if (t->endpoint != (out ? kOutEndpoint : kInEndpoint)) return LIBUSB_ERROR_NOT_FOUND;
  *meta = SimTransfer();
  t->actual_length = 0;
  int fault = sFault(bus, d, out);
  if (fault != 1) {
    sEvent(bus, "%08X %s %d %s", d->config.serial, out ? "out" : "in", t->length,
           libusb_error_name(fault));
    // A device already gone refuses the submission, as libusb does.
    if (fault == LIBUSB_ERROR_NO_DEVICE) return fault;
    sDecide(meta, sStatusOf(fault));
  } else if (out) {
    sStartOut(bus, t, meta);
  } else if (d->inPartial >= 0) {
    sEvent(bus, "%08X in %d partial %d", d->config.serial, t->length, d->inPartial);
    meta->partialLimit = d->inPartial;
    d->inPartial = -1;
  }
  if (t->timeout > 0) {
    meta->hasDeadline = true;
    meta->deadline = Clock::now() + std::chrono::milliseconds(t->timeout);
  }
  meta->inFlight = true;
  bus->inFlight.push_back(t);
  sWake(bus);
  return LIBUSB_SUCCESS;
}

int libusb_cancel_transfer(libusb_transfer* t) {
  if (!t) return LIBUSB_ERROR_INVALID_PARAM;
  Bus* bus = sBus();
  std::lock_guard<std::mutex> lock(bus->m);
  SimTransfer* meta = sMeta(t);
  // Not in progress, already complete or already cancelled.
  if (!meta->inFlight || meta->cancelling || meta->decided) return LIBUSB_ERROR_NOT_FOUND;
  meta->cancelling = true;
  sEvent(bus, "%08X cancel %s", t->dev_handle->device->config.serial,
         (t->endpoint & 0x80) ? "in" : "out");
  sWake(bus);
  return LIBUSB_SUCCESS;
}

int libusb_handle_events_timeout_completed(libusb_context*, struct timeval* tv, int* completed) {
  if (!tv) return LIBUSB_ERROR_INVALID_PARAM;
  Bus* bus = sBus();
  long long ms = (long long)tv->tv_sec * 1000 + tv->tv_usec / 1000;
  int timeoutMs = int(std::min(std::max(ms, 0LL), 3600000LL));
  Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    if (bus->eventsLock.try_lock()) {
      {
        std::lock_guard<std::mutex> waiting(bus->waitersM);
        bus->handling = true;
      }
      if (!sFlag(completed)) sHandleEvents(bus, timeoutMs);
      {
        std::lock_guard<std::mutex> waiting(bus->waitersM);
        bus->handling = false;
      }
      bus->eventsLock.unlock();
      bus->waiters.notify_all();
      return LIBUSB_SUCCESS;
    }
    // Another thread handles events: wait until it is done, then look at
    // the completion flag again.
    std::unique_lock<std::mutex> waiting(bus->waitersM);
    if (sFlag(completed)) return LIBUSB_SUCCESS;
    if (!bus->handling) {
      // The holder is just taking or leaving the lock: try again.
      waiting.unlock();
      sched_yield();
      continue;
    }
    bus->waiters.wait_until(waiting, deadline);
    return LIBUSB_SUCCESS;
  }
}

int libusb_handle_events_timeout(libusb_context* context, struct timeval* tv) {
  return libusb_handle_events_timeout_completed(context, tv, nullptr);
}

int libusb_handle_events_completed(libusb_context* context, int* completed) {
  struct timeval tv = {60, 0};
  return libusb_handle_events_timeout_completed(context, &tv, completed);
}

int libusb_handle_events(libusb_context* context) {
  return libusb_handle_events_completed(context, nullptr);
}

// The synchronous bulk transfer, built on the asynchronous API as libusb
// builds it: this thread handles events until its transfer completes.
int libusb_bulk_transfer(libusb_device_handle* handle, unsigned char endpoint, unsigned char* data,
                         int length, int* transferred, unsigned int timeout) {
  if (transferred) *transferred = 0;
  if (!handle || (!data && length > 0) || length < 0) return LIBUSB_ERROR_INVALID_PARAM;
  libusb_transfer* t = libusb_alloc_transfer(0);
  if (!t) return LIBUSB_ERROR_NO_MEM;
  int completed = 0;
  libusb_fill_bulk_transfer(t, handle, endpoint, data, length, sSyncDone, &completed, timeout);
  int r = libusb_submit_transfer(t);
  if (r != LIBUSB_SUCCESS) {
    libusb_free_transfer(t);
    return r;
  }
  while (!sFlag(&completed)) libusb_handle_events_completed(nullptr, &completed);
  if (transferred) *transferred = t->actual_length;
  switch (t->status) {
    case LIBUSB_TRANSFER_COMPLETED: r = LIBUSB_SUCCESS; break;
    case LIBUSB_TRANSFER_TIMED_OUT: r = LIBUSB_ERROR_TIMEOUT; break;
    case LIBUSB_TRANSFER_STALL: r = LIBUSB_ERROR_PIPE; break;
    case LIBUSB_TRANSFER_NO_DEVICE: r = LIBUSB_ERROR_NO_DEVICE; break;
    case LIBUSB_TRANSFER_OVERFLOW: r = LIBUSB_ERROR_OVERFLOW; break;
    default: r = LIBUSB_ERROR_IO; break;
  }
  libusb_free_transfer(t);
  return r;
}

int libusb_clear_halt(libusb_device_handle* handle, unsigned char endpoint) {
  if (!handle) return LIBUSB_ERROR_INVALID_PARAM;
  Bus* bus = sBus();
  std::lock_guard<std::mutex> lock(bus->m);
  libusb_device* d = handle->device;
  if (d->gone) return LIBUSB_ERROR_NO_DEVICE;
  if (endpoint == kOutEndpoint) {
    d->haltedOut = false;
  } else if (endpoint == kInEndpoint) {
    d->haltedIn = false;
  } else {
    return LIBUSB_ERROR_NOT_FOUND;
  }
  sEvent(bus, "%08X clear-halt %02X", d->config.serial, endpoint);
  return LIBUSB_SUCCESS;
}

const char* libusb_error_name(int code) {
  switch (code) {
    case LIBUSB_SUCCESS: return "LIBUSB_SUCCESS";
    case LIBUSB_ERROR_IO: return "LIBUSB_ERROR_IO";
    case LIBUSB_ERROR_INVALID_PARAM: return "LIBUSB_ERROR_INVALID_PARAM";
    case LIBUSB_ERROR_ACCESS: return "LIBUSB_ERROR_ACCESS";
    case LIBUSB_ERROR_NO_DEVICE: return "LIBUSB_ERROR_NO_DEVICE";
    case LIBUSB_ERROR_NOT_FOUND: return "LIBUSB_ERROR_NOT_FOUND";
    case LIBUSB_ERROR_BUSY: return "LIBUSB_ERROR_BUSY";
    case LIBUSB_ERROR_TIMEOUT: return "LIBUSB_ERROR_TIMEOUT";
    case LIBUSB_ERROR_OVERFLOW: return "LIBUSB_ERROR_OVERFLOW";
    case LIBUSB_ERROR_PIPE: return "LIBUSB_ERROR_PIPE";
    case LIBUSB_ERROR_INTERRUPTED: return "LIBUSB_ERROR_INTERRUPTED";
    case LIBUSB_ERROR_NO_MEM: return "LIBUSB_ERROR_NO_MEM";
    case LIBUSB_ERROR_NOT_SUPPORTED: return "LIBUSB_ERROR_NOT_SUPPORTED";
    case LIBUSB_ERROR_OTHER: return "LIBUSB_ERROR_OTHER";
    default: return "**UNKNOWN**";
  }
}

// ---------------------------------------------------------------- driver nodes

// "/dev/velmarine.SERIAL" of a module configured with "node" is its pty.
int stat(const char* path, struct stat* st) {
  static auto real = sNext<int (*)(const char*, struct stat*)>("stat");
  std::string target;
  const char* node = sNodeTarget(path, target);
  return real(node ? node : path, st);
}

int stat64(const char* path, struct stat64* st) {
  static auto real = sNext<int (*)(const char*, struct stat64*)>("stat64");
  std::string target;
  const char* node = sNodeTarget(path, target);
  return real(node ? node : path, st);
}

int open(const char* path, int flags, ...) {
  static auto real = sNext<int (*)(const char*, int, ...)>("open");
  mode_t mode = 0;
  if (flags & (O_CREAT | O_TMPFILE)) {
    va_list args;
    va_start(args, flags);
    mode = mode_t(va_arg(args, int));
    va_end(args);
  }
  std::string target;
  if (const char* node = sNodeTarget(path, target)) return sOpenNode(node, flags);
  return real(path, flags, mode);
}

int open64(const char* path, int flags, ...) {
  static auto real = sNext<int (*)(const char*, int, ...)>("open64");
  mode_t mode = 0;
  if (flags & (O_CREAT | O_TMPFILE)) {
    va_list args;
    va_start(args, flags);
    mode = mode_t(va_arg(args, int));
    va_end(args);
  }
  std::string target;
  if (const char* node = sNodeTarget(path, target)) return sOpenNode(node, flags);
  return real(path, flags, mode);
}

}  // extern "C"
