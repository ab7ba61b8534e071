// Network traffic meter. Not built yet: the panel stays empty and the "NET" module
// declines its slot.
#include "net.h"

void net_init(App*) {}
void net_sample(App*) {}
void net_draw_panel(App*) {}
void net_close(App*) {}
