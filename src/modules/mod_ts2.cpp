// TeamSpeak 2 module "TS2". Not built yet: it declines every slot.
#include "modules/mod_ts2.h"

#include "core/app.h"

void mod_ts2_init(App* app) {
    app->ts2.tag = "TS2";
}
void mod_ts2_update(App*) {}
int mod_ts2_draw(App*, int) {
    return 0;
}
void mod_ts2_teardown(App*) {}
