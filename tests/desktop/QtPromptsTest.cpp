#include "desktop/QtPrompts.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QTimer>
#include <chrono>
#include <future>
#include <thread>

using namespace std::chrono_literals;

namespace {

// The one message box on screen, if any.
QMessageBox* VisibleBox() {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (auto* box = qobject_cast<QMessageBox*>(widget); box != nullptr && box->isVisible()) {
            return box;
        }
    }
    return nullptr;
}

// Runs the event loop until the condition holds or five seconds have passed.
template <typename Condition>
bool ProcessEventsUntil(Condition condition) {
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        QApplication::processEvents(QEventLoop::AllEvents, 10);
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

QMessageBox* WaitForBox() {
    QMessageBox* box = nullptr;
    ProcessEventsUntil([&] { return (box = VisibleBox()) != nullptr; });
    return box;
}

bool Ready(const std::future<PromptAnswer>& answer) {
    return answer.wait_for(0s) == std::future_status::ready;
}

class QtPromptsTest : public ::testing::Test {
protected:
    // Boxes closed from the worker's side delete themselves later; let them go.
    void TearDown() override { QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete); }
};

}  // namespace

TEST_F(QtPromptsTest, WorkerBoxIsShownOnTheInterfaceThreadAndAnswersWithTheClickedButton) {
    struct Case {
        PromptRequest request;
        QMessageBox::Icon icon;
        QMessageBox::StandardButtons buttons;
        QMessageBox::StandardButton click;
        PromptAnswer answer;
    };
    const std::vector<Case> cases = {
        {{"Tidewell", "Successful synchronization.", PromptIcon::Information, PromptButtons::Ok},
         QMessageBox::Information,
         QMessageBox::Ok,
         QMessageBox::Ok,
         PromptAnswer::Ok},
        {{"Tidewell: Warning", "Line one\n<b>not bold</b>", PromptIcon::Warning, PromptButtons::OkCancel},
         QMessageBox::Warning,
         QMessageBox::Ok | QMessageBox::Cancel,
         QMessageBox::Cancel,
         PromptAnswer::Cancel},
        {{"Tidewell error", "Failed.", PromptIcon::Error, PromptButtons::YesNo},
         QMessageBox::Critical,
         QMessageBox::Yes | QMessageBox::No,
         QMessageBox::No,
         PromptAnswer::No},
        {{"Tidewell", "Continue?", PromptIcon::Question, PromptButtons::YesNoCancel},
         QMessageBox::Question,
         QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel,
         QMessageBox::Yes,
         PromptAnswer::Yes},
        {{"Tidewell", "Plain.", PromptIcon::None, PromptButtons::Ok},
         QMessageBox::NoIcon,
         QMessageBox::Ok,
         QMessageBox::Ok,
         PromptAnswer::Ok},
    };
    QtPrompts prompts;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.request.text);
        auto answer = std::async(std::launch::async, [&] { return prompts.Show(c.request); });
        QMessageBox* box = WaitForBox();
        ASSERT_NE(box, nullptr);
        EXPECT_EQ(box->thread(), QApplication::instance()->thread());
        EXPECT_EQ(box->windowTitle().toStdString(), c.request.title);
        EXPECT_EQ(box->text().toStdString(), c.request.text);
        EXPECT_EQ(box->textFormat(), Qt::PlainText);
        EXPECT_EQ(box->icon(), c.icon);
        EXPECT_EQ(box->standardButtons(), c.buttons);
        EXPECT_EQ(box->parentWidget(), nullptr);
        EXPECT_EQ(box->windowModality(), Qt::NonModal) << "the main window stays usable";
        EXPECT_FALSE(Ready(answer)) << "the worker waits for the user";

        box->button(c.click)->click();
        ASSERT_TRUE(ProcessEventsUntil([&] { return Ready(answer); }));
        EXPECT_EQ(answer.get(), c.answer);
        EXPECT_TRUE(ProcessEventsUntil([] { return VisibleBox() == nullptr; }));
    }
}

TEST_F(QtPromptsTest, StopRequestClosesTheWorkersBoxAtOnce) {
    QtPrompts prompts;
    std::stop_source run;
    auto answer = std::async(std::launch::async, [&] {
        return prompts.Show({"Tidewell", "Successful synchronization.", PromptIcon::Information},
                            run.get_token());
    });
    ASSERT_NE(WaitForBox(), nullptr);

    run.request_stop();
    // The worker is released without waiting for the interface thread...
    EXPECT_EQ(answer.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(answer.get(), PromptAnswer::Closed);
    // ...and the box goes as soon as that thread comes round.
    EXPECT_TRUE(ProcessEventsUntil([] { return VisibleBox() == nullptr; }));
}

TEST_F(QtPromptsTest, StoppedRunShowsNoBox) {
    QtPrompts prompts;
    std::stop_source run;
    run.request_stop();
    auto answer = std::async(std::launch::async, [&] {
        return prompts.Show({"Tidewell", "x"}, run.get_token());
    });
    EXPECT_EQ(answer.get(), PromptAnswer::Closed);
    QApplication::processEvents();
    EXPECT_EQ(VisibleBox(), nullptr);
    EXPECT_EQ(prompts.Show({"Tidewell", "x"}, run.get_token()), PromptAnswer::Closed);
    EXPECT_EQ(VisibleBox(), nullptr);
}

TEST_F(QtPromptsTest, InterfaceThreadBoxIsModalAndAnswered) {
    QtPrompts prompts;
    bool wasModal = false;
    QTimer::singleShot(0, [&] {
        QMessageBox* box = WaitForBox();
        ASSERT_NE(box, nullptr);
        wasModal = box->isModal();
        box->button(QMessageBox::No)->click();
    });
    const PromptAnswer answer =
        prompts.Show({"Tidewell",
                      "Usually you do not need exit this program. Continue?\nYes - Exit, "
                      "No - Minimize.",
                      PromptIcon::Information, PromptButtons::YesNo});
    EXPECT_EQ(answer, PromptAnswer::No);
    EXPECT_TRUE(wasModal);
}

TEST_F(QtPromptsTest, InterfaceThreadBoxIsClosedByAStopFromAnotherThread) {
    QtPrompts prompts;
    std::stop_source run;
    std::jthread stopper;
    QTimer::singleShot(0, [&] {
        ASSERT_NE(WaitForBox(), nullptr);
        stopper = std::jthread([&] { run.request_stop(); });
    });
    EXPECT_EQ(prompts.Show({"Tidewell", "x", PromptIcon::Warning}, run.get_token()), PromptAnswer::Closed);
    EXPECT_EQ(VisibleBox(), nullptr);
}

TEST_F(QtPromptsTest, ShutdownReleasesWaitingWorkersAndRefusesNewBoxes) {
    QtPrompts prompts;
    auto first = std::async(std::launch::async, [&] { return prompts.Show({"Tidewell", "first"}); });
    ASSERT_NE(WaitForBox(), nullptr);

    prompts.Shutdown();
    EXPECT_EQ(first.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(first.get(), PromptAnswer::Closed);
    EXPECT_EQ(VisibleBox(), nullptr);

    // Nothing processes the event loop here: a box still asked for must not wait for it.
    auto later = std::async(std::launch::async, [&] { return prompts.Show({"Tidewell", "later"}); });
    EXPECT_EQ(later.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(later.get(), PromptAnswer::Closed);
}
