#pragma once

#include <QString>
#include <atomic>

// The system's time and date service on the bus, as its clients address it.
namespace Timedated {

inline const QString kService = QStringLiteral("org.freedesktop.timedate1");
inline const QString kPath = QStringLiteral("/org/freedesktop/timedate1");
inline const QString kInterface = kService;

// A name for a client's own connection to a private bus, unique in the process: "<prefix>-<n>".
inline QString UniqueConnectionName(const char* prefix) {
    static std::atomic<int> counter{0};
    return QStringLiteral("%1-%2").arg(QString::fromLatin1(prefix)).arg(++counter);
}

}  // namespace Timedated
