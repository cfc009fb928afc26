#include "core/MonthAbbrevTable.h"

#include "platform/Utf8.h"

#include <langinfo.h>
#include <locale.h>

#include <cwchar>

namespace {

// The wide form of the names is the same in every character set the locale
// may use, so no conversion from the locale's own narrow encoding is needed.
std::string NameOf(locale_t locale, int month) {
    const auto* wide = reinterpret_cast<const wchar_t*>(
        nl_langinfo_l(static_cast<nl_item>(_NL_WABMON_1 + month - 1), locale));
    std::string name;
    if (wide == nullptr) {
        return name;
    }
    for (; *wide != L'\0'; ++wide) {
        const auto c = static_cast<char32_t>(*wide);
        if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
            continue;
        }
        std::string next = name;
        AppendUtf8(next, c);
        if (next.size() > MonthAbbrevTable::kMaxNameBytes) {
            break;
        }
        name = std::move(next);
    }
    return name;
}

}  // namespace

MonthAbbrevTable::MonthAbbrevTable() : MonthAbbrevTable("") {}

MonthAbbrevTable::MonthAbbrevTable(const std::string& localeName) {
    locale_t locale = newlocale(LC_TIME_MASK, localeName.c_str(), static_cast<locale_t>(nullptr));
    if (locale == static_cast<locale_t>(nullptr)) {
        locale = newlocale(LC_TIME_MASK, "C", static_cast<locale_t>(nullptr));
    }
    if (locale == static_cast<locale_t>(nullptr)) {
        return;
    }
    for (int month = 1; month <= 12; ++month) {
        m_names[static_cast<size_t>(month - 1)] = NameOf(locale, month);
    }
    freelocale(locale);
}

const std::string& MonthAbbrevTable::Name(int month) const {
    static const std::string kNone;
    return month >= 1 && month <= 12 ? m_names[static_cast<size_t>(month - 1)] : kNone;
}
