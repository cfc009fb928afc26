#include "desktop/QtPrompts.h"

#include <QApplication>
#include <QMessageBox>
#include <QPointer>
#include <QThread>
#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <vector>

// A box asked for by another thread. The asking thread waits on `answered`;
// the fields below the line belong to the user-interface thread.
struct QtPrompts::Pending {
    explicit Pending(PromptRequest r) : request(std::move(r)) {}

    void Answer(PromptAnswer a) {
        {
            std::lock_guard lock(mutex);
            if (!answer) {
                answer = a;
            }
        }
        answered.notify_all();
    }

    const PromptRequest request;
    std::mutex mutex;
    std::condition_variable_any answered;
    std::optional<PromptAnswer> answer;
    // ---
    QPointer<QMessageBox> box;
    bool withdrawn = false;  // the asker stopped waiting: the box answers nobody
};

// Outlives the QtPrompts object for as long as a waiting thread holds it, so a
// worker woken by the shutdown never touches a destroyed object.
struct QtPrompts::Shared {
    std::mutex mutex;
    QObject* receiver = nullptr;  // where boxes are opened; null once shut down
    std::vector<std::shared_ptr<Pending>> waiting;
    // User-interface thread only: every box still on screen, for the shutdown.
    std::vector<QPointer<QMessageBox>> boxes;
};

namespace {

QMessageBox::Icon IconOf(PromptIcon icon) {
    switch (icon) {
        case PromptIcon::Information:
            return QMessageBox::Information;
        case PromptIcon::Warning:
            return QMessageBox::Warning;
        case PromptIcon::Error:
            return QMessageBox::Critical;
        case PromptIcon::Question:
            return QMessageBox::Question;
        case PromptIcon::None:
            break;
    }
    return QMessageBox::NoIcon;
}

QMessageBox* MakeBox(const PromptRequest& request, std::vector<QPointer<QMessageBox>>& boxes) {
    QMessageBox::StandardButtons buttons = QMessageBox::Ok;
    QMessageBox::StandardButton defaultButton = QMessageBox::Ok;
    switch (request.buttons) {
        case PromptButtons::Ok:
            break;
        case PromptButtons::OkCancel:
            buttons = QMessageBox::Ok | QMessageBox::Cancel;
            break;
        case PromptButtons::YesNo:
            buttons = QMessageBox::Yes | QMessageBox::No;
            defaultButton = QMessageBox::Yes;
            break;
        case PromptButtons::YesNoCancel:
            buttons = QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel;
            defaultButton = QMessageBox::Yes;
            break;
    }
    // No owner window: the box stands on its own, like the program's other boxes.
    auto* box = new QMessageBox(IconOf(request.icon), QString::fromStdString(request.title),
                                QString::fromStdString(request.text), buttons);
    box->setObjectName(QStringLiteral("tidewellPrompt"));
    // Texts can carry server names and other outside input: never rich text.
    box->setTextFormat(Qt::PlainText);
    box->setDefaultButton(defaultButton);
    // With the main window hidden in the tray, closing the last box must not end the program.
    box->setAttribute(Qt::WA_QuitOnClose, false);
    std::erase_if(boxes, [](const QPointer<QMessageBox>& b) { return b.isNull(); });
    boxes.emplace_back(box);
    return box;
}

PromptAnswer AnswerOf(const QMessageBox& box) {
    switch (box.standardButton(box.clickedButton())) {
        case QMessageBox::Ok:
            return PromptAnswer::Ok;
        case QMessageBox::Cancel:
            return PromptAnswer::Cancel;
        case QMessageBox::Yes:
            return PromptAnswer::Yes;
        case QMessageBox::No:
            return PromptAnswer::No;
        default:
            return PromptAnswer::Closed;
    }
}

// The result code a box closed by us carries; it is never read as an answer.
constexpr int kClosedByProgram = -1;

}  // namespace

QtPrompts::QtPrompts(QObject* parent) : QObject(parent), m_shared(std::make_shared<Shared>()) {
    m_shared->receiver = this;
    if (QCoreApplication::instance() != nullptr) {
        connect(QCoreApplication::instance(), &QCoreApplication::aboutToQuit, this, &QtPrompts::Shutdown);
    }
}

