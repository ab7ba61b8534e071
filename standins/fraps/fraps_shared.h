// The FRAPS stand-in's shared memory: the record its library hands out, and the
// program's switches.
#pragma once
#include <windows.h>

#define FRAPS_SHARED_NAME "KorvaneFrapsStandIn"

struct FrapsRecord {
    DWORD reserved;
    DWORD fps; // offset 4: frames per second, 0 = no game measured
    DWORD padding[14];
};

struct FrapsShared {
    FrapsRecord record;
    volatile LONG null_record; // FrapsSharedData answers null
    volatile LONG calls;       // FrapsSharedData calls in all processes
    volatile LONG hook_calls;  // hook procedure calls in all processes
    volatile LONG loads;       // processes the library was loaded into (this one too)
    volatile LONG last_pid;    // the last of them
};
