// The update hold on a file system whose flock is carried out as a write
// lock (NFS): flock here is replaced, for the whole test program, by one that
// can act like such a file system or refuse with a chosen error.
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>

#include <cerrno>

#include "LogCapture.h"
#include "TestSupport.h"
#include "UpdateHold.h"

namespace {

enum class FlockMode { REAL, NFS, REFUSE };
FlockMode gMode = FlockMode::REAL;
int gRefusal = 0;

}  // namespace

extern "C" int flock(int fd, int operation) {
  if (gMode == FlockMode::REFUSE) {
    errno = gRefusal;
    return -1;
  }
  // NFS takes a write lock for LOCK_EX, which needs a descriptor open for writing.
  if (gMode == FlockMode::NFS && (operation & LOCK_EX) &&
      (fcntl(fd, F_GETFL) & O_ACCMODE) == O_RDONLY) {
    errno = EBADF;
    return -1;
  }
  using Real = int (*)(int, int);
  static Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "flock"));
  return real(fd, operation);
}

namespace {

TEST(UpdateHold, OnlyAnotherHolderMeansBusyAndOtherLockFailuresGoOnWithoutTheHold) {
  struct Case {
    const char* name;
    FlockMode mode;
    int refusal;
    bool heldElsewhere;
    UpdateHold::State state;
    const char* logged;  // in the diagnostic log, "" for nothing
  } cases[] = {
      {"local file system", FlockMode::REAL, 0, false, UpdateHold::HELD, ""},
      {"held by another process", FlockMode::REAL, 0, true, UpdateHold::BUSY, ""},
      {"NFS: a write lock", FlockMode::NFS, 0, false, UpdateHold::HELD, ""},
      {"NFS, held elsewhere", FlockMode::NFS, 0, true, UpdateHold::BUSY, ""},
      {"no lock service", FlockMode::REFUSE, ENOLCK, false, UpdateHold::UNGUARDED,
       "updating without the hold"},
      {"lock refused", FlockMode::REFUSE, EBADF, false, UpdateHold::UNGUARDED,
       "Bad file descriptor"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testsupport::TempDir store;
    std::unique_ptr<UpdateHold> other;
    gMode = c.mode == FlockMode::REFUSE ? FlockMode::REAL : c.mode;
    if (c.heldElsewhere) {
      other.reset(new UpdateHold(store.path(), 0x40F5849A));
      ASSERT_EQ(other->state(), UpdateHold::HELD);
    }
    gMode = c.mode;
    gRefusal = c.refusal;
    LogCapture log(0);
    {
      UpdateHold hold(store.path(), 0x40F5849A);
      EXPECT_EQ(hold.state(), c.state) << hold.why();
      if (*c.logged) {
        EXPECT_NE(log.Text().find(c.logged), std::string::npos) << log.Text();
      }
      if (c.state != UpdateHold::UNGUARDED) {
        EXPECT_EQ(log.Text(), "");
      }
    }
    gMode = FlockMode::REAL;
    other.reset();
    // Released with the object: the next update holds the module again.
    UpdateHold again(store.path(), 0x40F5849A);
    EXPECT_EQ(again.state(), UpdateHold::HELD);
  }
}

}  // namespace
