#include "ui/ValueExchange.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QFocusEvent>
#include <QLineEdit>
#include <QTest>
#include <QVBoxLayout>
#include <QWidget>

#include "tests/support/FakePrompts.h"
#include "ui/SpinEdit.h"

namespace {

PromptRequest IntegerBox() {
    return {"Tidewell", "Please enter an integer.", PromptIcon::Warning, PromptButtons::Ok};
}

PromptRequest RangeBox(const std::string& low, const std::string& high) {
    return {"Tidewell", "Please enter an integer between " + low + " and " + high + ".", PromptIcon::Warning,
            PromptButtons::Ok};
}

// A window with one field of each kind before the field under test, so the
// focus has somewhere else to be.
class Form {
public:
    Form() {
        auto* layout = new QVBoxLayout(&window);
        other = new QLineEdit(&window);
        edit = new QLineEdit(&window);
        spin = new SpinEdit(&window);
        layout->addWidget(other);
        layout->addWidget(edit);
        layout->addWidget(spin);
        window.show();
        window.activateWindow();
        EXPECT_TRUE(QTest::qWaitForWindowActive(&window));
        other->setFocus();
    }

    QWidget window;
    QLineEdit* other;
    QLineEdit* edit;
    SpinEdit* spin;
};

QLineEdit* SpinText(SpinEdit* spin) {
    return spin->findChild<QLineEdit*>();
}

}  // namespace

TEST(ValueExchangeTest, TakesOverNumbersAtAndBeyondTheBounds) {
    struct Case {
        int minimum;
        int maximum;
        QString text;
        bool accepted;
        int stored;         // when accepted
        PromptRequest box;  // when refused
    };
    const std::vector<Case> cases = {
        {-10, 10, "-10", true, -10, {}},
        {-10, 10, "10", true, 10, {}},
        {-10, 10, "0", true, 0, {}},
        {-10, 10, " +7 ", true, 7, {}},
        {-10, 10, "11", false, 0, RangeBox("-10", "10")},
        {-10, 10, "-11", false, 0, RangeBox("-10", "10")},
        {-10, 10, "abc", false, 0, IntegerBox()},
        {-10, 10, "", false, 0, IntegerBox()},
        {-10, 10, "-", false, 0, IntegerBox()},
        {-10, 10, "1.5", false, 0, IntegerBox()},
        {-10, 10, "1 2", false, 0, IntegerBox()},
        {-10, 10, "0x10", false, 0, IntegerBox()},
        {-10, 10, "99999999999999999999999", false, 0, RangeBox("-10", "10")},
        {20, 300, "19", false, 0, RangeBox("20", "300")},
        {20, 300, "20", true, 20, {}},
        {20, 300, "300", true, 300, {}},
        {20, 300, "301", false, 0, RangeBox("20", "300")},
        {0, 45, "-1", false, 0, RangeBox("0", "45")},
        {0, 1000000, "1000000", true, 1000000, {}},
        {0, 1000000, "1000001", false, 0, RangeBox("0", "1000000")},
        {-1440, 1440, "-1440", true, -1440, {}},
        {-1440, 1440, "-1441", false, 0, RangeBox("-1440", "1440")},
    };
    for (const bool useSpin : {false, true}) {
        for (const Case& c : cases) {
            SCOPED_TRACE((useSpin ? "spin field, text '" : "line edit, text '") + c.text.toStdString() + "'");
            Form form;
            FakePrompts prompts;
            ValueExchange exchange(prompts);
            int value = 4;
            if (useSpin) {
                exchange.Add(form.spin, value, c.minimum, c.maximum);
                form.spin->SetText(c.text);
            } else {
                exchange.Add(form.edit, value, c.minimum, c.maximum);
                form.edit->setText(c.text);
            }
            QWidget* field = useSpin ? static_cast<QWidget*>(form.spin) : form.edit;
            QLineEdit* text = useSpin ? SpinText(form.spin) : form.edit;

            EXPECT_EQ(exchange.Save(), c.accepted);
            if (c.accepted) {
                EXPECT_EQ(value, c.stored);
                EXPECT_EQ(prompts.Count(), 0u);
                EXPECT_TRUE(form.other->hasFocus());
            } else {
                EXPECT_EQ(value, 4);
                ASSERT_EQ(prompts.Count(), 1u);
                EXPECT_EQ(prompts.Shown()[0], c.box);
                EXPECT_TRUE(field->hasFocus());
                EXPECT_EQ(text->selectedText(), c.text);
                EXPECT_EQ(text->text(), c.text) << "the refused text stays for the user to correct";
            }
        }
    }
}

