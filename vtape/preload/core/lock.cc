#include "preload/core/lock.h"

namespace vtape::preload {

pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;

}  // namespace vtape::preload
