#pragma once

#include <string>

// A fresh folder under $TMPDIR (or /tmp), removed with everything in it at the end of its life.
class TempFolder {
public:
    TempFolder();
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const std::string& Path() const { return m_path; }
    std::string operator/(const std::string& name) const { return m_path + "/" + name; }

    // Whole-file helpers for tests that look at what reached the disk.
    static std::string ReadFile(const std::string& path);
    static void WriteFile(const std::string& path, const std::string& content);

private:
    std::string m_path;
};
