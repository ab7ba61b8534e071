// Speaker set-up module, Windows side before Vista: DirectSound (loaded at run time)
// for the speaker configuration and the multimedia mixer for volume and mute; the
// host record that joins them to the Core Audio side (vista_spk_win.cpp).
#include <windows.h>

#include <dsound.h>
#include <mmsystem.h>

#include <cstring>

#include "modules/mod_spk.h"
#include "modules/vista_spk.h"
#include "services/lookup_proc_win.h"

namespace {

using DirectSoundCreateFn = HRESULT(WINAPI*)(LPCGUID, IDirectSound**, IUnknown*);

IDirectSound* direct_sound(SpkModule* spk) {
    return static_cast<IDirectSound*>(spk->ds_object);
}

bool win_open_direct_sound(SpkModule* spk) {
    spk->ds_object = nullptr;
    HMODULE lib = LoadLibraryA("dsound.dll");
    spk->ds_library = lib;
    if (!lib)
        return false;
    auto create = lookup_proc<DirectSoundCreateFn>(lib, "DirectSoundCreate");
    IDirectSound* ds = nullptr;
    if (!create || create(nullptr, &ds, nullptr) != DS_OK || !ds) {
        SetLastError(0);
        return false;
    }
    spk->ds_object = ds;
    return true;
}

void win_close(SpkModule* spk) {
    vista_spk_close(spk);
    if (IDirectSound* ds = direct_sound(spk))
        ds->Release();
    spk->ds_object = nullptr;
    if (spk->ds_library)
        FreeLibrary(static_cast<HMODULE>(spk->ds_library));
    spk->ds_library = nullptr;
}

int32_t win_get_speaker_config(SpkModule* spk) {
    IDirectSound* ds = direct_sound(spk);
    DWORD config = 0;
    if (!ds || ds->GetSpeakerConfig(&config) != DS_OK)
        return 0;
    return static_cast<int32_t>(config & 0xFF);
}

void win_set_speaker_config(SpkModule* spk, int32_t config) {
    if (IDirectSound* ds = direct_sound(spk))
        ds->SetSpeakerConfig(static_cast<DWORD>(config & 0xFF)); // geometry byte 0
}

// One control of the line by type, and its first channel's 4-byte value.
bool read_control(HMIXER mixer, DWORD line_id, DWORD type, MIXERCONTROLA* control, DWORD* value) {
    MIXERLINECONTROLSA controls;
    memset(&controls, 0, sizeof controls);
    memset(control, 0, sizeof *control);
    controls.cbStruct = sizeof controls;
    controls.dwLineID = line_id;
    controls.dwControlType = type;
    controls.cControls = 1;
    controls.cbmxctrl = sizeof *control;
    controls.pamxctrl = control;
    HMIXEROBJ obj = reinterpret_cast<HMIXEROBJ>(mixer);
    if (mixerGetLineControlsA(obj, &controls,
                              MIXER_OBJECTF_HMIXER | MIXER_GETLINECONTROLSF_ONEBYTYPE) !=
        MMSYSERR_NOERROR)
        return false;
    MIXERCONTROLDETAILS details;
    memset(&details, 0, sizeof details);
    DWORD v = 0;
    details.cbStruct = sizeof details;
    details.dwControlID = control->dwControlID;
    details.cChannels = 1;
    details.cbDetails = sizeof v;
    details.paDetails = &v;
    if (mixerGetControlDetailsA(obj, &details,
                                MIXER_OBJECTF_HMIXER | MIXER_GETCONTROLDETAILSF_VALUE) !=
        MMSYSERR_NOERROR)
        return false;
    *value = v;
    return true;
}

bool win_read_mixer(SpkModule*, SpkMixer* out) {
    memset(out, 0, sizeof *out);
    HMIXER mixer = nullptr;
    if (mixerOpen(&mixer, 0, 0, 0, MIXER_OBJECTF_MIXER) != MMSYSERR_NOERROR)
        return false;
    MIXERCAPSA caps;
    MIXERLINEA line;
    memset(&line, 0, sizeof line);
    line.cbStruct = sizeof line;
    line.dwComponentType = MIXERLINE_COMPONENTTYPE_DST_SPEAKERS;
    if (mixerGetDevCapsA(0, &caps, sizeof caps) == MMSYSERR_NOERROR &&
        mixerGetLineInfoA(reinterpret_cast<HMIXEROBJ>(mixer), &line,
                          MIXER_OBJECTF_HMIXER | MIXER_GETLINEINFOF_COMPONENTTYPE) ==
            MMSYSERR_NOERROR) {
        MIXERCONTROLA control;
        DWORD v = 0;
        if (read_control(mixer, line.dwLineID, MIXERCONTROL_CONTROLTYPE_MUTE, &control, &v))
            out->mute = v != 0 ? 1 : 0;
        if (read_control(mixer, line.dwLineID, MIXERCONTROL_CONTROLTYPE_VOLUME, &control, &v)) {
            out->has_volume = 1;
            out->minimum = control.Bounds.dwMinimum;
            out->maximum = control.Bounds.dwMaximum;
            out->value = v;
        }
    }
    mixerClose(mixer);
    return true;
}

const SpkHost kWinHost = {win_open_direct_sound,   vista_spk_open,         win_close,
                          win_get_speaker_config,  win_set_speaker_config, win_read_mixer,
                          vista_spk_read_endpoint, vista_spk_read_registry};

} // namespace

const SpkHost* spk_system_host() {
    return &kWinHost;
}
