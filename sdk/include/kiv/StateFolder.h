// The service's state folder ($STATE_DIRECTORY): where the SDK keeps what
// must outlast a run (the generated device id, the records the platform has
// not stored yet, the start count of record names). One process at a time may
// use it: a second one would overwrite the first one's records.
#ifndef KIV_STATE_FOLDER_LOCK_H
#define KIV_STATE_FOLDER_LOCK_H

#include "kiv/Export.h"

#include <string>

namespace kiv {

// An exclusive flock on the file "lock" in the state folder, held while the
// object lives; the system releases it when the process ends, however it
// ends. The descriptor is closed on exec: the node script and other children
// never hold it. Move-only.
class KIV_SDK_API StateFolderLock {
public:
  StateFolderLock() = default;
  StateFolderLock(int descriptor, bool takenElsewhere);
  ~StateFolderLock();
  StateFolderLock(StateFolderLock&& other) noexcept;
  StateFolderLock& operator=(StateFolderLock&& other) noexcept;
  StateFolderLock(const StateFolderLock&) = delete;
  StateFolderLock& operator=(const StateFolderLock&) = delete;

  bool Held() const { return descriptor_ >= 0; }
  // Another process holds the folder: this one must not start.
  bool TakenElsewhere() const { return takenElsewhere_; }

private:
  int descriptor_ = -1;
  bool takenElsewhere_ = false;
};

// Checks the state folder once, at start, and locks it. *problem is "" when
// all is well, else one line that says what is wrong and what it means:
// - the folder is missing, cannot be written or is nearly full: records not
//   stored by the platform will not survive a stop or a power cut; the start
//   may go on (the lock is held when the lock file could be made);
// - another process holds it: TakenElsewhere(), the start must stop.
// Without $STATE_DIRECTORY nothing is checked or held (a run by hand keeps
// nothing across runs, as documented).
KIV_SDK_API StateFolderLock AcquireStateFolder(std::string* problem);

}  // namespace kiv

#endif
