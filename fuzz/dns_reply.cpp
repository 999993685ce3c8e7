// libFuzzer target for the DNS reply decoder: any datagram must give records or a TVorlaError,
// never a crash, a hang or a read outside the datagram.
#include <cstdint>
#include <string_view>

#include "net/DnsMessage.h"
#include "platform/Errors.h"

namespace {

// Names and texts are escaped on decoding: nothing outside printable ASCII may come out.
bool Printable(std::string_view text) {
    for (const char c : text)
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7e) return false;
    return true;
}

}  // namespace

// The first input byte chooses the length of the query the reply answers; the rest is the
// datagram, whose own identifier is taken as the query's so that most inputs get past the
// identifier check into the records.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const std::size_t queryLength = data[0] % 80;
    const std::string_view reply(reinterpret_cast<const char*>(data + 1), size - 1);
    const std::uint16_t id = reply.size() >= 2
                                 ? static_cast<std::uint16_t>(static_cast<unsigned char>(reply[0]) << 8 |
                                                              static_cast<unsigned char>(reply[1]))
                                 : 0;
    try {
        const std::vector<vorla::TDnsRecord> records = vorla::DecodeDnsReply(reply, id, queryLength);
        if (records.size() > reply.size() / 11) __builtin_trap();  // a record takes 11 bytes at least
        for (const vorla::TDnsRecord& r : records)
            if (!Printable(r.owner) || !Printable(r.name)) __builtin_trap();
    } catch (const vorla::TVorlaError&) {
    }
    return 0;
}
