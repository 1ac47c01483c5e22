// The panel commands for client accounts: "user_add" (name and a hash
// made by the caller; the password never reaches the program), "user_del"
// and "user_list". Changes take effect for the next client at once.
#pragma once

#include "panel/commands.h"

// The reply value of one of these commands (malloc'd), or null when type
// is not one of them.
char* user_command(const char* type, const param_spans& spans);
