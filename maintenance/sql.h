// Statement texts of the maintenance units that more than one unit runs.
// The proxy table's name as the database layer creates it.
#pragma once

#define MAINT_PROXY_TABLE "proxy"
