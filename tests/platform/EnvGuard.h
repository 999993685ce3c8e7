#pragma once
#include <cstdlib>
#include <optional>
#include <string>

namespace vorla::test {

// Sets an environment variable (or removes it for nullptr) and puts the old value back.
class TEnvGuard {
public:
    TEnvGuard(const char* name, const char* value) : m_name(name) {
        if (const char* old = std::getenv(name)) m_old = old;
        if (value)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    ~TEnvGuard() {
        if (m_old)
            setenv(m_name.c_str(), m_old->c_str(), 1);
        else
            unsetenv(m_name.c_str());
    }
    TEnvGuard(const TEnvGuard&) = delete;
    TEnvGuard& operator=(const TEnvGuard&) = delete;

private:
    std::string m_name;
    std::optional<std::string> m_old;
};

}  // namespace vorla::test
