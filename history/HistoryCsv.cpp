#include "history/HistoryCsv.h"

#include <cstdio>

#include "history/HistoryStore.h"

namespace {

std::string Field(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) {
        return text;
    }
    std::string quoted = "\"";
    for (char c : text) {
        if (c == '"') {
            quoted += '"';
        }
        quoted += c;
    }
    return quoted + '"';
}

std::string Seconds(double value) {
    char text[64];
    std::snprintf(text, sizeof text, "%.6f", value);
    return text;
}

std::string Seconds(const std::optional<double>& value) {
    return value ? Seconds(*value) : std::string();
}

std::string UtcTime(const ClockTime& t) {
    const SYSTEMTIME s = SystemTimeFromClock(t);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", s.wYear, s.wMonth, s.wDay,
                  s.wHour, s.wMinute, s.wSecond, s.wMilliseconds);
    return text;
}

}  // namespace

std::string HistoryCsv(const std::vector<AttemptRecord>& records) {
    std::string csv =
        "time_utc,server_title,server_host,kind,outcome,offset_s,delay_s,correction_s,shift_s,authenticated,"
        "status,cause,count,first_time_utc,confirmed_by\r\n";
    for (const AttemptRecord& r : records) {
        csv += UtcTime(r.timeUtc) + ',' + Field(r.serverTitle) + ',' + Field(r.serverHost) + ',' +
               AttemptKindName(r.kind) + ',' + AttemptOutcomeName(r.outcome) + ',' +
               Seconds(r.offsetSeconds) + ',' + Seconds(r.delaySeconds) + ',' + Seconds(r.correctionSeconds) +
               ',' + Seconds(r.shiftSeconds) + ',' + (r.authenticated ? "yes" : "no") + ',' +
               Field(r.statusText) + ',' + Field(FailureCauseName(r.cause)) + ',' + std::to_string(r.count) +
               ',' + (r.firstTimeUtc ? UtcTime(*r.firstTimeUtc) : std::string()) + ',' +
               Field(r.confirmedBy) + "\r\n";
    }
    return csv;
}
