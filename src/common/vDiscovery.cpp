// Module discovery over TCP/IP (a multicast request that Ethernet modules
// answer) and for brokers (local multicast or network beacons), finding one
// module, linkSpec records and their 128-byte datagram image, interface lists.
#include "vDiscovery.h"

#include <arpa/inet.h>
#include <czmq.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <new>
#include <set>

#include "Log.h"
#include "vMulticast.h"
#include "zBeaconInterface.h"

namespace {

#define sTCPIP_RECEIVE_TIMEOUT_MS 2000
// A stream of datagrams that never pauses must not hold the search forever.
#define sTCPIP_SEARCH_LIMIT_MS 10000
#define sMAX_INTERFACES 50
// The lock on the TCP/IP listening window (per network namespace and user),
// and the longest wait for it: as long as one search normally lasts (its 2 s
// of silence), plus a margin.
#define sDISCOVERY_LOCK_FILE "/tmp/.velmarine-discovery-%llu-%u.lock"
#define sDISCOVERY_LOCK_WAIT_MS (sTCPIP_RECEIVE_TIMEOUT_MS + 1000)

void sPut32(uint8_t* at, uint32_t value) {
  at[0] = uint8_t(value);
  at[1] = uint8_t(value >> 8);
  at[2] = uint8_t(value >> 16);
  at[3] = uint8_t(value >> 24);
}

uint32_t sGet32(const uint8_t* at) {
  return uint32_t(at[0]) | uint32_t(at[1]) << 8 | uint32_t(at[2]) << 16 | uint32_t(at[3]) << 24;
}

bool sIsLocal(uint32_t networkInterface) {
  return networkInterface == 0 || networkInterface == htonl(INADDR_LOOPBACK);
}

// Hands one found module to the callback; returns whether to go on.
bool sOffer(vDiscoveryCallback callback, void* ref, const linkSpec* found, int* count) {
  bool accepted = false;
  bool more = callback(found, &accepted, ref);
  if (accepted) ++*count;
  return more;
}

// --- TCP/IP ---------------------------------------------------------------

int sOpenReplyListener() {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  int on = 1;
  struct sockaddr_in any;
  memset(&any, 0, sizeof any);
  any.sin_family = AF_INET;
  any.sin_addr.s_addr = htonl(INADDR_ANY);
  any.sin_port = htons(vDISCOVERY_TCPIP_REPLY_PORT);
  if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
      bind(fd, (struct sockaddr*)&any, sizeof any) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// Whether value is new to the set, adding it. When the set cannot grow the
// value counts as new: a module may then be listed twice, never lost.
bool sFirstSeen(std::set<uint32_t>& seen, uint32_t value) {
  try {
    return seen.insert(value).second;
  } catch (...) {
    return seen.find(value) == seen.end();
  }
}

// Sends the request through one interface (INADDR_ANY: the default one).
bool sSendRequest(uint32_t interface) {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  int on = 1;
  struct in_addr outgoing;
  outgoing.s_addr = interface;
  struct sockaddr_in group;
  memset(&group, 0, sizeof group);
  group.sin_family = AF_INET;
  group.sin_port = htons(vDISCOVERY_TCPIP_REQUEST_PORT);
  inet_pton(AF_INET, vDISCOVERY_TCPIP_GROUP, &group.sin_addr);
  uint8_t request[vDISCOVERY_TCPIP_DATAGRAM_SIZE] = {1};
  bool sent = setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0 &&
              (interface == htonl(INADDR_ANY) ||
               setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &outgoing, sizeof outgoing) == 0) &&
              sendto(fd, request, sizeof request, MSG_NOSIGNAL, (struct sockaddr*)&group,
                     sizeof group) == ssize_t(sizeof request);
  close(fd);
  return sent;
}

// One request through every IPv4 interface but loopback; the default
// interface when the list can't be read. Returns whether any send succeeded.
bool sSendRequests() {
  struct ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return sSendRequest(htonl(INADDR_ANY));
  bool any = false;
  std::set<uint32_t> done;
  for (struct ifaddrs* i = list; i; i = i->ifa_next) {
    if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET) continue;
    uint32_t address = ((struct sockaddr_in*)i->ifa_addr)->sin_addr.s_addr;
    if (address == htonl(INADDR_LOOPBACK) || address == htonl(INADDR_ANY)) continue;
    if (!sFirstSeen(done, address)) continue;
    if (sSendRequest(address)) any = true;
  }
  freeifaddrs(list);
  return any;
}

