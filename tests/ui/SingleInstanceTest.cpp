#include "ui/SingleInstance.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <QElapsedTimer>
#include <QFileInfo>
#include <QLocalSocket>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <cstring>

namespace {

// Leaves a socket file at `path` with nobody listening, as a copy that crashed does.
void LeaveStaleSocket(const QString& path) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const QByteArray bytes = path.toLocal8Bit();
    ASSERT_LT(static_cast<size_t>(bytes.size()), sizeof address.sun_path);
    std::memcpy(address.sun_path, bytes.constData(), bytes.size());
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ::close(fd);
    ASSERT_TRUE(QFileInfo::exists(path));
}

}  // namespace

TEST(SingleInstanceTest, ASecondStartRestoresTheFirstAndStepsBack) {
    QTemporaryDir folder;
    const QString name = folder.filePath("Tidewell-test");
    SingleInstance first(name);
    QSignalSpy restores(&first, &SingleInstance::RestoreRequested);
    ASSERT_TRUE(first.TryBecomePrimary());
    EXPECT_TRUE(first.IsListening());
    // Only this user may knock.
    EXPECT_EQ(QFileInfo(name).permissions() &
                  (QFile::ReadOther | QFile::WriteOther | QFile::ReadGroup | QFile::WriteGroup),
              QFileDevice::Permissions());

    SingleInstance second(name);
    EXPECT_FALSE(second.TryBecomePrimary());
    EXPECT_FALSE(second.IsListening());
    EXPECT_TRUE(SingleInstance::AskPrimaryToRestore(name));
    EXPECT_TRUE(restores.wait(3000));
    // The second start's look at the socket is not a request of its own.
    QTest::qWait(100);
    EXPECT_EQ(restores.count(), 1);

    // A peer that says something else, or too much, restores nothing.
    for (const QByteArray& noise : {QByteArray("hello\n"), QByteArray(200, 'x')}) {
        QLocalSocket peer;
        peer.connectToServer(name);
        ASSERT_TRUE(peer.waitForConnected(1000));
        peer.write(noise);
        peer.waitForBytesWritten(1000);
        QTest::qWait(100);
    }
    EXPECT_EQ(restores.count(), 1);
    EXPECT_TRUE(SingleInstance::AskPrimaryToRestore(name));
    EXPECT_TRUE(restores.wait(3000));
    EXPECT_EQ(restores.count(), 2);
}

TEST(SingleInstanceTest, TheNameIsFreeAgainAfterTheFirstCopyEnds) {
    const QString name = QStringLiteral("Tidewell-test-%1").arg(::getpid());
    {
        SingleInstance first(name);
        ASSERT_TRUE(first.TryBecomePrimary());
        EXPECT_TRUE(first.Name().startsWith(QLatin1Char('/')));
    }
    QElapsedTimer timer;
    timer.start();
    EXPECT_FALSE(SingleInstance::AskPrimaryToRestore(name));
    EXPECT_LT(timer.elapsed(), 500);

    SingleInstance next(name);
    EXPECT_TRUE(next.TryBecomePrimary());
    EXPECT_TRUE(next.IsListening());
}

TEST(SingleInstanceTest, TakesOverTheSocketOfACopyThatCrashed) {
    QTemporaryDir folder;
    const QString name = folder.filePath("Tidewell-test");
    LeaveStaleSocket(name);
    EXPECT_FALSE(SingleInstance::AskPrimaryToRestore(name));

    SingleInstance first(name);
    QSignalSpy restores(&first, &SingleInstance::RestoreRequested);
    ASSERT_TRUE(first.TryBecomePrimary());
    EXPECT_TRUE(first.IsListening());
    SingleInstance second(name);
    EXPECT_FALSE(second.TryBecomePrimary());
    EXPECT_TRUE(SingleInstance::AskPrimaryToRestore(name));
    EXPECT_TRUE(restores.wait(3000));
}

TEST(SingleInstanceTest, AFolderThatCannotHoldTheSocketDoesNotStopTheProgram) {
    SingleInstance instance(QStringLiteral("/nonexistent-folder/Tidewell-test"));
    EXPECT_TRUE(instance.TryBecomePrimary());
    EXPECT_FALSE(instance.IsListening());
}

TEST(SingleInstanceTest, DefaultNameIsPerUser) {
    const QString name = SingleInstance::DefaultName();
    EXPECT_TRUE(name.endsWith(QStringLiteral("/Tidewell-%1").arg(::getuid()))) << name.toStdString();
}
