#pragma once

#include <string>
#include <vector>

#include "core/AttemptRecorder.h"

// The records as CSV (RFC 4180: comma-separated, CRLF line ends, fields with
// commas, quotes or line breaks quoted), a header line first. Times in UTC,
// ISO 8601 with milliseconds; seconds with microsecond resolution; an empty
// field where nothing was measured. The cause, the count of failures a record
// stands for and the first of their times come last, after the status.
std::string HistoryCsv(const std::vector<AttemptRecord>& records);
