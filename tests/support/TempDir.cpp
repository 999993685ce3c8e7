#include "support/TempDir.h"

#include "platform/Files.h"
#include "platform/Home.h"
#include "platform/TempFolder.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <system_error>

namespace vorla::test {

TTempDir::TTempDir() {
    std::string templ = (std::filesystem::temp_directory_path() / "vorla-test-XXXXXX").string();
    if (!mkdtemp(templ.data())) throw std::runtime_error("mkdtemp failed");
    m_path = templ + "/";
}

TTempDir::~TTempDir() {
    std::error_code ec;
    std::filesystem::remove_all(m_path, ec);
}

TTestHome::TTestHome() {
    SetHomeFolder(Path());
    ForceDirectories(Path() + "tmp/");
    SetPrivateTempFolder(Path() + "tmp/");
}

TTestHome::~TTestHome() {
    SetPrivateTempFolder("");
    SetHomeFolder("");
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void WriteFile(const std::string& path, const std::string& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) throw std::runtime_error("cannot write " + path);
    out << data;
    if (!out) throw std::runtime_error("write failed: " + path);
}

}  // namespace vorla::test
