// Feeds arbitrary bytes to the message model: raw, mail-text and decoded loads, each saved and
// loaded again. A crash, a hang or a raw round trip that changes bytes is a finding.
#include <cstddef>
#include <cstdint>
#include <string>

#include "mail/MailMessage.h"
#include "platform/Errors.h"

namespace {

void RoundTrip(const vorla::TMailMessage& message) {
    const std::string saved = message.SaveToText();
    vorla::TMailMessage copy;
    copy.LoadFromText(saved);
    if (copy.SaveToText() != saved) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);

    vorla::TMailMessage raw;
    raw.LoadFromText(text);
    RoundTrip(raw);

    vorla::TMailMessage mail;
    mail.LoadFromMailText(text);
    RoundTrip(mail);

    try {
        vorla::TMailMessage decoded;
        decoded.LoadMode = vorla::TLoadMode::Decoded;
        decoded.LoadFromText(text);
        vorla::TMailMessage again;
        again.LoadMode = vorla::TLoadMode::Decoded;
        again.LoadFromText(decoded.SaveToText());
    } catch (const vorla::TFileError&) {
        // the temporary folder is full or gone: the machine's trouble, not the input's
    }
    return 0;
}
