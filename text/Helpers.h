#pragma once
#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Header, address and IP helpers for the message model and the filters. Pure functions; any thread.
namespace vorla {

// Trimmed value of the first line anywhere in text that begins with name (letter case
// ignored; name includes its colon); "" when none. Continuation lines are not joined.
std::string HeaderValue(std::string_view text, std::string_view name);

struct TFoundIP {
    bool found = false;
    std::string address;
};
// The first address that stands directly inside "(" / "[" and ")" / "]" on the line.
TFoundIP FirstBracketedIP(std::string_view line);

// Addresses of the "Received: from " lines, joined by ","; with all false only the first such
// line is looked at, whether or not it yields an address.
std::string ExtractReceivedIPs(const std::vector<std::string>& lines, bool all);

struct TIPAddressTest {
    bool isAddress = false;
    std::string leadingPart;  // the leading run of digits and dots when it has three dots
};
TIPAddressTest IsIPAddress(std::string_view text);

// Four octets; 255 stands for "any".
using TIPOctets = std::array<std::int32_t, 4>;
struct TIPPattern {
    bool ok = false;
    TIPOctets octets{255, 255, 255, 255};
};
TIPPattern ParseIPPattern(std::string_view text);

struct TIPComparison {
    bool compatible = false;
    std::string common;  // common prefix pattern, ".*" appended when shorter than four parts
    int depth = 0;       // 0..4
};
TIPComparison CompareIPPatterns(std::string_view a, std::string_view b);

// Turns the text into a four-part pattern ("192.168.*" -> "192.168.255.255"); false when the
// text is not an IP pattern.
bool NormalizeIPPattern(std::string& text);

// Last dot-separated label of the address or domain in a header line ("ru" for
// "Return-Path: <x@mail.example.ru>").
std::string LastDomainLabel(std::string_view line);

// File-name mask test of the attachment rules ("*" and "?"; letter case counts).
bool MatchFileMask(std::string_view name, std::string_view mask);

}  // namespace vorla
