// Speaker set-up module, Windows Vista and later: the Core Audio endpoint of the
// default output and the endpoints' speaker configuration in the registry.
#pragma once
#include <cstdint>

struct SpkModule;
struct SpkRegistryRead;

// Initialises COM (multithreaded) and creates the device enumerator. False when it
// cannot be created (before Vista): the module then takes the DirectSound path.
bool vista_spk_open(SpkModule* spk);
// Releases the enumerator and balances a successful COM initialisation.
void vista_spk_close(SpkModule* spk);
// Default render endpoint (console role): mute flag and volume scalar. False when
// there is no such endpoint or no endpoint volume interface.
bool vista_spk_read_endpoint(SpkModule* spk, float* scalar, int32_t* scalar_ok, int32_t* muted);
// The physical-speakers channel mask of the first Render endpoint that has a non-zero
// one, with the problems met on the way.
void vista_spk_read_registry(SpkModule* spk, int32_t wow64, SpkRegistryRead* out);
