#include "platform/CommandLine.h"

#include <fstream>
#include <iterator>

std::string ReadCommandLine(const std::string& cmdlinePath) {
    std::ifstream file(cmdlinePath, std::ios::binary);
    if (!file) {
        return {};
    }
    const std::string raw((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    return JoinCommandLine(raw);
}

std::string JoinCommandLine(std::string_view nulTerminated) {
    if (!nulTerminated.empty() && nulTerminated.back() == '\0') {
        nulTerminated.remove_suffix(1);
    }
    std::string joined(nulTerminated);
    for (char& c : joined) {
        if (c == '\0') {
            c = ' ';
        }
    }
    return joined;
}

bool IsStartUpCommandLine(const std::string& joined) {
    return joined.ends_with(kStartUpSwitch);
}
