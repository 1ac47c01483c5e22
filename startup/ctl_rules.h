// `merovane ctl rules [show|set FILE|-|add LINE|del N]`: the destination
// rules of the running instance.
#pragma once

int ctl_rules(int argc, char** argv);
