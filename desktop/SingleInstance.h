#pragma once

#include <QObject>
#include <QString>
#include <memory>

class QLocalServer;

// One copy of the program per user. The first copy listens on a local socket
// named after the window title and the user; a later start finds it there,
// asks it to bring its window back, and ends.
class SingleInstance final : public QObject {
    Q_OBJECT
public:
    // How long a later start waits for the first copy to take its request, in milliseconds.
    static constexpr int kRequestTimeoutMs = 2000;

    // The socket every copy started by this user agrees on, in a folder where
    // no other account can put anything: "Tidewell-<uid>" in $XDG_RUNTIME_DIR;
    // without that, "Tidewell" in a folder "Tidewell-<uid>" of the user's own in
    // the temporary folder; when another account holds that name,
    // "Tidewell-<uid>" in $XDG_CACHE_HOME/Quorvane. Empty when none of these
    // can be had: the program then runs without looking for another copy.
    static QString DefaultName();

    // `name`: a socket path, or a bare name placed in the temporary folder;
    // empty: no single instance.
    explicit SingleInstance(QString name = DefaultName(), QObject* parent = nullptr);
    ~SingleInstance() override;

    // True when no other copy is running: this object then listens under the
    // name, taking over whatever is left at the path when nobody takes
    // connections there (a copy that crashed or hangs). False only when
    // another copy answers. A name that cannot be listened on does not keep
    // the program from running: true, without listening.
    bool TryBecomePrimary();
    bool IsListening() const;
    // The socket's path.
    const QString& Name() const { return m_name; }

    // The longest activation token handed on.
    static constexpr qsizetype kMaxTokenBytes = 255;
    // A token is handed on only as a run of printable ASCII without spaces.
    static bool IsUsableToken(const QByteArray& token);

    // Asks the copy listening under `name` to restore its window, handing on
    // the activation token this start was given by its launcher (on Wayland
    // $XDG_ACTIVATION_TOKEN), which lets the compositor raise that window.
    // True when the request was handed over; false when no copy listens there.
    static bool AskPrimaryToRestore(const QString& name = DefaultName(),
                                    const QByteArray& activationToken = {});

signals:
    // A later start asked for the window; `activationToken` is empty when it had none.
    void RestoreRequested(const QString& activationToken);

private:
    void OnNewConnection();

    QString m_name;
    std::unique_ptr<QLocalServer> m_server;
};
