#include "history/HistoryCsv.h"

#include <gtest/gtest.h>

TEST(HistoryCsvTest, QuotesWhatNeedsItAndLeavesUnmeasuredFieldsEmpty) {
    AttemptRecord measured;
    measured.timeUtc = {1796565930, 250000000};
    measured.serverTitle = "Plain";
    measured.serverHost = "127.0.0.1";
    measured.offsetSeconds = -0.0123456;
    measured.delaySeconds = 0.004;
    measured.correctionSeconds = -0.0123456;
    measured.shiftSeconds = 60;
    measured.authenticated = true;
    measured.statusText = "Success synchro: Dec. 06, 2026. Net delay: 0.004 sec.";
    measured.kind = AttemptKind::Manual;
    measured.outcome = AttemptOutcome::Success;
    AttemptRecord failed;
    failed.timeUtc = {1796565990, 0};
    failed.serverTitle = "A \"quoted\", title";
    failed.serverHost = "x";
    failed.statusText = "two\nlines";
    failed.kind = AttemptKind::ServerTest;
    failed.outcome = AttemptOutcome::Failure;
    measured.confirmedBy = "127.0.0.2, 127.0.0.3";
    failed.cause = FailureCause::KissOfDeath;
    failed.count = 12;
    failed.firstTimeUtc = {1796565900, 0};
    EXPECT_EQ(
        HistoryCsv({measured, failed}),
        "time_utc,server_title,server_host,kind,outcome,offset_s,delay_s,correction_s,shift_s,authenticated,"
        "status,cause,count,first_time_utc,confirmed_by\r\n"
        "2026-12-06T14:05:30.250Z,Plain,127.0.0.1,manual,success,-0.012346,0.004000,-0.012346,60.000000,yes,"
        "\"Success synchro: Dec. 06, 2026. Net delay: 0.004 sec.\",,1,,\"127.0.0.2, 127.0.0.3\"\r\n"
        "2026-12-06T14:06:30.000Z,\"A \"\"quoted\"\", title\",x,server test,failure,,,,0.000000,no,"
        "\"two\nlines\",kiss-o'-death,12,2026-12-06T14:05:00.000Z,\r\n");
}
