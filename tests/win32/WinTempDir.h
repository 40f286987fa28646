#pragma once
// A private temporary folder for one test on Windows, removed with its files when the test ends.

#include "WindowsApi.h"

#include <filesystem>
#include <fstream>
#include <string>

class WinTempDir {
public:
    WinTempDir()
    {
        static int counter = 0;
        m_path = std::filesystem::temp_directory_path()
                 / ("kit-win32-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++counter));
        std::filesystem::create_directories(m_path);
    }
    ~WinTempDir()
    {
        std::error_code ignored;
        std::filesystem::remove_all(m_path, ignored);
    }
    WinTempDir(const WinTempDir &) = delete;
    WinTempDir &operator=(const WinTempDir &) = delete;

    // Windows-style path of a file in the folder.
    std::string file(const std::string &name) const { return (m_path / name).make_preferred().string(); }
    std::string write(const std::string &name, const std::string &bytes) const
    {
        std::ofstream out(m_path / name, std::ios::binary);
        out.write(bytes.data(), std::streamsize(bytes.size()));
        return file(name);
    }
    static std::string read(const std::string &path)
    {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    const std::filesystem::path &path() const { return m_path; }

private:
    std::filesystem::path m_path;
};
