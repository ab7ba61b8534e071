// A lock for two threads of this process that costs no system call while nobody else
// holds it (Windows glue only). Under Wine every wait on or release of a kernel object
// is a round trip to the wineserver; a critical section that is free is taken and
// given back inside the process. It is only ever tried, with 1 ms pauses, never
// entered blocking, so every wait stays bounded. Reference counted: each holder of a
// reference (a thread that may still come back late, the record that made it) keeps
// it alive; the last one frees it.
#pragma once
#include <cstdint>

struct TriedLock;

// A new lock with one reference, or null when memory is short.
TriedLock* tried_lock_create();
// One more reference (for another holder); null stays null.
TriedLock* tried_lock_ref(TriedLock* lock);
// Drops one reference; the last frees the lock (which nobody may hold then).
void tried_lock_unref(TriedLock* lock);
// Takes the lock within wait_ms: true when taken, false (not held) after wait_ms or
// for a null lock.
bool tried_lock_take(TriedLock* lock, uint32_t wait_ms);
// Gives back a lock this thread took.
void tried_lock_give(TriedLock* lock);
