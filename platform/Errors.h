#pragma once
#include <stdexcept>
#include <string>

namespace vorla {

// The engine's few failure kinds. Operations on mail catch them at their own boundary and log
// them; between boundaries they pass through and RAII cleans up.
class TVorlaError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};
class TNetError : public TVorlaError {  // connect, time-out, peer closed
public:
    using TVorlaError::TVorlaError;
};
class TProtocolError : public TVorlaError {  // a reply we cannot use
public:
    using TVorlaError::TVorlaError;
};
class TFileError : public TVorlaError {  // store, settings, log files
public:
    using TVorlaError::TVorlaError;
};
// The peer answered with a refusal ("-ERR ...", a 5xx code); Reply() keeps its own words.
class TPeerRefused : public TVorlaError {
public:
    TPeerRefused(const std::string& what, std::string reply)
        : TVorlaError(what), m_reply(std::move(reply)) {}
    const std::string& Reply() const { return m_reply; }

private:
    std::string m_reply;
};

// Error texts that go into log lines carry no line breaks: every CR LF pair becomes one space.
std::string OneLine(const std::string& text);

}  // namespace vorla
