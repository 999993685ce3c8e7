#pragma once
#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/Home.h"

// A fresh folder for one benchmark, made the home folder, removed afterwards.
class TBenchFolder {
public:
    TBenchFolder() {
        std::string templ = (std::filesystem::temp_directory_path() / "vorla-bench-XXXXXX").string();
        if (!mkdtemp(templ.data())) std::abort();
        m_path = templ + "/";
        vorla::SetHomeFolder(m_path);
    }
    ~TBenchFolder() {
        std::error_code ec;
        std::filesystem::remove_all(m_path, ec);
    }
    TBenchFolder(const TBenchFolder&) = delete;
    TBenchFolder& operator=(const TBenchFolder&) = delete;
    const std::string& Path() const { return m_path; }

private:
    std::string m_path;
};
