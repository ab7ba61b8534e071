// Portable rules of the LCD link: soft-button bookkeeping and classification,
// result-code texts and the frame hand-over.
#include <cstring>

#include "link/lcd.h"

void buttons_on_mask(SoftButton buttons[4], std::atomic<int32_t>* all_down, uint32_t mask,
                     bool ctrl_down, uint32_t now) {
    if (now == 0)
        now = 1; // 0 is reserved for "no time"
    if (mask == 15)
        all_down->store(1);
    for (int i = 0; i < 4; ++i) {
        SoftButton& b = buttons[i];
        if (mask & (1u << i)) {
            if (ctrl_down)
                b.ctrl = 1;
            if (b.down == 0)
                b.down = now;
        } else if (b.down != 0 && b.up == 0) {
            b.up = now;
        }
    }
}

// A press released within 499 ms is reported once as 1 at the next frame; a
// press held longer is reported once as 2 as soon as 500 ms have passed, without
// waiting for the release; a press with Ctrl held is reported once as 3. A press
// whose times straddle a wrap of the tick counter yields 0. A press still down for
// 499 ms or less stays pending.
int32_t buttons_classify(SoftButton* b, uint32_t now) {
    int32_t result;
    if (b->ctrl) {
        result = BUTTON_CTRL;
    } else if (b->down == 0) {
        result = BUTTON_NONE;
    } else if (b->up != 0 && b->up - b->down > 499) {
        result = b->up > b->down ? BUTTON_LONG : BUTTON_NONE;
    } else if (b->up == 0 && now - b->down > 499) {
        result = now > b->down ? BUTTON_LONG : BUTTON_NONE;
    } else if (b->up != 0) {
        result = BUTTON_SHORT;
    } else {
        return BUTTON_NONE; // still down, keep the state
    }
    b->down = 0;
    b->up = 0;
    b->ctrl = 0;
    return result;
}

bool buttons_pending(const SoftButton buttons[4]) {
    for (int i = 0; i < 4; ++i) {
        if (buttons[i].down != 0 || buttons[i].ctrl != 0)
            return true;
    }
    return false;
}

// 2 -> "LCDMon is not running on the system."; 1722 -> "Logitech LCD subsystem is
// not available."; 5 -> nullptr (the system's own text is used).
const char* lcd_error_text(uint32_t code) {
    switch (code) {
    case 2:
        return "LCDMon is not running on the system.";
    case 87:
        return "Invalid parameter.";
    case 183:
        return "Already exists: Can't connect or open twice.";
    case 259:
        return "There are no more devices to be enumerated.";
    case 1062:
        return "lgLcdInit() has not been called yet.";
    case 1150:
        return "Attempted to initialize for Windows 9x.";
    case 1247:
        return "lgLcdInit() has been called before.";
    case 1450:
        return "Not enough system resources.";
    case 1722:
        return "Logitech LCD subsystem is not available.";
    case 1832:
        return "LCDMon does not understand the protocol.";
    default:
        return nullptr;
    }
}

// 0x80 -> "WAIT_ABANDONED ", 0x102 -> "WAIT_TIMEOUT ", anything else -> "".
const char* wait_result_prefix(uint32_t result) {
    if (result == 0x80)
        return "WAIT_ABANDONED ";
    if (result == 0x102)
        return "WAIT_TIMEOUT ";
    return "";
}

void lcd_hand_over(LcdBitmap* drawing, LcdBitmap* sending) {
    memcpy(sending, drawing, sizeof(LcdBitmap));
    memset(drawing->pixels, 0, sizeof drawing->pixels);
}

uint32_t lcd_pause_left(uint64_t pass_end_us, uint64_t now_us) {
    const uint64_t pause_us = LCD_PASS_PAUSE_MS * 1000ull;
    if (now_us < pass_end_us)
        return LCD_PASS_PAUSE_MS; // a clock that went back: the whole pause
    const uint64_t gone = now_us - pass_end_us;
    return gone >= pause_us ? 0 : static_cast<uint32_t>((pause_us - gone + 999) / 1000);
}

void lcd_reset(LcdLink* lcd) {
    lcd->initialised = 0;
    lcd->update_thread = nullptr;
    lcd->update_ctx = nullptr;
    lcd->sender_replaced = 0;
    lcd->connect.connection = -1;
    lcd->open.device = -1;
    lcd->frame.format = 1;
    lcd->sending.format = 1;
    lcd->update_request = 0;
    lcd->device_lost.store(0);
    lcd->all_down.store(0);
    lcd->buttons_pending.store(0);
}
