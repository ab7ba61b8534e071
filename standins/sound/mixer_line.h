// The speakers line of mixer device 0, its volume and mute controls, and DirectSound:
// what mixerctl.exe sets from outside and sndhook.dll from inside the applet.
#pragma once
#include <windows.h>

#include <dsound.h>
#include <mmsystem.h>

#include <cstring>

struct MixerLine {
    HMIXER mixer;
    DWORD line_id;
};

// Opens mixer device 0 and finds its speakers destination line; false when either is
// missing (nothing is left open then).
inline bool mixer_open(MixerLine& l) {
    if (mixerOpen(&l.mixer, 0, 0, 0, MIXER_OBJECTF_MIXER) != MMSYSERR_NOERROR)
        return false;
    MIXERLINEA line;
    std::memset(&line, 0, sizeof line);
    line.cbStruct = sizeof line;
    line.dwComponentType = MIXERLINE_COMPONENTTYPE_DST_SPEAKERS;
    if (mixerGetLineInfoA(reinterpret_cast<HMIXEROBJ>(l.mixer), &line,
                          MIXER_OBJECTF_HMIXER | MIXER_GETLINEINFOF_COMPONENTTYPE) !=
        MMSYSERR_NOERROR) {
        mixerClose(l.mixer);
        return false;
    }
    l.line_id = line.dwLineID;
    return true;
}

// The line's first control of this type (MIXERCONTROL_CONTROLTYPE_VOLUME, ..._MUTE).
inline bool mixer_control(MixerLine& l, DWORD type, MIXERCONTROLA& c) {
    MIXERLINECONTROLSA lc;
    std::memset(&lc, 0, sizeof lc);
    std::memset(&c, 0, sizeof c);
    lc.cbStruct = sizeof lc;
    lc.dwLineID = l.line_id;
    lc.dwControlType = type;
    lc.cControls = 1;
    lc.cbmxctrl = sizeof c;
    lc.pamxctrl = &c;
    return mixerGetLineControlsA(reinterpret_cast<HMIXEROBJ>(l.mixer), &lc,
                                 MIXER_OBJECTF_HMIXER | MIXER_GETLINECONTROLSF_ONEBYTYPE) ==
           MMSYSERR_NOERROR;
}

// Reads (set false) or sets the control's value, one channel for all.
inline MMRESULT mixer_value(MixerLine& l, const MIXERCONTROLA& c, DWORD* v, bool set) {
    MIXERCONTROLDETAILS d;
    std::memset(&d, 0, sizeof d);
    d.cbStruct = sizeof d;
    d.dwControlID = c.dwControlID;
    d.cChannels = 1;
    d.cbDetails = sizeof(DWORD);
    d.paDetails = v;
    HMIXEROBJ obj = reinterpret_cast<HMIXEROBJ>(l.mixer);
    return set ? mixerSetControlDetails(obj, &d,
                                        MIXER_OBJECTF_HMIXER | MIXER_SETCONTROLDETAILSF_VALUE)
               : mixerGetControlDetailsA(obj, &d,
                                         MIXER_OBJECTF_HMIXER | MIXER_GETCONTROLDETAILSF_VALUE);
}

typedef HRESULT(WINAPI* DirectSoundCreateFn)(LPCGUID, IDirectSound**, IUnknown*);

// A DirectSound object of the default device, dsound.dll looked up at run time.
inline HRESULT direct_sound(IDirectSound** ds) {
    *ds = nullptr;
    HMODULE lib = LoadLibraryA("dsound.dll");
    if (!lib)
        return E_FAIL;
    DirectSoundCreateFn create = reinterpret_cast<DirectSoundCreateFn>(
        reinterpret_cast<void*>(GetProcAddress(lib, "DirectSoundCreate")));
    return create ? create(nullptr, ds, nullptr) : E_FAIL;
}
