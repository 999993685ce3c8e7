#include "support/SampleMail.h"

#include <string_view>

namespace vorla::test {
namespace {

constexpr std::string_view kOnsets[] = {"k", "m", "t", "r", "l", "b", "d", "s", "n", "v", "p", "g", "f", "z", "h", "ch"};
constexpr std::string_view kVowels[] = {"a", "e", "i", "o", "u", "ai", "ou", "e"};
constexpr std::string_view kTlds[] = {"com", "net", "org", "de", "ru", "cn", "info", "biz"};

std::string Address(TSampleRandom& random) {
    return SampleWord(random.Below(kSampleWords)) + "@" + SampleWord(random.Below(kSampleWords)) + "." +
           std::string(kTlds[random.Below(std::size(kTlds))]);
}

std::string Ip(TSampleRandom& random) {
    std::string ip;
    for (int i = 0; i < 4; ++i) {
        if (i) ip += '.';
        ip += std::to_string(random.Chance(3) ? random.Below(256) : 1 + random.Below(254));
    }
    return ip;
}

std::string Words(TSampleRandom& random, int count) {
    std::string text;
    for (int i = 0; i < count; ++i) {
        if (i) text += ' ';
        text += SampleWord(random.Below(kSampleWords));
    }
    return text;
}

// "=?utf-8?q?...?=" around the text, spaces as underscores and one umlaut in front.
std::string EncodedWord(const std::string& text) {
    std::string out = "=?utf-8?q?=C3=BC";
    for (char c : text) out += c == ' ' ? '_' : c;
    return out + "?=";
}

}  // namespace

std::uint32_t TSampleRandom::Next() {
    m_state = m_state * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<std::uint32_t>(m_state >> 33);
}

std::string SampleWord(std::uint32_t n) {
    std::string word;
    n %= kSampleWords;
    // Two syllables from the number, a third for half of the words.
    for (int i = 0; i < 3 && (i < 2 || n % 2); ++i) {
        word += kOnsets[n % std::size(kOnsets)];
        n /= static_cast<std::uint32_t>(std::size(kOnsets));
        word += kVowels[(n + static_cast<std::uint32_t>(i)) % std::size(kVowels)];
        n = n * 7 + 3;
    }
    return word;
}

std::string SampleMessage(std::uint64_t seed, std::size_t targetBytes) {
    TSampleRandom random(seed);
    std::string m;
    m += "Return-Path: <" + Address(random) + ">\r\n";
    const int hops = 1 + static_cast<int>(random.Below(7));
    for (int h = 0; h < hops; ++h) {
        const std::string host = SampleWord(random.Below(kSampleWords)) + ".example." + std::string(kTlds[random.Below(8)]);
        const char* fold = random.Chance(50) ? "\r\n\t" : "\r\n        ";
        if (random.Chance(15)) {
            // The address only on the folded line.
            m += "Received: from " + host + fold + "(" + host + " [" + Ip(random) + "])" + fold + "by mx.example.net;";
        } else {
            m += "Received: from " + host + " (" + host + " [" + Ip(random) + "])" + fold + "by mx.example.net with ESMTP id " +
                 std::to_string(random.Next()) + fold + "for <me@example.net>;";
        }
        m += " Mon, 07 Dec 2026 12:22:26 +0100\r\n";
    }
    m += "Message-ID: <" + std::to_string(random.Next()) + "." + Address(random) + ">\r\n";
    m += "Date: Mon, 0" + std::to_string(1 + random.Below(9)) + " Dec 2026 1" + std::to_string(random.Below(10)) +
         ":22:20 +0100\r\n";
    const std::string sender = SampleWord(random.Below(kSampleWords));
    m += "From: " + (random.Chance(30) ? EncodedWord(sender) : sender) + " <" + Address(random) + ">\r\n";
    m += "To: " + (random.Chance(80) ? std::string("Me <me@example.net>") : Address(random));
    if (random.Chance(30)) m += ",\r\n\t" + Address(random);
    m += "\r\n";
    if (random.Chance(30)) m += "CC: " + Address(random) + "\r\n";
    if (random.Chance(20)) m += "Reply-To: " + Address(random) + "\r\n";
    std::string subject = Words(random, 2 + static_cast<int>(random.Below(5)));
    if (random.Chance(20)) {
        std::string dotted;
        for (char c : subject) (dotted += c) += c == ' ' ? "" : ".";
        subject = dotted;
    }
    if (random.Chance(25)) subject = EncodedWord(subject);
    if (random.Chance(15)) subject += "\r\n " + Words(random, 3);
    m += "Subject: " + subject + "\r\n";
    if (random.Chance(40)) m += "X-Mailer: " + SampleWord(random.Below(kSampleWords)) + " " + std::to_string(random.Below(10)) + "\r\n";
    if (random.Chance(20)) m += "X-Campaign: " + Words(random, 2) + "\r\n";
    m += "MIME-Version: 1.0\r\n";

    const bool html = random.Chance(50);
    const bool attachment = random.Chance(20);
    const bool multipart = html || attachment;
    const std::string boundary = "b-" + std::to_string(random.Next());
    if (multipart) {
        m += "Content-Type: multipart/mixed; boundary=\"" + boundary + "\"\r\n\r\n";
        m += "--" + boundary + "\r\nContent-Type: text/plain; charset=utf-8\r\n"
             "Content-Transfer-Encoding: quoted-printable\r\n\r\n";
    } else {
        m += "Content-Type: text/plain; charset=utf-8\r\n\r\n";
    }
    const std::size_t textEnd = m.size() + (targetBytes > m.size() ? (targetBytes - m.size()) / (multipart ? 2 : 1) : 0);
    while (m.size() < textEnd) m += Words(random, 6 + static_cast<int>(random.Below(8))) + "\r\n";
    if (html) {
        m += "--" + boundary + "\r\nContent-Type: text/html; charset=utf-8\r\n\r\n<html><body>\r\n";
        while (m.size() < targetBytes) {
            m += "<p>" + Words(random, 2) + " <b>" + SampleWord(random.Below(kSampleWords)) + "</b> " + Words(random, 3);
            if (random.Chance(20)) m += " <a\r\nhref=\"http://" + SampleWord(random.Below(kSampleWords)) + ".example/\">";
            m += "</p>\r\n";
        }
        m += "</body></html>\r\n";
    }
    if (attachment) {
        const std::string name = SampleWord(random.Below(kSampleWords)) + (random.Chance(50) ? ".exe" : ".pdf");
        m += "--" + boundary + "\r\nContent-Type: application/octet-stream; name=\"" + name +
             "\"\r\nContent-Transfer-Encoding: base64\r\nContent-Disposition: attachment;\r\n\tfilename=\"" + name +
             "\"\r\n\r\n";
        for (int i = 0; i < 6; ++i) m += "TVqQAAMAAAAEAAAA//8AALgAAAAAAAAAQAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA\r\n";
    }
    if (multipart) m += "--" + boundary + "--\r\n";
    return m + ".\r\n";
}

std::string SampleHeaderOf(const std::string& message) {
    const std::size_t end = message.find("\r\n\r\n");
    return end == std::string::npos ? message : message.substr(0, end + 4);
}

}  // namespace vorla::test
