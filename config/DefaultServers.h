#pragma once

#include <vector>

#include "config/CRegArray.h"
#include "config/CServer.h"

// The program's own table of time servers, in order, each of kind 0, never measured.
const std::vector<CServer>& DefaultServers();

// Drops the program's servers (kind 0) from the list, keeping the user's in
// their order, and appends the table. Applied twice it gives the same list as once.
void RestoreDefaultServers(CRegArray<CServer>& list);
// The same with another table in place of the program's.
void RestoreDefaultServers(CRegArray<CServer>& list, const std::vector<CServer>& table);
