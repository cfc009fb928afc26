#include "desktop/SingleInstance.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <cstring>
#include <functional>
#include <utility>

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

// The launcher's activation token travels with the request; one that is not a
// short run of printable characters is dropped, and the window still comes.
TEST(SingleInstanceTest, TheLaterStartsActivationTokenIsHandedOn) {
    QTemporaryDir folder;
    const QString name = folder.filePath("Tidewell-test");
    SingleInstance first(name);
    QSignalSpy restores(&first, &SingleInstance::RestoreRequested);
    ASSERT_TRUE(first.TryBecomePrimary());
    const std::pair<QByteArray, QString> cases[] = {
        {"kwin-0123_TIME42", "kwin-0123_TIME42"}, {"two words", ""}, {QByteArray(256, 'a'), ""}};
    for (const auto& [token, handedOn] : cases) {
        EXPECT_TRUE(SingleInstance::AskPrimaryToRestore(name, token));
        ASSERT_TRUE(restores.wait(3000));
        EXPECT_EQ(restores.last().at(0).toString(), handedOn) << token.toStdString();
    }
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

// No other account can stop the start: a file at the old socket path, or an
// open folder with someone listening in it, sends the socket to the user's
// own folder; with nowhere safe the program runs alone.
TEST(SingleInstanceTest, TheMeetingPlaceCannotBeTakenByAnotherAccount) {
    // Only root can give a file to another account; a user's own squats still
    // show that the kind and mode of what lies there decide.
    const uid_t other = ::geteuid() == 0 ? 65534 : ::geteuid();
    const gid_t otherGroup = ::geteuid() == 0 ? 65534 : ::getegid();
    const QString uid = QString::number(::getuid());
    QLocalServer stranger;
    const std::function<void(const QString&)> squats[] = {
        {},
        [&](const QString& t) { ASSERT_TRUE(QFile(t).open(QIODevice::WriteOnly)); },
        [&](const QString& t) {
            ASSERT_TRUE(QDir().mkdir(t) && stranger.listen(t + "/Tidewell"));
            ::chmod(QFile::encodeName(t).constData(), 0777);
        },
        [&](const QString& t) { ASSERT_TRUE(QFile(t).open(QIODevice::WriteOnly)); },
    };
    const char* expected[] = {"tmp/Tidewell-%1/Tidewell", "home/.cache/Quorvane/Tidewell-%1",
                              "home/.cache/Quorvane/Tidewell-%1", ""};
    const QByteArray savedTemp = qgetenv("TMPDIR");
    const QByteArray savedHome = qgetenv("HOME");
    for (int i = 0; i < 4; ++i) {
        // Each case's folder in the real temporary folder: the one the case
        // before pointed TMPDIR at is gone.
        savedTemp.isNull() ? qunsetenv("TMPDIR") : qputenv("TMPDIR", savedTemp);
        QTemporaryDir folder;
        ASSERT_TRUE(folder.isValid());
        const QDir base(folder.path());
        ASSERT_TRUE(base.mkdir("tmp") && base.mkdir("home"));
        qunsetenv("XDG_RUNTIME_DIR");
        qunsetenv("XDG_CACHE_HOME");
        qputenv("TMPDIR", QFile::encodeName(base.filePath("tmp")));
        i < 3 ? qputenv("HOME", QFile::encodeName(base.filePath("home"))) : qunsetenv("HOME");
        const QString squatted = base.filePath("tmp/Tidewell-" + uid);
        if (squats[i]) {
            squats[i](squatted);
            ASSERT_EQ(::chown(QFile::encodeName(squatted).constData(), other, otherGroup), 0);
        }
        const QString name = SingleInstance::DefaultName();
        EXPECT_EQ(name, *expected[i] ? base.filePath(QString(expected[i]).arg(uid)) : QString()) << i;
        SingleInstance first(name);
        EXPECT_TRUE(first.TryBecomePrimary());
        EXPECT_EQ(first.IsListening(), !name.isEmpty());
        EXPECT_EQ(SingleInstance(name).TryBecomePrimary(), name.isEmpty());
        stranger.close();
    }
    savedTemp.isNull() ? qunsetenv("TMPDIR") : qputenv("TMPDIR", savedTemp);
    qputenv("HOME", savedHome);
}
