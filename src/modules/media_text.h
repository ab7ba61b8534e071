// Text lines shared by the media-player modules (Winamp "AMP", iTunes "TUN"): the
// bitrate on a slot's upper line and the playing time on its lower line.
#pragma once
#include <cstddef>
#include <cstdint>

// The bitrate line: "%dk" for a bitrate above 0, else empty. Returns the length.
size_t media_bitrate_text(char* out, size_t cap, int32_t kbps);

// The playing-time line for `seconds` (0 or more; a negative time gives an empty
// text). From ten hours on only hours and minutes are shown and the colon blinks:
// ":" while the frame loop's blink phase is 0, a blank while it is 1. Returns the
// length.
size_t media_time_text(char* out, size_t cap, int64_t seconds, int32_t blink);
