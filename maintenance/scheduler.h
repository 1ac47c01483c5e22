// The maintenance scheduler, driven by the engine's housekeeping pass:
// proxy checks, chain tests, list downloads and public-address requests.
#pragma once

void schedule_checks();
void schedule_myip();
