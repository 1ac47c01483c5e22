// `merovane ctl user add|del|list`: client accounts of the running
// instance. The password is read here (from the terminal without echo, or
// the first line of standard input), hashed here, and only the hash goes
// to the instance; nothing prints it.
#pragma once

int ctl_user(int argc, char** argv);
