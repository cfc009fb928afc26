#pragma once

#include <QString>
#include <functional>
#include <string>
#include <vector>

#include "platform/Prompts.h"

class QLineEdit;
class QWidget;
class SpinEdit;

// What a number field holds: a whole decimal number (blanks around it and a
// leading sign allowed), or not. A number too large for any range is kept
// saturated, so it is still refused as out of range rather than as no number.
struct IntegerParse {
    bool isInteger = false;
    long long value = 0;
};
IntegerParse ParseInteger(const QString& text);

// Moves a dialog's values between its fields and their variables, in the order
// they were added. Load() fills in every field without checking anything.
// Save() takes the values over in order: a number field must hold a whole
// number inside its range, or Save() shows "Please enter an integer." or
// "Please enter an integer between <min> and <max>." (a warning box captioned
// with the program's title), gives that field the focus with its whole text
// selected and stops there; the values taken before it are kept.
class ValueExchange {
public:
    using Getter = std::function<int()>;
    using Setter = std::function<void(int)>;

    explicit ValueExchange(Prompts& prompts, std::string caption = "Tidewell");
    ValueExchange(const ValueExchange&) = delete;
    ValueExchange& operator=(const ValueExchange&) = delete;

    void Add(QLineEdit* field, int& value, int minimum, int maximum);
    void Add(QLineEdit* field, Getter get, Setter set, int minimum, int maximum);
    // The spin button takes the same range as the check.
    void Add(SpinEdit* field, int& value, int minimum, int maximum);
    void Add(SpinEdit* field, Getter get, Setter set, int minimum, int maximum);
    // A value that needs no check (a check box, a radio group), in its place in the order.
    void Add(std::function<void()> load, std::function<void()> save);

    void Load() const;
    bool Save();

private:
    struct Entry {
        std::function<void()> load;
        std::function<bool()> save;
    };
    void AddNumber(QWidget* field, std::function<QString()> text, std::function<void(const QString&)> setText,
                   std::function<void()> selectAll, Getter get, Setter set, int minimum, int maximum);

    Prompts& m_prompts;
    std::string m_caption;
    std::vector<Entry> m_entries;
};
