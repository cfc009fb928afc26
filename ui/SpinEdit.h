#pragma once

#include <QAbstractSpinBox>

// A number field with its spin button. The field takes any typed text: what it
// holds is checked only when a dialog takes its values over (ValueExchange).
// The arrows, the arrow keys and the wheel step the whole number in the field
// by one and stop at the ends of the range; from a field that holds no number
// the up arrow goes to the bottom of the range and the down arrow to the top.
class SpinEdit : public QAbstractSpinBox {
    Q_OBJECT
public:
    explicit SpinEdit(QWidget* parent = nullptr);

    void SetRange(int minimum, int maximum);
    int Maximum() const { return m_maximum; }

    // The field's text, exactly as typed.
    QString Text() const;
    void SetText(const QString& text);
    void SetNumber(int value);

    void stepBy(int steps) override;
    QValidator::State validate(QString& input, int& pos) const override;

protected:
    StepEnabled stepEnabled() const override;

private:
    int m_minimum = 0;
    int m_maximum = 99;
};