// Replies come to one fixed port, so two searches on one host at the same time
// would take each other's replies. The listening window is therefore held by
// one process at a time through an advisory lock on a file; the system lets
// it go when the holder ends, however it ends. The port belongs to a network
// namespace, so the lock does too: its file is named after the namespace's
// inode. The file is the user's own (mode 0600, named after the user id, never
// followed through a link): another user can't hold it, so can't stall this
// user's searches. A holder that does not let go within one search's time
// (stopped, or searching for very long) is not waited for any longer: the
// search then goes on unguarded, and says so in the log.
class sDiscoveryWindow {
 public:
  sDiscoveryWindow() {
    struct stat ns;
    unsigned long long inode = stat("/proc/self/ns/net", &ns) == 0 ? ns.st_ino : 0;
    char path[96];
    snprintf(path, sizeof path, sDISCOVERY_LOCK_FILE, inode, unsigned(getuid()));
    fd_ = open(path, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    struct stat st;
    if (fd_ >= 0 && (fstat(fd_, &st) != 0 || st.st_uid != getuid() || !S_ISREG(st.st_mode))) {
      close(fd_);
      fd_ = -1;
    }
    if (fd_ < 0) {
      Log::log(DEBUG_Network, "TCP/IP discovery: lock file %s unusable (%s); searching unguarded\n",
               path, strerror(errno ? errno : EPERM));
      return;
    }
    auto end =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(sDISCOVERY_LOCK_WAIT_MS);
    while (flock(fd_, LOCK_EX | LOCK_NB) != 0) {
      int error = errno;
      if ((error != EWOULDBLOCK && error != EINTR) || std::chrono::steady_clock::now() >= end) {
        Log::log(DEBUG_Network, "TCP/IP discovery: %s; searching unguarded\n",
                 error == EWOULDBLOCK ? "another search holds the listening window too long"
                                      : strerror(error));
        close(fd_);
        fd_ = -1;
        return;
      }
      usleep(20000);
    }
  }
  ~sDiscoveryWindow() {
    if (fd_ >= 0) close(fd_);
  }
  sDiscoveryWindow(const sDiscoveryWindow&) = delete;
  sDiscoveryWindow& operator=(const sDiscoveryWindow&) = delete;

 private:
  int fd_ = -1;
};

int sEnumerateTCPIP(vDiscoveryCallback callback, void* ref) {
  sDiscoveryWindow window;
  int listener = sOpenReplyListener();
  bool sent = sSendRequests();
  int count = 0;
  if (listener >= 0 && sent) {
    using Clock = std::chrono::steady_clock;
    Clock::time_point end = Clock::now() + std::chrono::milliseconds(sTCPIP_SEARCH_LIMIT_MS);
    std::set<uint32_t> seen;
    for (;;) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
      if (left <= 0) break;
      if (left > sTCPIP_RECEIVE_TIMEOUT_MS) left = sTCPIP_RECEIVE_TIMEOUT_MS;
      struct timeval timeout = {time_t(left / 1000), suseconds_t((left % 1000) * 1000)};
      setsockopt(listener, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
      uint8_t reply[64];
      struct sockaddr_in from;
      socklen_t fromLength = sizeof from;
      // MSG_TRUNC gives the datagram's real length, so an overlong one is seen as such.
      ssize_t n =
          recvfrom(listener, reply, sizeof reply, MSG_TRUNC, (struct sockaddr*)&from, &fromLength);
      if (n < 0) break;
      linkSpec found;
      if (fromLength < sizeof from || from.sin_family != AF_INET ||
          vDiscovery_ParseTCPIPReply(reply, size_t(n), from.sin_addr.s_addr, &found) != vErrNone)
        continue;
      // A module that heard the request on several interfaces answers each.
      if (!sFirstSeen(seen, found.serialNumber)) continue;
      if (!sOffer(callback, ref, &found, &count)) break;
    }
  }
  if (listener >= 0) close(listener);
  return count;
}

// --- brokers ----------------------------------------------------------------

int sFindLinkSpecsMulticast(vDiscoveryCallback callback, void* ref) {
  uint32_t group = 0;
  inet_pton(AF_INET, vDISCOVERY_LOCAL_GROUP, &group);
  const uint32_t loopback = htonl(INADDR_LOOPBACK);
  std::set<uint32_t> seen;
  int count = 0;
  bool more = true;
  for (int n = 0; n < vDISCOVERY_LOCAL_PORT_COUNT && more; n++) {
    vMulticast* probe =
        vMulticast_Create(loopback, group, vDISCOVERY_LOCAL_REQUEST_PORT + n, vMULTICAST_RECEIVER);
    if (probe) {
      // The port is free: no broker listens there.
      vMulticast_Destroy(&probe);
      continue;
    }
    vMulticast* receiver =
        vMulticast_Create(loopback, group, vDISCOVERY_LOCAL_REPLY_PORT + n, vMULTICAST_RECEIVER);
    vMulticast* sender =
        vMulticast_Create(loopback, group, vDISCOVERY_LOCAL_REQUEST_PORT + n, vMULTICAST_SENDER);
    if (receiver && sender) {
      uint8_t request[4];
      sPut32(request, vDISCOVERY_LOCAL_REQUEST);
      if (vMulticast_Send(sender, request, sizeof request) == int(sizeof request)) {
        // Room for more than an image, so an overlong datagram is not taken for one.
        uint8_t image[vLINKSPEC_IMAGE_SIZE * 2];
        int got = vMulticast_Receive(receiver, image, sizeof image);
        linkSpec found;
        if (got == vLINKSPEC_IMAGE_SIZE &&
            vLinkSpec_Unpack(image, size_t(got), &found) == vErrNone &&
            found.t.ip.ipAddress == loopback && sFirstSeen(seen, found.serialNumber)) {
          more = sOffer(callback, ref, &found, &count);
        }
      }
    }
    vMulticast_Destroy(&receiver);
    vMulticast_Destroy(&sender);
  }
  return count;
}

int sFindLinkSpecsBeacon(vDiscoveryCallback callback, void* ref, uint32_t networkInterface) {
  char dotted[16];
  if (vDiscovery_ConvertIPv4Interface(networkInterface, dotted, sizeof dotted) == 0) return 0;
  if (!zBeaconInterface_backupSetAndLock(dotted)) return 0;
  int count = 0;
  zactor_t* beacon = zactor_new(zbeacon, nullptr);
  if (beacon) {
    zsock_send(beacon, "si", "CONFIGURE", vDISCOVERY_BEACON_PORT);
    char* host = zstr_recv(beacon);
    // An empty host name means no usable interface: nothing can be heard.
    if (host && *host) {
      zsock_send(beacon, "sbi", "PUBLISH", vDISCOVERY_BEACON_SERVICE,
                 strlen(vDISCOVERY_BEACON_SERVICE), vDISCOVERY_BEACON_INTERVAL_MS);
      zsock_send(beacon, "sb", "SUBSCRIBE", "", 0);
      zsock_set_rcvtimeo(beacon, vDISCOVERY_BEACON_INTERVAL_MS);
      std::set<uint32_t> seen;
      for (int i = 0; i < vDISCOVERY_BEACON_RECEIVES; i++) {
        char* sender = zstr_recv(beacon);
        if (!sender) continue;
        zframe_t* content = zframe_recv(beacon);
        bool more = true;
        linkSpec found;
        if (content && zframe_size(content) == vLINKSPEC_IMAGE_SIZE &&
            vLinkSpec_Unpack(zframe_data(content), zframe_size(content), &found) == vErrNone &&
            sFirstSeen(seen, found.serialNumber)) {
          more = sOffer(callback, ref, &found, &count);
        }
        zframe_destroy(&content);
        zstr_free(&sender);
        if (!more) break;
      }
      zstr_sendx(beacon, "SILENCE", nullptr);
      zstr_sendx(beacon, "UNSUBSCRIBE", nullptr);
    }
    zstr_free(&host);
    zactor_destroy(&beacon);
  }
  zBeaconInterface_restoreAndUnlock();
  return count;
}

bool cbSNCallback(const linkSpec* found, bool* accepted, void* ref) {
  linkSpec* wanted = (linkSpec*)ref;
  if (found->serialNumber != wanted->serialNumber) return true;
  *wanted = *found;
  *accepted = true;
  return false;
}

bool cbFirstCallback(const linkSpec* found, bool* accepted, void* ref) {
  if (found->serialNumber == 0) return true;
  *(linkSpec*)ref = *found;
  *accepted = true;
  return false;
}

linkSpec* sFind(linkType type, uint32_t serial, uint32_t networkInterface,
                vDiscoveryCallback callback) {
  linkSpec* spec = vLinkSpec_Create(type);
  if (!spec) return nullptr;
  spec->serialNumber = serial;
  if (vDiscovery_EnumerateModules(type, callback, spec, networkInterface) == 0)
    vLinkSpec_Destroy(&spec);
  return spec;
}

}  // namespace

