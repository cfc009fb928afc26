#pragma once

#include <QObject>
#include <memory>

#include "platform/Prompts.h"

// Message boxes as Qt message boxes, always on the user-interface thread (the
// thread that builds this object, which must be the QApplication's thread).
//
// From the user-interface thread a box is modal and Show() returns when it is
// answered. From any other thread (the synchronisation worker) the box is
// handed to the user-interface thread and left non-modal, so the main window
// stays usable, while the calling thread waits for the answer. A stop request
// on the caller's token closes the box at once and Show() answers Closed; the
// waiting thread does not wait for the user-interface thread to notice.
//
// When the application quits (or Shutdown() is called) every open box is
// closed, every waiting thread answered Closed, and later calls answer Closed
// without showing anything, so that no worker waits on a loop that has ended.
class QtPrompts final : public QObject, public Prompts {
    Q_OBJECT
public:
    explicit QtPrompts(QObject* parent = nullptr);
    ~QtPrompts() override;

    PromptAnswer Show(const PromptRequest& request, std::stop_token stop = {}) override;

    void Shutdown();

private:
    struct Shared;
    struct Pending;

    PromptAnswer ShowHere(const PromptRequest& request, std::stop_token stop);
    PromptAnswer ShowElsewhere(const PromptRequest& request, std::stop_token stop);

    std::shared_ptr<Shared> m_shared;
};
