#include "ui/ValueExchange.h"

#include <QLineEdit>
#include <climits>

#include "ui/SpinEdit.h"

IntegerParse ParseInteger(const QString& text) {
    const QString trimmed = text.trimmed();
    qsizetype i = 0;
    bool negative = false;
    if (i < trimmed.size() && (trimmed[i] == u'-' || trimmed[i] == u'+')) {
        negative = trimmed[i] == u'-';
        ++i;
    }
    if (i == trimmed.size()) {
        return {};
    }
    long long magnitude = 0;
    for (; i < trimmed.size(); ++i) {
        const char16_t c = trimmed[i].unicode();
        if (c < u'0' || c > u'9') {
            return {};
        }
        const int digit = c - u'0';
        magnitude = magnitude > (LLONG_MAX - digit) / 10 ? LLONG_MAX : magnitude * 10 + digit;
    }
    return {true, negative ? -magnitude : magnitude};
}

ValueExchange::ValueExchange(Prompts& prompts, std::string caption)
    : m_prompts(prompts), m_caption(std::move(caption)) {}

void ValueExchange::Add(QLineEdit* field, int& value, int minimum, int maximum) {
    Add(
        field, [&value] { return value; }, [&value](int v) { value = v; }, minimum, maximum);
}

void ValueExchange::Add(QLineEdit* field, Getter get, Setter set, int minimum, int maximum) {
    AddNumber(
        field, [field] { return field->text(); }, [field](const QString& t) { field->setText(t); },
        [field] { field->selectAll(); }, std::move(get), std::move(set), minimum, maximum);
}

void ValueExchange::Add(SpinEdit* field, int& value, int minimum, int maximum) {
    Add(
        field, [&value] { return value; }, [&value](int v) { value = v; }, minimum, maximum);
}

void ValueExchange::Add(SpinEdit* field, Getter get, Setter set, int minimum, int maximum) {
    field->SetRange(minimum, maximum);
    AddNumber(
        field, [field] { return field->Text(); }, [field](const QString& t) { field->SetText(t); },
        [field] { field->selectAll(); }, std::move(get), std::move(set), minimum, maximum);
}

void ValueExchange::Add(std::function<void()> load, std::function<void()> save) {
    m_entries.push_back({std::move(load), [save = std::move(save)] {
                             save();
                             return true;
                         }});
}

void ValueExchange::AddNumber(QWidget* field, std::function<QString()> text,
                              std::function<void(const QString&)> setText, std::function<void()> selectAll,
                              Getter get, Setter set, int minimum, int maximum) {
    Entry entry;
    entry.load = [setText, get] { setText(QString::number(get())); };
    entry.save = [this, field, text, selectAll, set, minimum, maximum] {
        const IntegerParse parsed = ParseInteger(text());
        std::string message;
        if (!parsed.isInteger) {
            message = "Please enter an integer.";
        } else if (parsed.value < minimum || parsed.value > maximum) {
            message = QStringLiteral("Please enter an integer between %1 and %2.")
                          .arg(minimum)
                          .arg(maximum)
                          .toStdString();
        } else {
            set(static_cast<int>(parsed.value));
            return true;
        }
        m_prompts.Show({m_caption, message, PromptIcon::Warning, PromptButtons::Ok});
        field->setFocus(Qt::OtherFocusReason);
        selectAll();
        return false;
    };
    m_entries.push_back(std::move(entry));
}

void ValueExchange::Load() const {
    for (const Entry& entry : m_entries) {
        entry.load();
    }
}

bool ValueExchange::Save() {
    for (const Entry& entry : m_entries) {
        if (!entry.save()) {
            return false;
        }
    }
    return true;
}