int vDiscovery_Enumerate_TCPIPModules(vDiscoveryCallback callback, void* ref) {
  if (!callback) return 0;
  return sEnumerateTCPIP(callback, ref);
}

int vDiscovery_Enumerate_vMeshModules(vDiscoveryCallback callback, void* ref,
                                      uint32_t networkInterface) {
  if (!callback) return 0;
  uint32_t interfaces[sMAX_INTERFACES];
  int found = vDiscovery_GetIPv4Interfaces(interfaces, sMAX_INTERFACES);
  if (sIsLocal(networkInterface) || found == 0) return sFindLinkSpecsMulticast(callback, ref);
  return sFindLinkSpecsBeacon(callback, ref, networkInterface);
}

int vDiscovery_EnumerateModules(linkType type, vDiscoveryCallback callback, void* ref,
                                uint32_t networkInterface) {
  if (!callback) return 0;
  switch (type) {
    case linkTypeUSB: return vDiscovery_Enumerate_USBModules(callback, ref);
    case linkTypeTCPIP: return sEnumerateTCPIP(callback, ref);
    case linkTypeVMesh: return vDiscovery_Enumerate_vMeshModules(callback, ref, networkInterface);
    default: return 0;
  }
}

linkSpec* vDiscovery_FindModule(linkType type, uint32_t serial, uint32_t networkInterface) {
  return sFind(type, serial, networkInterface, cbSNCallback);
}

