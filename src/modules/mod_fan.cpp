// SpeedFan module "FAN". Not built yet: it declines every slot.
#include "modules/mod_fan.h"

#include "core/app.h"

void mod_fan_init(App* app) {
    app->fan.tag = "FAN";
}
void mod_fan_update(App*) {}
int mod_fan_draw(App*, int) {
    return 0;
}
void mod_fan_teardown(App*) {}