QtPrompts::~QtPrompts() {
    Shutdown();
}

void QtPrompts::Shutdown() {
    std::vector<std::shared_ptr<Pending>> waiting;
    {
        std::lock_guard lock(m_shared->mutex);
        m_shared->receiver = nullptr;
        waiting.swap(m_shared->waiting);
    }
    for (const auto& pending : waiting) {
        pending->withdrawn = true;
        pending->Answer(PromptAnswer::Closed);
    }
    const auto boxes = m_shared->boxes;
    for (const auto& box : boxes) {
        if (box) {
            box->done(kClosedByProgram);
        }
    }
}

PromptAnswer QtPrompts::Show(const PromptRequest& request, std::stop_token stop) {
    if (stop.stop_requested()) {
        return PromptAnswer::Closed;
    }
    return QThread::currentThread() == thread() ? ShowHere(request, stop) : ShowElsewhere(request, stop);
}

PromptAnswer QtPrompts::ShowHere(const PromptRequest& request, std::stop_token stop) {
    {
        std::lock_guard lock(m_shared->mutex);
        if (m_shared->receiver == nullptr) {
            return PromptAnswer::Closed;
        }
    }
    std::unique_ptr<QMessageBox> box(MakeBox(request, m_shared->boxes));
    QMessageBox* raw = box.get();
    bool stopped = false;
    {
        // The stop may come from any thread; the box is closed on its own thread.
        // The callback's destructor waits for a running callback, so `raw` is alive
        // whenever it is posted to, and the posted call dies with the box.
        std::stop_callback onStop(stop, [raw, &stopped] {
            QMetaObject::invokeMethod(
                raw,
                [raw, &stopped] {
                    stopped = true;
                    raw->done(kClosedByProgram);
                },
                Qt::QueuedConnection);
        });
        box->exec();
    }
    return stopped ? PromptAnswer::Closed : AnswerOf(*box);
}

PromptAnswer QtPrompts::ShowElsewhere(const PromptRequest& request, std::stop_token stop) {
    const std::shared_ptr<Shared> shared = m_shared;
    auto pending = std::make_shared<Pending>(request);
    {
        std::lock_guard lock(shared->mutex);
        if (shared->receiver == nullptr) {
            return PromptAnswer::Closed;
        }
        shared->waiting.push_back(pending);
        // Posted under the lock: the shutdown clears the receiver under it first.
        QMetaObject::invokeMethod(
            shared->receiver,
            [shared, pending] {
                if (pending->withdrawn) {
                    return;
                }
                QMessageBox* box = MakeBox(pending->request, shared->boxes);
                box->setAttribute(Qt::WA_DeleteOnClose);
                // Non-modal keeps the main window usable; but while a modal dialog is up
                // a non-modal box could not be reached, so it becomes modal then.
                box->setWindowModality(QApplication::activeModalWidget() != nullptr ? Qt::ApplicationModal
                                                                                    : Qt::NonModal);
                QObject::connect(box, &QDialog::finished, box, [pending, box] {
                    pending->Answer(pending->withdrawn ? PromptAnswer::Closed : AnswerOf(*box));
                });
                pending->box = box;
                box->show();
            },
            Qt::QueuedConnection);
    }

    bool answered = false;
    {
        std::unique_lock lock(pending->mutex);
        answered = pending->answered.wait(lock, stop, [&] { return pending->answer.has_value(); });
    }

    std::lock_guard lock(shared->mutex);
    std::erase(shared->waiting, pending);
    if (answered) {
        return *pending->answer;
    }
    if (shared->receiver != nullptr) {
        // Queued after the opening, so it always finds the box (or stops it from opening).
        QMetaObject::invokeMethod(
            shared->receiver,
            [pending] {
                pending->withdrawn = true;
                if (pending->box) {
                    pending->box->done(kClosedByProgram);
                }
            },
            Qt::QueuedConnection);
    }
    return PromptAnswer::Closed;
}
