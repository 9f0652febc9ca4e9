// UDP multicast sockets for the broker searches and the broker's announcer.
// Address reuse stays off on request ports, so a receiver can only open a
// port nobody holds: the search relies on that to tell which request ports
// have a broker. Reply ports are shared, so searches running at the same
// time each hear every announcement.
#include "vMulticast.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <new>

#include "vDiscovery.h"

namespace {

bool sValid(const vMulticast* record) { return record && record->check == vMULTICAST_CHECK; }

// Only searches receive on a reply port, each for the length of one
// request; every one of them must hear the broker's answer.
bool sSharedPort(int port) {
  return port >= vDISCOVERY_LOCAL_REPLY_PORT &&
         port < vDISCOVERY_LOCAL_REPLY_PORT + vDISCOVERY_LOCAL_PORT_COUNT;
}

void sAddress(struct sockaddr_in* out, uint32_t address, int port) {
  memset(out, 0, sizeof *out);
  out->sin_family = AF_INET;
  out->sin_addr.s_addr = address;
  out->sin_port = htons(uint16_t(port));
}

}  // namespace

vMulticast* vMulticast_Create(uint32_t interface, uint32_t group, int port, int sender) {
  if (port < 0 || port > 65535) return nullptr;
  if (sender != vMULTICAST_RECEIVER && sender != vMULTICAST_SENDER) return nullptr;
  if (interface == 0 || interface == htonl(INADDR_LOOPBACK)) interface = htonl(INADDR_LOOPBACK);

  vMulticast* record = new (std::nothrow) vMulticast;
  if (!record) return nullptr;
  memset(record, 0, sizeof *record);
  record->sender = sender;
  sAddress(&record->group, group, port);
  if (sender == vMULTICAST_RECEIVER)
    sAddress(&record->bind, htonl(INADDR_ANY), port);
  else
    sAddress(&record->bind, interface, 0);
  sAddress(&record->interface, interface, 0);

  record->socket = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (record->socket < 0) {
    delete record;
    return nullptr;
  }
  int reuse = sender == vMULTICAST_RECEIVER && sSharedPort(port) ? 1 : 0;
  unsigned char ttl = 1, loop = 1;
  struct ip_mreq join;
  join.imr_multiaddr.s_addr = group;
  join.imr_interface.s_addr = interface;
  struct in_addr outgoing;
  outgoing.s_addr = interface;
  struct timeval timeout = {vMULTICAST_TIMEOUT_MS / 1000, (vMULTICAST_TIMEOUT_MS % 1000) * 1000};
  bool ok =
      setsockopt(record->socket, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse) == 0 &&
      (sender != vMULTICAST_RECEIVER ||
       bind(record->socket, (struct sockaddr*)&record->bind, sizeof record->bind) == 0) &&
      setsockopt(record->socket, IPPROTO_IP, IP_ADD_MEMBERSHIP, &join, sizeof join) == 0 &&
      setsockopt(record->socket, IPPROTO_IP, IP_MULTICAST_IF, &outgoing, sizeof outgoing) == 0 &&
      setsockopt(record->socket, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl) == 0 &&
      setsockopt(record->socket, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) == 0 &&
      setsockopt(record->socket, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof loop) == 0;
  if (!ok) {
    close(record->socket);
    delete record;
    return nullptr;
  }
  record->check = vMULTICAST_CHECK;
  return record;
}

int vMulticast_Send(vMulticast* record, const void* data, size_t length) {
  if (!sValid(record)) return -2;
  if (record->sender != vMULTICAST_SENDER) return -3;
  if (!data && length) return -1;
  return int(sendto(record->socket, data, length, MSG_NOSIGNAL, (struct sockaddr*)&record->group,
                    sizeof record->group));
}

int vMulticast_Receive(vMulticast* record, void* buffer, size_t size) {
  if (!sValid(record)) return -2;
  if (record->sender != vMULTICAST_RECEIVER) return -3;
  if (!buffer && size) return -1;
  ssize_t n = recv(record->socket, buffer, size, 0);
  return n < 0 ? -1 : int(n);
}

int vMulticast_Destroy(vMulticast** record) {
  if (!record || !sValid(*record)) return -2;
  vMulticast* r = *record;
  r->check = 0;
  close(r->socket);
  delete r;
  *record = nullptr;
  return 0;
}
