#include "platform/Uuid.h"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>

#include "platform/Errors.h"

namespace vorla {
namespace {

bool FillFromDevice(std::uint8_t* bytes, std::size_t size) {
    const int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::read(fd, bytes + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    ::close(fd);
    return done == size;
}

void FillRandom(std::uint8_t* bytes, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::getrandom(bytes + done, size - done, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;  // an old kernel without the call: use the device
        done += static_cast<std::size_t>(n);
    }
    if (done < size && !FillFromDevice(bytes, size))
        throw TVorlaError("no random numbers from the system for a new identifier");
}

}  // namespace

std::string NewGuidString() {
    std::uint8_t b[16];
    FillRandom(b, sizeof b);
    b[6] = static_cast<std::uint8_t>((b[6] & 0x0F) | 0x40);  // version 4: random
    b[8] = static_cast<std::uint8_t>((b[8] & 0x3F) | 0x80);  // the standard variant
    char text[39];
    std::snprintf(text, sizeof text, "{%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X}", b[0],
                  b[1], b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13], b[14], b[15]);
    return text;
}

}  // namespace vorla
