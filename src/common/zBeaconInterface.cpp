// The process-wide interface of CZMQ beacons under one mutex, so a search
// and a broker never create their beacons on each other's interface, with a
// backup of the value a search replaced.
#include "zBeaconInterface.h"

#include <arpa/inet.h>
#include <czmq.h>

#include <cstring>
#include <mutex>

namespace {

std::mutex sInterfaceLock;
char sBackup[zBEACON_INTERFACE_BACKUP_SIZE + 1] = "";

bool sValidValue(const char* value) {
  if (!value) return false;
  if (value[0] == '\0' || strcmp(value, "*") == 0) return true;
  struct in_addr address;
  return inet_pton(AF_INET, value, &address) == 1;
}

// A copy of text; empty when there is no memory for it.
std::string sCopy(const char* text) {
  try {
    return text ? std::string(text) : std::string();
  } catch (...) {
    return std::string();
  }
}

std::string sCurrent() { return sCopy(zsys_interface()); }

}  // namespace

bool zBeaconInterface_setAndLock(const char* value) {
  if (!sValidValue(value)) return false;
  sInterfaceLock.lock();
  zsys_set_interface(value);
  return true;
}

void zBeaconInterface_unlock() { sInterfaceLock.unlock(); }

bool zBeaconInterface_backupSetAndLock(const char* value) {
  if (!sValidValue(value)) return false;
  sInterfaceLock.lock();
  std::string current = sCurrent();
  snprintf(sBackup, sizeof sBackup, "%s", current.c_str());
  zsys_set_interface(value);
  return true;
}

void zBeaconInterface_restoreAndUnlock() {
  zsys_set_interface(sBackup);
  sInterfaceLock.unlock();
}

std::string zBeaconInterface_get() { return sCurrent(); }

std::string zBeaconInterface_getAndLock() {
  sInterfaceLock.lock();
  return sCurrent();
}

std::string zBeaconInterface_getBackup() { return sCopy(sBackup); }

std::string zBeaconInterface_getBackupAndLock() {
  sInterfaceLock.lock();
  return sCopy(sBackup);
}