linkSpec* vDiscovery_FindFirstModule(linkType type, uint32_t networkInterface) {
  return sFind(type, 0, networkInterface, cbFirstCallback);
}

int vDiscovery_GetIPv4Interfaces(uint32_t* list, int max) {
  if (!list || max <= 0) return 0;
  ziflist_t* interfaces = ziflist_new();
  if (!interfaces) return 0;
  int count = 0;
  for (const char* name = ziflist_first(interfaces); name && count < max;
       name = ziflist_next(interfaces)) {
    const char* address = ziflist_address(interfaces);
    struct in_addr parsed;
    if (address && inet_pton(AF_INET, address, &parsed) == 1) list[count++] = parsed.s_addr;
  }
  ziflist_destroy(&interfaces);
  return count;
}

int vDiscovery_ConvertIPv4Interface(uint32_t address, char* buffer, int length) {
  if (!buffer || length <= 15) return 0;
  memset(buffer, 0, size_t(length));
  struct in_addr in;
  in.s_addr = address;
  if (!inet_ntop(AF_INET, &in, buffer, socklen_t(length))) return 0;
  return int(strlen(buffer));
}

linkSpec* vLinkSpec_Create(linkType type) {
  linkSpec* spec = (linkSpec*)calloc(1, sizeof(linkSpec));
  if (spec) spec->type = type;
  return spec;
}

linkSpec* vLinkSpec_Copy(const linkSpec* spec) {
  if (!spec) return nullptr;
  linkSpec* copy = (linkSpec*)malloc(sizeof(linkSpec));
  if (copy) memcpy(copy, spec, sizeof(linkSpec));
  return copy;
}

vErr vLinkSpec_Destroy(linkSpec** spec) {
  if (!spec || !*spec) return vErrParam;
  free(*spec);
  *spec = nullptr;
  return vErrNone;
}

