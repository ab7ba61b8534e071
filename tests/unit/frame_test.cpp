// The drawing of one frame as the frame loop composes it: the middle band shows the
// meters or, while a notice shows, the notice alone; the slots are drawn either way
// and the soft-button events reach the modules.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "core/app.h"
#include "core/frame.h"

namespace {

char kKey[SLOT_COUNT][8] = {"slot_0", "slot_1", "slot_2", "slot_3"};
char kStw[] = "STW";

struct Fixture {
    std::unique_ptr<App> app = std::make_unique<App>();
    SettingEntry entries[SLOT_COUNT];
    Fixture() {
        App* a = app.get();
        for (int i = 0; i < SLOT_COUNT; ++i)
            entries[i] =
                SettingEntry{kKey[i], kStw, i + 1 < SLOT_COUNT ? &entries[i + 1] : nullptr};
        a->settings.head = &entries[0];
        a->modules = kModules;
        lcd_reset(&a->lcd);
        for (int i = 0; i < SLOT_COUNT; ++i)
            slot_setup(&a->slots[i], i, &a->settings);
        a->topline.host = topline_system_host();
        cpumem_init(&a->cpu);
        modules_init_all(a);
        a->frame.now = 5000;
    }
    ~Fixture() {
        modules_teardown_all(app.get());
        cpumem_close(&app->cpu);
        notice_free_all(&app->notices);
        app->settings.head = nullptr;
    }
    int lit(int x0, int x1, int y0, int y1) const {
        int n = 0;
        for (int y = y0; y <= y1; ++y)
            for (int x = x0; x <= x1; ++x)
                n += app->lcd.frame.pixels[y * LCD_WIDTH + x] != 0;
        return n;
    }
};

TEST(Frame, MiddleBandIsTheNoticeOrTheMetersAndSlotsAlwaysDraw) {
    const struct {
        const char* name;
        bool notice;
        int32_t event; // for slot 2
    } cases[] = {{"meters", false, 0}, {"notice", true, 0}, {"notice, short press", true, 1}};
    for (const auto& c : cases) {
        Fixture fx;
        App* a = fx.app.get();
        auto band = std::make_unique<LcdBitmap>();
        if (c.notice) {
            post_notice(&a->notices, a->frame.now, NOTICE_UNKEYED, 0, "%s", "Hello");
            NoticeQueue alone{}; // the same notice stepped on its own
            post_notice(&alone, a->frame.now, NOTICE_UNKEYED, 0, "%s", "Hello");
            notice_step(&alone, band.get(), a->frame.now);
            notice_free_all(&alone);
        }
        frame_begin(a);
        const int32_t events[SLOT_COUNT] = {0, 0, c.event, 0};
        frame_compose(a, events);
        if (c.notice) {
            for (int y = 8; y <= 20; ++y)
                EXPECT_EQ(std::memcmp(&a->lcd.frame.pixels[y * LCD_WIDTH],
                                      &band->pixels[y * LCD_WIDTH], LCD_WIDTH),
                          0)
                    << c.name << ": row " << y;
        } else {
            EXPECT_GT(fx.lit(0, 78, 8, 20), 0) << c.name << ": got no meter";
        }
        for (int i = 0; i < SLOT_COUNT; ++i)
            EXPECT_GT(fx.lit(a->slots[i].x, a->slots[i].x + 38, 22, 42), 0)
                << c.name << ": got nothing in slot " << i;
        EXPECT_GT(fx.lit(0, 159, 0, 7), 0) << c.name << ": got no top line";
        EXPECT_EQ(a->stw.state[2], c.event == 1 ? STW_RUNNING : STW_RESET) << c.name;
        EXPECT_EQ(a->slots[2].button, 0) << c.name << ": event left pending";
    }
}

} // namespace
