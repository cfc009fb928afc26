#include "ui/SpinEdit.h"

#include <QLineEdit>
#include <algorithm>

#include "ui/ValueExchange.h"

SpinEdit::SpinEdit(QWidget* parent) : QAbstractSpinBox(parent) {
    // No base class value: nothing rewrites the typed text behind the user's back.
    setCorrectionMode(QAbstractSpinBox::CorrectToPreviousValue);
    setKeyboardTracking(true);
}

void SpinEdit::SetRange(int minimum, int maximum) {
    m_minimum = minimum;
    m_maximum = std::max(minimum, maximum);
}

QString SpinEdit::Text() const {
    return lineEdit()->text();
}

void SpinEdit::SetText(const QString& text) {
    lineEdit()->setText(text);
}

void SpinEdit::SetNumber(int value) {
    SetText(QString::number(value));
}

void SpinEdit::stepBy(int steps) {
    const IntegerParse parsed = ParseInteger(Text());
    long long current = 0;
    if (parsed.isInteger) {
        current = std::clamp<long long>(parsed.value, m_minimum, m_maximum);
    } else {
        current = steps > 0 ? m_minimum : m_maximum;
        steps = 0;
    }
    const long long next = std::clamp<long long>(current + steps, m_minimum, m_maximum);
    SetNumber(static_cast<int>(next));
    lineEdit()->selectAll();
}

QValidator::State SpinEdit::validate(QString& /*input*/, int& /*pos*/) const {
    return QValidator::Acceptable;
}

QAbstractSpinBox::StepEnabled SpinEdit::stepEnabled() const {
    const IntegerParse parsed = ParseInteger(Text());
    if (!parsed.isInteger) {
        return StepUpEnabled | StepDownEnabled;
    }
    StepEnabled enabled = StepNone;
    if (parsed.value < m_maximum) {
        enabled |= StepUpEnabled;
    }
    if (parsed.value > m_minimum) {
        enabled |= StepDownEnabled;
    }
    return enabled;
}
