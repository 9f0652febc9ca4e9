// A host-wide hold on one module's update, so two programs never interleave
// their exchanges with the same module: an exclusive flock on a lock file per
// module in the store. Released when the object goes (and by the system when
// the process ends, however it ends).
#pragma once
#include <cstdint>
#include <string>

class UpdateHold {
 public:
  enum State {
    HELD,       // this process holds the module
    BUSY,       // another process holds it: do not update
    UNGUARDED,  // no hold could be taken for another reason: go on without one
  };

  // Takes the hold without waiting. A lock the file system can't give (a
  // read-only store, a lock service that refuses) leaves the update
  // unguarded, with the reason in why() and in the diagnostic log.
  UpdateHold(const std::string& storeDirectory, uint32_t serial);
  ~UpdateHold();
  UpdateHold(const UpdateHold&) = delete;
  UpdateHold& operator=(const UpdateHold&) = delete;

  State state() const { return state_; }
  bool busy() const { return state_ == BUSY; }
  const std::string& why() const { return why_; }

 private:
  int fd_ = -1;
  State state_ = UNGUARDED;
  std::string why_;
};
