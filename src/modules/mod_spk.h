// Speaker set-up module "SPK": the default output's master volume as a ramp, its
// mute state and the speaker configuration as a picture. Before Windows Vista a short
// press switches the DirectSound speaker configuration between the "speaker_setup" and
// "headphone_setup" settings; from Vista on the configuration comes from the audio
// endpoints' registry properties and a short press only says so.
//
//   +-SPK---------------------------------+
//   |                                     |
//   | [configuration]  [mute mark]     .# |   configuration picture 14 x 13 at x+2,
//   |  picture          when muted    .## |   mute mark 13 x 13 at x+18, volume ramp
//   |                                ###  |   in columns x+32..x+36 (heights L-4..L)
//   +-------------------------------------+
#pragma once
#include <cstddef>
#include <cstdint>

struct App;
struct LcdBitmap;
struct SpkModule;

// Speaker configuration values (the low byte of a DirectSound speaker configuration).
enum SpkConfig : int32_t {
    SPK_NONE = 0,
    SPK_HEADPHONE = 1,
    SPK_MONO = 2,
    SPK_QUAD = 3,
    SPK_STEREO = 4,
    SPK_SURROUND = 5,
    SPK_5POINT1 = 6,
    SPK_7POINT1_WIDE = 7,
    SPK_7POINT1_SURROUND = 8,
};

constexpr int SPK_LEVELS = 20;           // the ramp's full height
constexpr int SPK_REGISTRY_PROBLEMS = 4; // problems kept from one registry read
constexpr int SPK_KEY_NAME = 512;        // endpoint key name with "\Properties"

// The mixer's speakers line as read in one draw.
struct SpkMixer {
    int32_t has_volume; // the volume control and its value were read
    uint32_t minimum, maximum, value;
    int32_t mute; // non-zero: the mute control reads set (0 when it could not be read)
};

// One problem met while reading the endpoints' registry properties.
enum SpkRegistryProblem : int32_t {
    SPK_REG_NO_RENDER_KEY = 1, // "can't open the MMDevices\Audio\Render key"
    SPK_REG_SUBKEY = 2,        // "failed to open Render subkey '%s'"
    SPK_REG_NOT_DWORD = 3,     // "Render value is not DWORD in key '%s'"
    SPK_REG_NO_SUBKEYS = 4,    // "found no subkeys of Render"
};

struct SpkRegistryRead {
    uint32_t mask; // channel mask of the first endpoint that has one; 0 when none
    int32_t count; // problems kept (at most SPK_REGISTRY_PROBLEMS)
    struct {
        int32_t kind;           // SpkRegistryProblem
        uint32_t error;         // system error code
        char key[SPK_KEY_NAME]; // endpoint key name, "\Properties" appended
    } problems[SPK_REGISTRY_PROBLEMS];
};

// The system calls the module needs, so it runs natively against a fake.
struct SpkHost {
    // Creates the DirectSound object of the default output; false when there is none.
    bool (*open_direct_sound)(SpkModule* spk);
    // Initialises COM and creates the Core Audio device enumerator (only where the
    // system is Windows Vista or later); false when there is none.
    bool (*open_enumerator)(SpkModule* spk);
    // Releases what the two opens took.
    void (*close)(SpkModule* spk);
    // DirectSound: the low byte of the speaker configuration, 0 when the call fails.
    int32_t (*get_speaker_config)(SpkModule* spk);
    void (*set_speaker_config)(SpkModule* spk, int32_t config);
    // Mixer device 0, speakers line: false when the mixer cannot be opened; else the
    // controls as far as they could be read.
    bool (*read_mixer)(SpkModule* spk, SpkMixer* out);
    // Core Audio: false when there is no default output or no endpoint volume; else the
    // mute flag and, when *scalar_ok, the volume scalar.
    bool (*read_endpoint)(SpkModule* spk, float* scalar, int32_t* scalar_ok, int32_t* muted);
    // The endpoints' registry properties (the 64-bit view when wow64).
    void (*read_registry)(SpkModule* spk, int32_t wow64, SpkRegistryRead* out);
};

struct SpkModule {
    const char* tag;
    int32_t speaker_setup;   // "speaker_setup", default 5.1
    int32_t headphone_setup; // "headphone_setup", default headphone
    int32_t direct_sound;    // a DirectSound object exists
    int32_t enumerator;      // a Core Audio enumerator exists: the Core Audio path
    // Core Audio path, refreshed at the first draw and on every one-second tick.
    float volume;      // scalar x 20; -1 until read
    int32_t muted;
    int32_t configuration;
    uint32_t registry_report; // fingerprint of the last logged registry problems
    // System objects of the Windows glue.
    void* ds_library;
    void* ds_object;
    void* enumerator_object;
    int32_t com_ready;
    const SpkHost* host; // the system (set before init to fake it)
    void* ctx;           // for a fake host
};

void mod_spk_init(App* app);
void mod_spk_update(App* app);
int mod_spk_draw(App* app, int slot);
void mod_spk_teardown(App* app);

// The system's host (mod_spk_win.cpp and vista_spk_win.cpp; natively one without sound).
const SpkHost* spk_system_host();

// Portable rules.

// A configuration from its settings text, ignoring ASCII case; def when unknown.
int32_t spk_config_from_text(const char* text, int32_t def);
// A configuration from an endpoint's channel mask; SPK_NONE for a mask not in the table.
int32_t spk_config_from_mask(uint32_t mask);
// The configuration a short press selects.
int32_t spk_next_config(int32_t current, int32_t speaker_setup, int32_t headphone_setup);
// The ramp level 0..20 of a mixer volume value within its control's bounds.
int32_t spk_mixer_level(uint32_t minimum, uint32_t maximum, uint32_t value);
// The ramp level 0..20 of a Core Audio volume (scalar x 20), truncated towards zero.
int32_t spk_volume_level(float volume);
// Drawing at the slot's left column x and top row y.
void spk_draw_ramp(LcdBitmap* frame, int x, int y, int32_t level, int32_t muted);
void spk_draw_config(LcdBitmap* frame, int x, int y, int32_t config);
// Writes the read's problems to the error log unless they are the same as the last
// logged ones (*report keeps their fingerprint), so a lasting problem is one entry.
void spk_log_registry(const SpkRegistryRead* read, uint32_t* report);
