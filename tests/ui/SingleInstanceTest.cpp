#include "ui/SingleInstance.h"

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
#include <memory>

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

// Where the copies meet, and that no other account can stop the start: a
// file, an open folder, a link or a listening socket put where the socket
// would go sends the program to the next place, never out.
TEST(SingleInstanceTest, TheMeetingPlaceCannotBeTakenByAnotherAccount) {
    const bool root = ::geteuid() == 0;
    const uid_t other = root ? 65534 : ::geteuid();
    const QString uid = QString::number(::getuid());
    struct Row {
        const char* name;
        bool runtimeDir;
        mode_t runtimeMode;
        std::function<void(const QString& tempName)> squat;
        const char* expected;  // under the test's folder; empty: nowhere
        bool withHome = true;
    };
    std::unique_ptr<QLocalServer> stranger;
    const Row rows[] = {
        {"the session's folder", true, 0700, {}, "run/Tidewell-%1"},
        {"no session folder", false, 0, {}, "tmp/Tidewell-%1/Tidewell"},
        {"a session folder open to all", true, 0777, {}, "tmp/Tidewell-%1/Tidewell"},
        {"a file at the old socket path", false, 0,
         [&](const QString& t) {
             QFile file(t);
             ASSERT_TRUE(file.open(QIODevice::WriteOnly));
             file.close();
             ASSERT_EQ(::chown(QFile::encodeName(t).constData(), other, other), 0);
         },
         "home/.cache/Quorvane/Tidewell-%1"},
        {"a folder open to all, someone listening in it", false, 0,
         [&](const QString& t) {
             ASSERT_TRUE(QDir().mkdir(t));
             stranger = std::make_unique<QLocalServer>();
             ASSERT_TRUE(stranger->listen(t + "/Tidewell"));
             ASSERT_EQ(::chmod(QFile::encodeName(t).constData(), 0777), 0);
             ASSERT_EQ(::chown(QFile::encodeName(t).constData(), other, other), 0);
         },
         "home/.cache/Quorvane/Tidewell-%1"},
        {"a link to a folder of ours", false, 0,
         [&](const QString& t) { ASSERT_TRUE(QFile::link(QDir::homePath(), t)); },
         "home/.cache/Quorvane/Tidewell-%1"},
        {"taken, and no home", false, 0,
         [&](const QString& t) {
             QFile file(t);
             ASSERT_TRUE(file.open(QIODevice::WriteOnly));
         },
         "", false},
    };
    const QByteArray saved[] = {qgetenv("XDG_RUNTIME_DIR"), qgetenv("TMPDIR"), qgetenv("HOME"),
                                qgetenv("XDG_CACHE_HOME")};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        QTemporaryDir folder;
        const QDir base(folder.path());
        for (const char* sub : {"run", "tmp", "home"}) {
            ASSERT_TRUE(base.mkdir(sub));
        }
        ::chmod(QFile::encodeName(base.filePath("run")).constData(), row.runtimeMode);
        row.runtimeDir ? qputenv("XDG_RUNTIME_DIR", QFile::encodeName(base.filePath("run")))
                       : qunsetenv("XDG_RUNTIME_DIR");
        qputenv("TMPDIR", QFile::encodeName(base.filePath("tmp")));
        row.withHome ? qputenv("HOME", QFile::encodeName(base.filePath("home"))) : qunsetenv("HOME");
        qunsetenv("XDG_CACHE_HOME");
        if (row.squat) {
            row.squat(base.filePath("tmp/Tidewell-" + uid));
        }

        const QString name = SingleInstance::DefaultName();
        const QString expected = *row.expected ? base.filePath(QString(row.expected).arg(uid)) : QString();
        EXPECT_EQ(name, expected);
        SingleInstance first(name);
        ASSERT_TRUE(first.TryBecomePrimary());
        EXPECT_EQ(first.IsListening(), !expected.isEmpty());
        if (!expected.isEmpty()) {
            SingleInstance second(name);
            EXPECT_FALSE(second.TryBecomePrimary());
        }
        stranger.reset();
    }
    const char* names[] = {"XDG_RUNTIME_DIR", "TMPDIR", "HOME", "XDG_CACHE_HOME"};
    for (int i = 0; i < 4; ++i) {
        saved[i].isNull() ? qunsetenv(names[i]) : qputenv(names[i], saved[i]);
    }
}
