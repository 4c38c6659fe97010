#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <system_error>

namespace kvt_test {

// A fresh folder under the system's temporary folder, removed with its content.
class TempDir {
public:
    explicit TempDir(const std::string& prefix) {
        std::random_device rd;
        std::ostringstream name;
        name << prefix << '-' << std::hex << rd() << rd();
        m_path = std::filesystem::temp_directory_path() / name.str();
        // False when it exists already: 64 random bits that met another folder's.
        if (!std::filesystem::create_directory(m_path))
            throw std::runtime_error("temporary folder exists already: " + m_path.string());
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(m_path, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& Path() const { return m_path; }
    std::filesystem::path operator/(const std::string& name) const { return m_path / name; }

private:
    std::filesystem::path m_path;
};

inline std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteFile(const std::filesystem::path& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

inline void SetEnv(const char* name, const std::string& value) {
#ifdef _WIN32
    _putenv_s(name, value.c_str());
#else
    setenv(name, value.c_str(), 1);
#endif
}

inline std::filesystem::path DataDir() {
    const char* dir = std::getenv("KVT_DATA_DIR");
    return dir != nullptr ? std::filesystem::path(dir) : std::filesystem::path();
}

}  // namespace kvt_test