TEST(ValueExchangeTest, StopsAtTheFirstBadFieldAndKeepsWhatCameBefore) {
    Form form;
    FakePrompts prompts;
    ValueExchange exchange(prompts);
    int minutes = 1;
    int seconds = 2;
    int timeOut = 30;
    bool checkBoxTaken = false;
    exchange.Add(form.other, minutes, -10, 10);
    exchange.Add(form.edit, seconds, -59, 59);
    exchange.Add([] {}, [&] { checkBoxTaken = true; });
    exchange.Add(form.spin, timeOut, 20, 300);

    form.other->setText("5");
    form.edit->setText("60");
    form.spin->SetText("x");
    EXPECT_FALSE(exchange.Save());
    EXPECT_EQ(minutes, 5);
    EXPECT_EQ(seconds, 2);
    EXPECT_FALSE(checkBoxTaken);
    EXPECT_EQ(timeOut, 30);
    ASSERT_EQ(prompts.Count(), 1u);
    EXPECT_EQ(prompts.Shown()[0], RangeBox("-59", "59"));
    EXPECT_TRUE(form.edit->hasFocus());

    // Corrected, the next failure is the one after it: one box per Save.
    form.edit->setText("-59");
    EXPECT_FALSE(exchange.Save());
    EXPECT_EQ(seconds, -59);
    EXPECT_TRUE(checkBoxTaken);
    ASSERT_EQ(prompts.Count(), 2u);
    EXPECT_EQ(prompts.Shown()[1], IntegerBox());
    EXPECT_TRUE(form.spin->hasFocus());
    EXPECT_EQ(SpinText(form.spin)->selectedText(), "x");

    form.spin->SetText("300");
    EXPECT_TRUE(exchange.Save());
    EXPECT_EQ(timeOut, 300);
    EXPECT_EQ(prompts.Count(), 2u);
}

TEST(ValueExchangeTest, LoadFillsInEveryFieldWithoutCheckingRanges) {
    Form form;
    FakePrompts prompts;
    ValueExchange exchange(prompts);
    int days = 60;  // stored outside the range the dialog accepts
    int storedOffset = -90;
    bool loaded = false;
    exchange.Add(form.edit, days, 0, 45);
    exchange.Add(
        form.spin, [&] { return -storedOffset / 60; }, [&](int v) { storedOffset = -v * 60; }, -10, 10);
    exchange.Add([&] { loaded = true; }, [] {});

    exchange.Load();
    EXPECT_EQ(form.edit->text(), "60");
    EXPECT_EQ(form.spin->Text(), "1");
    EXPECT_TRUE(loaded);
    EXPECT_EQ(prompts.Count(), 0u);

    form.spin->SetText("-5");
    EXPECT_FALSE(exchange.Save()) << "the out-of-range value is refused once it is taken over";
    EXPECT_EQ(prompts.Shown().at(0), RangeBox("0", "45"));
    form.edit->setText("45");
    EXPECT_TRUE(exchange.Save());
    EXPECT_EQ(days, 45);
    EXPECT_EQ(storedOffset, 300);
}

TEST(SpinEditTest, ArrowsStepWithinTheRangeAndTypedTextIsKept) {
    Form form;
    form.spin->SetRange(0, 1000000);
    QLineEdit* text = SpinText(form.spin);

    struct Step {
        QString before;
        Qt::Key key;
        QString after;
    };
    const std::vector<Step> steps = {
        {"999999", Qt::Key_Up, "1000000"},
        {"1000000", Qt::Key_Up, "1000000"},  // no wrap-around at the top
        {"0", Qt::Key_Down, "0"},            // nor at the bottom
        {"1", Qt::Key_Down, "0"},
        {"2000000", Qt::Key_Down, "999999"},  // an out-of-range number
                                              // steps from the end
        {"abc", Qt::Key_Up, "0"},
        {"abc", Qt::Key_Down, "1000000"},
        {" 41 ", Qt::Key_Up, "42"},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(s.before.toStdString());
        form.spin->SetText(s.before);
        QTest::keyClick(form.spin, s.key);
        EXPECT_EQ(form.spin->Text(), s.after);
    }

    // Anything typed stays as typed, also when the field loses the focus.
    form.spin->setFocus();
    text->clear();
    QTest::keyClicks(form.spin, "12a");
    form.other->setFocus();
    QFocusEvent focusOut(QEvent::FocusOut, Qt::TabFocusReason);
    QApplication::sendEvent(form.spin, &focusOut);
    EXPECT_EQ(form.spin->Text(), "12a");
}
