#include "desktop/SingleInstance.h"

#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <algorithm>
#include <optional>

namespace {

// "restore\n", or "restore TOKEN\n" with the activation token the later start was given.
const QByteArray kRestoreRequest = QByteArrayLiteral("restore");
// More than any request holds: a peer sending more is not a copy of this program.
constexpr qint64 kMaxRequestBytes = 320;
// A socket's path must fit sockaddr_un's sun_path with its terminating zero.
constexpr qsizetype kMaxSocketPathBytes = sizeof(sockaddr_un::sun_path) - 1;

QString FullPath(const QString& name) {
    if (name.isEmpty()) {
        return {};
    }
    return name.contains(QLatin1Char('/')) ? name : QDir(QDir::tempPath()).filePath(name);
}

// A folder in which no other account can put or replace anything: a real
// folder (not a link to one), ours, and writable by nobody else. Made, for
// this user only, when create is set and it does not exist yet.
bool IsPrivateFolder(const QString& path, bool create) {
    if (!QDir::isAbsolutePath(path)) {
        return false;
    }
    const QByteArray native = QFile::encodeName(path);
    if (create) {
        ::mkdir(native.constData(), 0700);
    }
    struct stat st {};
    return ::lstat(native.constData(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() &&
           (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

bool FitsSocketPath(const QString& path) {
    return QFile::encodeName(path).size() <= kMaxSocketPathBytes;
}

// The request's token, or nullopt when the line is no restore request. A
// token that is not a short run of printable characters is dropped: the
// window is restored without one.
std::optional<QString> ParseRequest(const QByteArray& line) {
    if (!line.endsWith('\n')) {
        return std::nullopt;
    }
    const QByteArray body = line.chopped(1);
    if (body == kRestoreRequest) {
        return QString();
    }
    if (!body.startsWith(kRestoreRequest + ' ')) {
        return std::nullopt;
    }
    const QByteArray token = body.mid(kRestoreRequest.size() + 1);
    return SingleInstance::IsUsableToken(token) ? QString::fromLatin1(token) : QString();
}

}  // namespace

QString SingleInstance::DefaultName() {
    const QString name = QStringLiteral("Tidewell-%1").arg(::getuid());
    // The session's own folder, which only the user can enter.
    const QString runtimeDir = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (IsPrivateFolder(runtimeDir, false) && FitsSocketPath(QDir(runtimeDir).filePath(name))) {
        return QDir(runtimeDir).filePath(name);
    }
    // Else a folder of our own in the shared temporary folder. Another account
    // may have taken that name first; then a folder in the user's home.
    const QString tempFolder = QDir(QDir::tempPath()).filePath(name);
    const QString inTemp = tempFolder + QStringLiteral("/Tidewell");
    if (FitsSocketPath(inTemp) && IsPrivateFolder(tempFolder, true)) {
        return inTemp;
    }
    QString cacheHome = qEnvironmentVariable("XDG_CACHE_HOME");
    if (!QDir::isAbsolutePath(cacheHome)) {
        const QString home = qEnvironmentVariable("HOME");
        cacheHome = QDir::isAbsolutePath(home) ? QDir(home).filePath(QStringLiteral(".cache")) : QString();
    }
    if (!cacheHome.isEmpty()) {
        const QString cacheFolder = QDir(cacheHome).filePath(QStringLiteral("Quorvane"));
        const QString inCache = QDir(cacheFolder).filePath(name);
        QDir().mkpath(cacheHome);
        if (FitsSocketPath(inCache) && IsPrivateFolder(cacheFolder, true)) {
            return inCache;
        }
    }
    // Nowhere safe: the program runs without looking for another copy.
    return {};
}

SingleInstance::SingleInstance(QString name, QObject* parent) : QObject(parent), m_name(FullPath(name)) {}

SingleInstance::~SingleInstance() = default;

bool SingleInstance::TryBecomePrimary() {
    if (IsListening()) {
        return true;
    }
    if (m_name.isEmpty()) {
        return true;
    }
    // Two copies started at the same moment must not both find the name free.
    QLockFile lock(m_name + QStringLiteral(".lock"));
    lock.tryLock(kRequestTimeoutMs);

    QLocalSocket probe;
    probe.connectToServer(m_name);
    if (probe.waitForConnected(kRequestTimeoutMs)) {
        probe.abort();
        return false;
    }
    // Nobody takes connections: what is left at the path belongs to a copy
    // that ended without removing it, or to one that no longer answers, and
    // either way is taken over.
    QLocalServer::removeServer(m_name);

    m_server = std::make_unique<QLocalServer>();
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    connect(m_server.get(), &QLocalServer::newConnection, this, &SingleInstance::OnNewConnection);
    if (!m_server->listen(m_name)) {
        // The name cannot be had: the program runs all the same.
        m_server.reset();
    }
    return true;
}

bool SingleInstance::IsListening() const {
    return m_server && m_server->isListening();
}

bool SingleInstance::IsUsableToken(const QByteArray& token) {
    return !token.isEmpty() && token.size() <= kMaxTokenBytes &&
           std::all_of(token.begin(), token.end(), [](char c) { return c > ' ' && c < 0x7f; });
}

bool SingleInstance::AskPrimaryToRestore(const QString& name, const QByteArray& activationToken) {
    if (name.isEmpty()) {
        return false;
    }
    QLocalSocket socket;
    socket.connectToServer(FullPath(name));
    if (!socket.waitForConnected(kRequestTimeoutMs)) {
        return false;
    }
    QByteArray request = kRestoreRequest;
    if (IsUsableToken(activationToken)) {
        request += ' ' + activationToken;
    }
    socket.write(request + '\n');
    while (socket.bytesToWrite() > 0) {
        if (!socket.waitForBytesWritten(kRequestTimeoutMs)) {
            return false;
        }
    }
    socket.disconnectFromServer();
    return true;
}

void SingleInstance::OnNewConnection() {
    while (QLocalSocket* peer = m_server->nextPendingConnection()) {
        connect(peer, &QLocalSocket::disconnected, peer, &QObject::deleteLater);
        auto readRequest = [this, peer] {
            if (peer->bytesAvailable() > kMaxRequestBytes) {
                peer->abort();
                return;
            }
            if (!peer->canReadLine()) {
                return;
            }
            if (const std::optional<QString> token = ParseRequest(peer->readLine(kMaxRequestBytes))) {
                emit RestoreRequested(*token);
            }
            peer->disconnectFromServer();
        };
        connect(peer, &QLocalSocket::readyRead, this, readRequest);
        readRequest();
    }
}
