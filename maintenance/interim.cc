// Interim maintenance: nothing scheduled. Replaced by the maintenance units.
#include "engine/slot.h"
#include "maintenance/handlers.h"
#include "maintenance/scheduler.h"

void schedule_checks() {}
void schedule_myip() {}
void check_handler(int, char) {}
void chain_test_handler(int, char) {}
void myip_handler(int, char) {}
void download_handler(int, char) {}
#include "maintenance/checker.h"
int start_check(uint32_t, uint16_t, int) { return 0; }