static_assert(sizeof(linkSpec) == vLINKSPEC_IMAGE_SIZE, "a linkSpec fills its datagram image");

vErr vLinkSpec_Pack(const linkSpec* spec, uint8_t* image, size_t size) {
  if (!spec || !image) return vErrParam;
  if (size < vLINKSPEC_IMAGE_SIZE) return vErrSize;
  memset(image, 0, vLINKSPEC_IMAGE_SIZE);
  sPut32(image + 0, spec->type);
  sPut32(image + 4, spec->serialNumber);
  sPut32(image + 8, spec->moduleAddress);
  sPut32(image + 12, spec->routerAddress);
  sPut32(image + 16, spec->routerSerialNumber);
  sPut32(image + 20, spec->model);
  const uint8_t* rest = (const uint8_t*)&spec->t;
  switch (spec->type) {
    case linkTypeTCPIP:
    case linkTypeVMesh:
      memcpy(image + 24, &spec->t.ip.ipAddress, 4);  // already in network byte order
      sPut32(image + 28, spec->t.ip.ipPort & 0xFFFF);
      memcpy(image + 32, rest + 8, vLINKSPEC_IMAGE_SIZE - 32);
      break;
    case linkTypeSerial:
      sPut32(image + 24, spec->t.serial.baudRate);
      memcpy(image + 28, spec->t.serial.portName, vLINKSPEC_PORTNAME_SIZE);
      break;
    default:
      sPut32(image + 24, spec->t.usb.usbId);
      sPut32(image + 28, sGet32(rest + 4));
      memcpy(image + 32, rest + 8, vLINKSPEC_IMAGE_SIZE - 32);
      break;
  }
  return vErrNone;
}

vErr vLinkSpec_Unpack(const uint8_t* image, size_t size, linkSpec* spec) {
  if (!image || !spec) return vErrParam;
  if (size != vLINKSPEC_IMAGE_SIZE) return vErrSize;
  memset(spec, 0, sizeof *spec);
  spec->type = linkType(sGet32(image + 0));
  spec->serialNumber = sGet32(image + 4);
  spec->moduleAddress = sGet32(image + 8);
  spec->routerAddress = sGet32(image + 12);
  spec->routerSerialNumber = sGet32(image + 16);
  spec->model = sGet32(image + 20);
  uint8_t* rest = (uint8_t*)&spec->t;
  switch (spec->type) {
    case linkTypeTCPIP:
    case linkTypeVMesh:
      memcpy(&spec->t.ip.ipAddress, image + 24, 4);
      spec->t.ip.ipPort = sGet32(image + 28) & 0xFFFF;
      memcpy(rest + 8, image + 32, vLINKSPEC_IMAGE_SIZE - 32);
      break;
    case linkTypeSerial:
      spec->t.serial.baudRate = sGet32(image + 24);
      memcpy(spec->t.serial.portName, image + 28, vLINKSPEC_PORTNAME_SIZE);
      // A name from the network is not trusted to be terminated.
      spec->t.serial.portName[vLINKSPEC_PORTNAME_SIZE - 1] = '\0';
      break;
    default: {
      spec->t.usb.usbId = sGet32(image + 24);
      uint32_t second = sGet32(image + 28);
      memcpy(rest + 4, &second, 4);
      memcpy(rest + 8, image + 32, vLINKSPEC_IMAGE_SIZE - 32);
      break;
    }
  }
  return vErrNone;
}

vErr vDiscovery_ParseTCPIPReply(const uint8_t* reply, size_t size, uint32_t sender,
                                linkSpec* spec) {
  if (!reply || !spec) return vErrParam;
  if (size != vDISCOVERY_TCPIP_DATAGRAM_SIZE) return vErrSize;
  memset(spec, 0, sizeof *spec);
  spec->type = linkTypeTCPIP;
  spec->moduleAddress = reply[1];
  spec->routerAddress = reply[1];
  spec->t.ip.ipPort = uint32_t(reply[2]) | uint32_t(reply[3]) << 8;
  spec->serialNumber = sGet32(reply + 4);
  spec->routerSerialNumber = spec->serialNumber;
  spec->model = reply[12];
  spec->t.ip.ipAddress = sender;
  return vErrNone;
}
