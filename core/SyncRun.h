#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "core/MonthAbbrevTable.h"
#include "core/SyncManager.h"
#include "platform/InternetProbe.h"
#include "platform/SystemTime.h"

// One synchronisation run: the probe (manual runs only), the exchange with the
// current server and the correction of the clock, the user's shift, the record
// of the last attempt, the success message and the clock-move warning.
//
// Every effect goes through run, so a run that has been stopped changes
// nothing, however far its thread still goes; and every wait of the run (the
// probe, a box) ends when run's stop is requested. interactive is 1 for a run
// the user asked for (boxes are shown, the Internet is probed first), 0 for an
// automatic run. Returns 1 on success, 0 on failure.
int SyncThreadProc(int32_t interactive, SyncManager& manager, InternetProbe& probe, const RunTicket& run);

// The connectivity probe of a manual run; an automatic run is never probed.
// False when the run must end: the failure has been reported and the server
// advanced, or the run was stopped during the probe (nothing reported).
bool CheckInternetAccess(int32_t interactive, SyncManager& manager, InternetProbe& probe,
                         const RunTicket& run);

// The probe's failure reports: a box when interactive, then the status line
// "Internet Open Error! HH:MM; DD-Mon-YYYY" / "URL Open Error! ...".
void ReportInternetOpenError(int32_t interactive, SyncManager& manager, const RunTicket& run);
void ReportUrlOpenError(int32_t interactive, SyncManager& manager, const RunTicket& run);

// A UTC instant moved by offsetSeconds, its fraction of a second unchanged.
// nullopt when the sum lies outside the calendar a clock can be set to.
std::optional<ClockTime> ShiftInstant(const ClockTime& utc, int32_t offsetSeconds);

// "Success synchro: Mon. DD, YYYY. Net delay: D.DDD sec." for the local time
// after the run and the delay in seconds.
std::string FormatSuccessText(const MonthAbbrevTable& months, const SYSTEMTIME& after, double delaySeconds);
