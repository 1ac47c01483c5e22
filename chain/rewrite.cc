// Interim rewriting: nothing is rewritten. Replaced by the HTTP rewriting.
#include "chain/rewrite.h"

void relay_hook(int, int) {}
