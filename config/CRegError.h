#pragma once

#include <stdexcept>
#include <string>

// A failure of the settings store. The store itself reports trouble through
// return values and never throws this; it exists for code that would rather
// turn a failed save into an exception, and for the guard around the
// first-start saves, which catches it along with everything else.
class CRegError : public std::runtime_error {
public:
    explicit CRegError(const std::string& what) : std::runtime_error(what) {}
};
