// uartflash-sample: writes a valid S-record image of any size, for trying and testing uartflash.
#include "srecord.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <getopt.h>
#include <random>

namespace {

constexpr size_t DataBytesPerRecord = 16;

struct SampleOptions {
    unsigned long records = 50;
    char dataType = '1';
    unsigned long address = 0x1000;
    const char* header = "V2.0.0";
    const char* lineEnd = "\n";
    unsigned long seed = 1;
};

// The end record that belongs to each data record type.
char endTypeOf(char dataType) {
    return static_cast<char>('9' - (dataType - '1'));
}

bool parse(int argc, char** argv, SampleOptions& o) {
    static constexpr option Options[] = {
        {"records", required_argument, nullptr, 'n'},
        {"type", required_argument, nullptr, 't'},
        {"address", required_argument, nullptr, 'a'},
        {"header", required_argument, nullptr, 'h'},
        {"crlf", no_argument, nullptr, 'c'},
        {"seed", required_argument, nullptr, 's'},
        {nullptr, 0, nullptr, 0},
    };
    int id = 0;
    while ((id = getopt_long(argc, argv, "", Options, nullptr)) != -1) {
        switch (id) {
        case 'n':
            o.records = std::strtoul(optarg, nullptr, 10);
            break;
        case 't':
            o.dataType = optarg[0];
            break;
        case 'a':
            o.address = std::strtoul(optarg, nullptr, 16);
            break;
        case 'h':
            o.header = optarg;
            break;
        case 'c':
            o.lineEnd = "\r\n";
            break;
        case 's':
            o.seed = std::strtoul(optarg, nullptr, 10);
            break;
        default:
            return false;
        }
    }
    const bool typeKnown = o.dataType >= '1' && o.dataType <= '3';
    return optind == argc && typeKnown && std::strlen(o.header) <= 64;
}

bool writeRecord(char type, uint32_t address, const uint8_t* data, size_t length,
                 const char* lineEnd) {
    char line[SRecord::MaxLineLength + 1];
    if (SRecord::compose(type, address, data, length, line, sizeof line) == 0)
        return false;
    return std::printf("%s%s", line, lineEnd) > 0;
}

} // namespace

int main(int argc, char** argv) {
    SampleOptions o;
    if (!parse(argc, argv, o)) {
        std::fputs("usage: uartflash-sample [--records N] [--type 1|2|3] [--address HEX]\n"
                   "                        [--header TEXT] [--crlf] [--seed S] > image.srec\n",
                   stderr);
        return 2;
    }
    std::mt19937 random(static_cast<uint32_t>(o.seed));
    const auto* header = reinterpret_cast<const uint8_t*>(o.header);
    bool written = writeRecord('0', 0, header, std::strlen(o.header), o.lineEnd);
    uint32_t address = static_cast<uint32_t>(o.address);
    for (unsigned long r = 0; r < o.records && written; ++r) {
        uint8_t data[DataBytesPerRecord];
        for (uint8_t& byte : data)
            byte = static_cast<uint8_t>(random());
        written = writeRecord(o.dataType, address, data, sizeof data, o.lineEnd);
        address += DataBytesPerRecord;
    }
    written = written && writeRecord(endTypeOf(o.dataType), static_cast<uint32_t>(o.address),
                                     nullptr, 0, o.lineEnd);
    return written && std::fflush(stdout) == 0 ? 0 : 1;
}
