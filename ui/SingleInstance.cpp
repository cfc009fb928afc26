#include "ui/SingleInstance.h"

#include <unistd.h>

#include <QDir>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>

namespace {

const QByteArray kRestoreRequest = QByteArrayLiteral("restore\n");
// More than any request holds: a peer sending more is not a copy of this program.
constexpr qint64 kMaxRequestBytes = 64;

QString FullPath(const QString& name) {
    return name.contains(QLatin1Char('/')) ? name : QDir(QDir::tempPath()).filePath(name);
}

}  // namespace

QString SingleInstance::DefaultName() {
    const QString name = QStringLiteral("Tidewell-%1").arg(::getuid());
    const QString runtimeDir = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtimeDir.isEmpty() && QFileInfo(runtimeDir).isDir()) {
        return QDir(runtimeDir).filePath(name);
    }
    return FullPath(name);
}

SingleInstance::SingleInstance(QString name, QObject* parent) : QObject(parent), m_name(FullPath(name)) {}

SingleInstance::~SingleInstance() = default;

bool SingleInstance::TryBecomePrimary() {
    if (IsListening()) {
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
    const QLocalSocket::LocalSocketError probeError = probe.error();
    if (probeError != QLocalSocket::ServerNotFoundError &&
        probeError != QLocalSocket::ConnectionRefusedError) {
        // Something holds the name but does not take connections in time: a copy
        // that hangs is still a copy, and its socket is not ours to remove.
        return false;
    }
    // Nobody listens: what is left at the path is the socket of a copy that ended without removing it.
    QLocalServer::removeServer(m_name);

    m_server = std::make_unique<QLocalServer>();
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    connect(m_server.get(), &QLocalServer::newConnection, this, &SingleInstance::OnNewConnection);
    if (!m_server->listen(m_name)) {
        const bool taken = m_server->serverError() == QAbstractSocket::AddressInUseError;
        m_server.reset();
        return !taken;
    }
    return true;
}

bool SingleInstance::IsListening() const {
    return m_server && m_server->isListening();
}

bool SingleInstance::AskPrimaryToRestore(const QString& name) {
    QLocalSocket socket;
    socket.connectToServer(FullPath(name));
    if (!socket.waitForConnected(kRequestTimeoutMs)) {
        return false;
    }
    socket.write(kRestoreRequest);
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
            if (peer->readLine(kMaxRequestBytes) == kRestoreRequest) {
                emit RestoreRequested();
            }
            peer->disconnectFromServer();
        };
        connect(peer, &QLocalSocket::readyRead, this, readRequest);
        readRequest();
    }
}
