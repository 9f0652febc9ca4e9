// The update hold file: one lock file per module under the store's hidden
// ".locks" folder, held with an exclusive flock for the length of an update.
#include "UpdateHold.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "Log.h"

UpdateHold::UpdateHold(const std::string& storeDirectory, uint32_t serial) {
  // Kept apart in a hidden folder, so no store search ever takes a lock file
  // for the module's entry.
  std::string folder = storeDirectory + "/.locks";
  mkdir(folder.c_str(), 0755);
  char name[32];
  snprintf(name, sizeof name, "/%08X.lock", serial);
  std::string path = folder + name;
  // Read-write: where flock is carried out as a write lock (NFS), a
  // read-only descriptor can't take it. Read-only only for a file this user
  // may not write (made by another user), where a local flock still works.
  fd_ = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd_ < 0 && (errno == EACCES || errno == EROFS || errno == EPERM))
    fd_ = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd_ < 0) {
    why_ = "can't open " + path + ": " + strerror(errno);
  } else if (flock(fd_, LOCK_EX | LOCK_NB) == 0) {
    state_ = HELD;
    return;
  } else if (errno == EWOULDBLOCK) {
    // The one answer that means another process holds the module.
    state_ = BUSY;
  } else {
    why_ = "can't lock " + path + ": " + strerror(errno);
  }
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  if (state_ == UNGUARDED)
    Log::log(0, "Update hold: %s; updating without the hold\n", why_.c_str());
}

UpdateHold::~UpdateHold() {
  if (fd_ >= 0) close(fd_);
}
