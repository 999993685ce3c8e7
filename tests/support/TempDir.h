#pragma once
#include <string>

namespace vorla::test {

// A fresh folder under the system's temporary folder, removed with everything in it when the
// object goes. Path() ends in "/".
class TTempDir {
public:
    TTempDir();
    ~TTempDir();
    TTempDir(const TTempDir&) = delete;
    TTempDir& operator=(const TTempDir&) = delete;
    const std::string& Path() const { return m_path; }
    std::string operator/(const std::string& name) const { return m_path + name; }

private:
    std::string m_path;
};

// A fresh home folder with its private temporary folder "tmp/", set as the program's for as
// long as the object lives.
class TTestHome : public TTempDir {
public:
    TTestHome();
    ~TTestHome();
};

// Whole-file helpers for tests (throw std::runtime_error on failure).
std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& data);

}  // namespace vorla::test
