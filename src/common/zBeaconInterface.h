// The process-wide network interface that CZMQ beacons use, guarded by one
// mutex so that a search and a broker never create a beacon on the wrong
// interface, with a backup for restoring the previous value.
#pragma once
#include <string>

#define zBEACON_INTERFACE_BACKUP_SIZE 100

// A valid value is a dotted IPv4 address, "" or "*". Invalid values are
// refused (false) without taking the mutex; otherwise the mutex is left locked.
bool zBeaconInterface_setAndLock(const char* value);
void zBeaconInterface_unlock();
// Saves the current interface in the backup, then sets value; mutex left locked.
bool zBeaconInterface_backupSetAndLock(const char* value);
// Sets the interface back to the backup and unlocks.
void zBeaconInterface_restoreAndUnlock();
std::string zBeaconInterface_get();
std::string zBeaconInterface_getAndLock();
std::string zBeaconInterface_getBackup();
std::string zBeaconInterface_getBackupAndLock();
