// The one lock over the board's state: descriptors, mappings, board path,
// trace and faults.
#include "sim_internal.h"

#include <pthread.h>

namespace varnik::sim {

namespace {

pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;

// A fork while another thread holds the lock must not leave the child with
// a lock nobody will release.
void ForkPrepare() { Lock(); }
void ForkRelease() { Unlock(); }

}  // namespace

void Lock() { pthread_mutex_lock(&g_lock); }
void Unlock() { pthread_mutex_unlock(&g_lock); }

void InstallForkHandlers() { pthread_atfork(ForkPrepare, ForkRelease, ForkRelease); }

}  // namespace varnik::sim
