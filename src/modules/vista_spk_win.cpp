// Speaker set-up module, Windows Vista and later: the Core Audio endpoint volume of
// the default output and the speaker configuration from the endpoints' registry
// properties. Nothing here is imported that XP lacks: the enumerator is created at
// run time, and whether it can be created is what chooses this path (a Vista or later
// system that reports XP under a compatibility setting still has it; XP has none).
#include <windows.h>

#include <endpointvolume.h>
#include <mmdeviceapi.h>

#include <cstdio>
#include <cstring>

#include "modules/mod_spk.h"
#include "modules/vista_spk.h"

namespace {

// MMDeviceEnumerator, IMMDeviceEnumerator and IAudioEndpointVolume.
const CLSID kEnumeratorClass = {
    0xBCDE0395, 0xE52F, 0x467C, {0x8E, 0x3D, 0xC4, 0x57, 0x92, 0x91, 0x69, 0x2E}};
const IID kEnumeratorIid = {
    0xA95664D2, 0x9614, 0x4F35, {0xA7, 0x46, 0xDE, 0x8D, 0xB6, 0x36, 0x17, 0xE6}};
const IID kEndpointVolumeIid = {
    0x5CDF2C82, 0x841E, 0x4546, {0x97, 0x22, 0x0C, 0xF7, 0x40, 0x78, 0x22, 0x9A}};

const char kRenderKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\MMDevices\\Audio\\Render";
// The physical speakers' channel mask (an audio endpoint property).
const char kSpeakersValue[] = "{1da5d803-d492-4edd-8c23-e0c0ffee7f0e},3";
constexpr REGSAM kReadView64 = KEY_WOW64_64KEY | KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE; // 0x109
constexpr REGSAM kRead = KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE;                         // 9

IMMDeviceEnumerator* enumerator(SpkModule* spk) {
    return static_cast<IMMDeviceEnumerator*>(spk->enumerator_object);
}

void add_problem(SpkRegistryRead* out, int32_t kind, LONG error, const char* key) {
    if (out->count >= SPK_REGISTRY_PROBLEMS)
        return;
    auto& p = out->problems[out->count++];
    p.kind = kind;
    p.error = static_cast<uint32_t>(error);
    snprintf(p.key, sizeof p.key, "%s", key ? key : "");
}

} // namespace

bool vista_spk_open(SpkModule* spk) {
    spk->enumerator_object = nullptr;
    spk->com_ready = 0;
    spk->com_ready = SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)) ? 1 : 0;
    void* object = nullptr;
    if (FAILED(CoCreateInstance(kEnumeratorClass, nullptr, CLSCTX_INPROC_SERVER, kEnumeratorIid,
                                &object)) ||
        !object) {
        SetLastError(0);
        return false;
    }
    spk->enumerator_object = object;
    return true;
}

void vista_spk_close(SpkModule* spk) {
    if (IMMDeviceEnumerator* e = enumerator(spk))
        e->Release();
    spk->enumerator_object = nullptr;
    if (spk->com_ready)
        CoUninitialize();
    spk->com_ready = 0;
}

bool vista_spk_read_endpoint(SpkModule* spk, float* scalar, int32_t* scalar_ok, int32_t* muted) {
    *scalar_ok = 0;
    *muted = 0;
    IMMDeviceEnumerator* e = enumerator(spk);
    if (!e)
        return false;
    IMMDevice* device = nullptr;
    if (FAILED(e->GetDefaultAudioEndpoint(eRender, eConsole, &device)) || !device) {
        SetLastError(0);
        return false;
    }
    void* object = nullptr;
    HRESULT activated =
        device->Activate(kEndpointVolumeIid, CLSCTX_INPROC_SERVER, nullptr, &object);
    device->Release();
    if (FAILED(activated) || !object) {
        SetLastError(0);
        return false;
    }
    IAudioEndpointVolume* volume = static_cast<IAudioEndpointVolume*>(object);
    BOOL mute = FALSE;
    if (SUCCEEDED(volume->GetMute(&mute)))
        *muted = mute ? 1 : 0;
    float level = 0.0f;
    if (volume->GetMasterVolumeLevelScalar(&level) == S_OK) {
        *scalar = level;
        *scalar_ok = 1;
    }
    volume->Release();
    return true;
}

void vista_spk_read_registry(SpkModule*, int32_t wow64, SpkRegistryRead* out) {
    out->mask = 0;
    out->count = 0;
    HKEY render = nullptr;
    REGSAM access = kRead;
    LONG opened = ERROR_FILE_NOT_FOUND;
    if (wow64) {
        opened = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kRenderKey, 0, kReadView64, &render);
        access = kReadView64;
    }
    if (opened != ERROR_SUCCESS) {
        access = kRead;
        opened = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kRenderKey, 0, kRead, &render);
    }
    if (opened != ERROR_SUCCESS) {
        add_problem(out, SPK_REG_NO_RENDER_KEY, opened, nullptr);
        return;
    }
    DWORD enumerated = 0;
    for (DWORD index = 0;; ++index) {
        char name[500];
        DWORD len = sizeof name;
        if (RegEnumKeyExA(render, index, name, &len, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS)
            break;
        ++enumerated;
        char path[SPK_KEY_NAME];
        snprintf(path, sizeof path, "%.*s\\Properties", static_cast<int>(len), name);
        HKEY props = nullptr;
        LONG r = RegOpenKeyExA(render, path, 0, access, &props);
        if (r != ERROR_SUCCESS) {
            add_problem(out, SPK_REG_SUBKEY, r, path);
            continue;
        }
        DWORD mask = 0, size = sizeof mask, type = 0;
        r = RegQueryValueExA(props, kSpeakersValue, nullptr, &type, reinterpret_cast<BYTE*>(&mask),
                             &size);
        if (r == ERROR_SUCCESS && type != REG_DWORD) {
            add_problem(out, SPK_REG_NOT_DWORD, r, path);
            mask = 0;
        } else if (r != ERROR_SUCCESS || size != sizeof mask) {
            mask = 0; // missing, or larger than a DWORD
        }
        RegCloseKey(props);
        if (mask != 0) {
            out->mask = mask;
            break;
        }
    }
    if (enumerated == 0)
        add_problem(out, SPK_REG_NO_SUBKEYS, 0, nullptr);
    RegCloseKey(render);
    SetLastError(0);
}
