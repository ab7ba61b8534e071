// LCD link: the connection to the LCD Manager, the drawing frame, the update thread
// that sends finished frames, and the soft-button state filled by the LCD Manager's
// callback thread.
#pragma once
#include <atomic>
#include <cstdint>

#include "draw/draw.h"
#include "link/lgclient.h"

// One soft button as seen by the callback. Tick counts; 0 means "no time".
struct SoftButton {
    uint32_t down; // when seen going down
    uint32_t up;   // when seen going up after that
    int32_t ctrl;  // Ctrl was held while it was down
};

enum ButtonEvent : int32_t {
    BUTTON_NONE = 0,
    BUTTON_SHORT = 1,
    BUTTON_LONG = 2,
    BUTTON_CTRL = 3,
};

struct LcdLink {
    int32_t initialised;
    LgClient client; // the LCD Manager's server library and its entry points
    void* update_thread;
    void* frame_ready; // semaphore 0..1
    void* frame_lock;  // over `sending` and `update_request` (lcd_win.cpp: critical section)
    uint32_t update_thread_id;
    ConnectContext connect;
    DeviceDescription device_desc;
    OpenContext open;
    LcdBitmap frame;                  // drawing frame: every part draws here (main thread only)
    LcdBitmap sending;                // the copy the update thread sends
    int32_t update_request;           // frames handed over and not yet sent
    std::atomic<int32_t> device_lost; // sends refused with 1167
    char* install_path;
    char* version;

    SoftButton buttons[4];
    std::atomic<int32_t> all_down;
    // 1 while any button has a press recorded and not yet reported; set by the callback
    // and cleared by the frame loop, both under the button lock. While it is 0 the frame
    // loop reads no button and takes no lock.
    std::atomic<int32_t> buttons_pending;
    void* button_lock; // made by the first lcd_init, kept for the life of the record

    int32_t wow64;    // read the LCD Manager's keys in the 64-bit view
    void* update_ctx; // the running update thread's own record (lcd_win.cpp)
    // The running update thread replaced one stuck in a send (which still holds the
    // frame lock): the frame it was sending cannot go out before the link closes.
    int32_t sender_replaced;
};

// Portable rules, shared by the Windows glue and the tests.

// Records one change of the held-button mask (bit i = button i) at tick `now`
// (never 0) with the Ctrl key state. Sets *all_down when all four are held.
void buttons_on_mask(SoftButton buttons[4], std::atomic<int32_t>* all_down, uint32_t mask,
                     bool ctrl_down, uint32_t now);
// Decides button b's event at tick `now`, consuming it (see lcd_read_button).
int32_t buttons_classify(SoftButton* b, uint32_t now);
// True when any of the four buttons holds a press not yet reported (a down time or the
// Ctrl mark): then a later buttons_classify may still report something.
bool buttons_pending(const SoftButton buttons[4]);
// The text lcd_check logs for a result code of the LCD Manager, or nullptr when
// the system's own message text is to be used.
const char* lcd_error_text(uint32_t code);
// "WAIT_ABANDONED ", "WAIT_TIMEOUT " or "" for a wait result.
const char* wait_result_prefix(uint32_t result);
// Copies the drawing frame over the sending frame and clears the drawing frame.
void lcd_hand_over(LcdBitmap* drawing, LcdBitmap* sending);

// The update thread pauses 10 ms after each pass before it takes the next frame. It
// makes that pause only when a frame is ready sooner: what is left of it, in whole
// ms rounded up, when the pass ended at pass_end_us and a frame is ready at now_us
// (microseconds of a steady clock):
//   (0, 3000) -> 7; (0, 9001) -> 1; (0, 10000) -> 0; (0, 95000) -> 0
// So a frame goes out when it would after a 10 ms sleep, and the thread does not wake
// for the pause when the next frame comes later (the usual case: every 100 ms).
uint32_t lcd_pause_left(uint64_t pass_end_us, uint64_t now_us);
constexpr uint32_t LCD_PASS_PAUSE_MS = 10;

// Puts the link in its closed state: not initialised, no thread, no connection or
// device (-1), drawing-frame format 1, counts 0.
void lcd_reset(LcdLink* lcd);

// Operations on the link (Windows glue, lcd_win.cpp).
void lcd_read_install_info(LcdLink* lcd);
bool lcd_init(LcdLink* lcd);
bool lcd_open(LcdLink* lcd);
int32_t lcd_read_button(LcdLink* lcd, int i);
// The frame's four events: lcd_read_button for buttons 0..3 in order while a press is
// pending, else all BUTTON_NONE without taking the button lock.
void lcd_read_buttons(LcdLink* lcd, int32_t events[4]);
int32_t lcd_all_buttons_down(LcdLink* lcd);
int32_t lcd_device_lost(LcdLink* lcd);
bool lcd_update(LcdLink* lcd);
void lcd_close(LcdLink* lcd);
void lcd_deinit(LcdLink* lcd);
bool lcd_check(uint32_t code, const char* file, int line);
bool wait_ok(uint32_t result, const char* file, int line);
// Frees the registry texts (at process exit).
void lcd_free_texts(LcdLink* lcd);
