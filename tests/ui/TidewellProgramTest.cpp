// The whole program, as app/main.cpp builds it but on a clock of its own,
// synchronising with a real time server on loopback.

#include <gtest/gtest.h>

#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <memory>

#include "tests/support/Chronyd.h"
#include "tests/support/FakeSntpServer.h"
#include "tests/support/QtPrinters.h"
#include "tests/support/TempFolder.h"
#include "tests/ui/TestProgram.h"

namespace {

// A real chronyd when this machine can run one, otherwise the in-process server.
class LoopbackServer {
public:
    LoopbackServer() {
        if (Chronyd::Unavailable().empty()) {
            m_chronyd = std::make_unique<Chronyd>();
        } else {
            m_fake = std::make_unique<FakeSntpServer>();
        }
    }
    uint16_t Port() const { return m_chronyd ? m_chronyd->Port() : m_fake->Port(); }
    std::string Log() const { return m_chronyd ? m_chronyd->Log() : "(in-process server)"; }

private:
    std::unique_ptr<Chronyd> m_chronyd;
    std::unique_ptr<FakeSntpServer> m_fake;
};

}  // namespace

TEST(TidewellProgramTest, SynchronizeNowEndsWithTheNewRecordAndTheServerInTheWindow) {
    LoopbackServer server;
    TempFolder config;
    {
        // An earlier start left a list with the loopback server first.
        ProfileStore store(config.Path());
        store.RegisterMakerKey(ProfileStore::kMakerKey);
        Settings settings(store);
        settings.nSynPeriod = 3;  // only this run
        settings.SaveFirstStart();
        CRegArray<CServer> list(settings.serversName, settings.serversName);
        list.Add(CServer("Loopback time server", "127.0.0.1", 1));
        settings.SetServers(list);
        settings.SaveServers();
    }
    QTemporaryDir sockets;
    TestProgramOptions options;
    options.configFolder = config.Path();
    options.instanceName = sockets.filePath(QStringLiteral("Tidewell-test"));
    // The program's clock runs 30 s behind true time.
    options.followRealClockSeconds = -30;
    options.exchange = ExchangeOptions{server.Port(), 2000};
    TestProgram program(options);
    ASSERT_TRUE(program.app.InitInstance());
    EXPECT_EQ(program.FieldText("IDC_SERVER"), "Loopback time server");
    EXPECT_EQ(program.FieldText("IDC_SYNC_DATE"), "00/00/0000");

    QTest::mouseClick(program.Button("IDC_SYNC_NOW"), Qt::LeftButton);
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return program.FieldText("IDC_STATUS").startsWith("Success synchro: "); }, 20000))
        << program.FieldText("IDC_STATUS").toStdString() << "\n"
        << server.Log();
    EXPECT_FALSE(program.clock.Sets().empty()) << server.Log();
    EXPECT_LT(std::abs(program.clock.OffsetFromRealSeconds()), 0.5);
    EXPECT_EQ(program.FieldText("IDC_SERVER"), "Loopback time server");
    const LastAttempt last = program.manager.GetLastAttempt();
    EXPECT_EQ(program.FieldText("IDC_SYNC_DATE"), QString::fromStdString(program.manager.FormatSyncDate()));
    EXPECT_NE(program.FieldText("IDC_SYNC_DATE"), QString("00/00/0000"));
    EXPECT_EQ(program.FieldText("IDC_TIME_AFTER"), QString::fromStdString(program.manager.FormatTimeAfter()));
    EXPECT_EQ(program.FieldText("IDC_STATUS"), QString::fromStdString(last.statusText));

    // The record reached the settings file.
    LastAttempt stored;
    Settings reloaded(program.store);
    reloaded.LoadAll(stored);
    EXPECT_EQ(stored.statusText, last.statusText);
    EXPECT_EQ(stored.syncDate, last.syncDate);
}
