// `merovane ctl check`: the check pass followed to its end, one proxy
// checked again, and the pass line `ctl status` prints first.
#pragma once

int ctl_check(int argc, char** argv);
// The pass line and what a first run still lacks; nothing when the
// instance does not answer.
void ctl_print_pass();
