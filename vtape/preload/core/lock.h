// The one lock over the drives and the descriptor table in this process.
#ifndef VTAPE_PRELOAD_CORE_LOCK_H_
#define VTAPE_PRELOAD_CORE_LOCK_H_

#include <pthread.h>

namespace vtape::preload {

extern pthread_mutex_t g_lock;

/// Unlocks the shared state of the opens taken under the current Locked;
/// the descriptor table, which hands that state out, defines it.
void UnlockSharedStates();

/// Holds the process's lock; the state of an open, shared with other
/// processes, is locked on first use until it ends.
class Locked {
 public:
  Locked() { pthread_mutex_lock(&g_lock); }
  ~Locked() {
    UnlockSharedStates();
    pthread_mutex_unlock(&g_lock);
  }
  Locked(const Locked&) = delete;
  Locked& operator=(const Locked&) = delete;
};

}  // namespace vtape::preload

#endif  // VTAPE_PRELOAD_CORE_LOCK_H_
