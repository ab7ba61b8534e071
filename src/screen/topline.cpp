// Top line drawing rules: date at the left, time at the right, unread mail between.
#include "screen/topline.h"

#include <cstdio>

#include "core/app.h"
#include "draw/draw.h"
#include "services/settings.h"

const char kTopLineEnvelope[] = "XXXXXXXXX   XXX X X XX  X  XXXXXXXX";

namespace {

constexpr int64_t kFileTimeDay = 864000000000LL; // one day in 100 ns units
constexpr int kMaxEnvelopes = 6;                 // 7 or more unread: the many-mail mark

} // namespace

// Time width 35, date width 20: k = 0 -> 114, 1 -> 109, 2 -> 104 ... 17 -> 29, and
// 18 -> -1 (column 24 would be at d + 4).
int topline_envelope_column(int k, int d, int w) {
    const int col = 149 - w - 5 * k;
    return col > d + 4 ? col : -1;
}

// 0: nothing; 3 with w = 35: envelopes at (114, 0), (109, 2), (104, 0);
// 12: envelope at (81, 2), a small cross at columns 89..91, "12" from column 93.
void topline_draw_mail(LcdBitmap* frame, uint32_t unread, int d, int w) {
    if (unread == 0)
        return;
    if (unread <= kMaxEnvelopes) {
        for (int k = 0; k < static_cast<int>(unread); ++k) {
            const int col = topline_envelope_column(k, d, w);
            if (col < 0)
                break;
            draw_picture(frame, 0, col, (k % 2) ? 2 : 0, TOPLINE_ENVELOPE_WIDTH,
                         TOPLINE_ENVELOPE_ROWS, kTopLineEnvelope);
        }
        return;
    }
    draw_picture(frame, 0, 81, 2, TOPLINE_ENVELOPE_WIDTH, TOPLINE_ENVELOPE_ROWS, kTopLineEnvelope);
    draw_pixel(frame, 89, 3);
    draw_pixel(frame, 91, 3);
    draw_pixel(frame, 90, 4);
    draw_pixel(frame, 89, 5);
    draw_pixel(frame, 91, 5);
    char count[16];
    std::snprintf(count, sizeof count, "%u", static_cast<unsigned>(unread));
    draw_text(frame, 0, 93, 0, count);
}

// "Tue 2026-12-08" at column 0; "12:34:56" (width 35) at column 126, ending at 159.
void topline_render(LcdBitmap* frame, const char* date, const char* time, uint32_t unread) {
    const int d = draw_text(frame, 0, 0, 0, date);
    const int w = draw_text(frame, TEXT_MEASURE, 0, 0, time);
    draw_text(frame, 0, 161 - w, 0, time);
    topline_draw_mail(frame, unread, d, w);
}

// email_days 7: filetime - 7 * 864000000000; -1: one day later; 0: filetime itself.
// Results beyond the 64-bit range, or before the file-time origin, are clamped.
int64_t topline_mail_filetime(int64_t filetime, int32_t email_days) {
    int64_t back = 0;
    int64_t result = 0;
    if (__builtin_mul_overflow(static_cast<int64_t>(email_days), kFileTimeDay, &back) ||
        __builtin_sub_overflow(filetime, back, &result))
        return email_days > 0 ? 0 : INT64_MAX;
    return result < 0 ? 0 : result;
}

void topline_refresh_unread(TopLine* top, const GeneralSettings* general, const TopLineNow* now) {
    if (!now->file_time_ok) {
        top->unread_count = 0;
        return;
    }
    const int64_t since = topline_mail_filetime(now->file_time, general->email_days);
    const char* address = general->email_address[0] != '\0' ? general->email_address : nullptr;
    uint32_t count = 0;
    const int32_t r =
        top->host->unread_mail(top->host->ctx, top->get_unread_count, address, since, &count);
    top->unread_count = r == 0 ? count : 0;
}

void topline_draw(App* app) {
    TopLine* top = &app->topline;
    if (!top->host)
        top->host = topline_system_host();
    TopLineNow now;
    top->host->read_now(top->host->ctx, &app->general, &now);
    if (app->frame.one_second_tick && top->get_unread_count != nullptr)
        topline_refresh_unread(top, &app->general, &now);
    topline_render(app_frame(app), now.date, now.time, top->unread_count);
}
