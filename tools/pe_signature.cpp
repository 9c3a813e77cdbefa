#include "tools/pe_signature.h"

#include <cstdint>
#include <fstream>
#include <string>

namespace km::tools {

namespace {

std::uint32_t little_endian(const std::string& bytes, std::size_t at, int size) {
    std::uint32_t value = 0;
    for (int i = size - 1; i >= 0; --i) {
        value = (value << 8) | static_cast<unsigned char>(bytes[at + static_cast<std::size_t>(i)]);
    }
    return value;
}

}  // namespace

PeSignature read_pe_signature(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::string head(4096, '\0');
    in.read(head.data(), static_cast<std::streamsize>(head.size()));
    head.resize(static_cast<std::size_t>(in.gcount()));
    if (head.size() < 0x40 || head.compare(0, 2, "MZ") != 0) {
        return PeSignature::not_pe;
    }
    // DOS header -> "PE\0\0", the file header (20 bytes), then the optional header, whose data
    // directories start at 96 (PE32) or 112 (PE32+); the certificate table is directory 4 and,
    // unlike the others, holds a file offset.
    const std::size_t pe = little_endian(head, 0x3c, 4);
    const std::size_t optional = pe + 24;
    if (pe > head.size() - 24 || head.compare(pe, 4, std::string("PE\0\0", 4)) != 0 ||
        optional + 2 > head.size()) {
        return PeSignature::not_pe;
    }
    const std::uint32_t magic = little_endian(head, optional, 2);
    if (magic != 0x10b && magic != 0x20b) {
        return PeSignature::not_pe;
    }
    const std::size_t directories = optional + (magic == 0x20b ? 112 : 96);
    const std::size_t certificates = directories + 4 * 8;
    if (certificates + 8 > head.size()) {
        return PeSignature::not_pe;
    }
    if (little_endian(head, directories - 4, 4) <= 4) {  // no certificate directory at all
        return PeSignature::unsigned_pe;
    }
    const std::uint64_t offset = little_endian(head, certificates, 4);
    const std::uint64_t size = little_endian(head, certificates + 4, 4);
    if (size == 0) {
        return PeSignature::unsigned_pe;
    }
    std::error_code ec;
    const std::uint64_t file_size = std::filesystem::file_size(file, ec);
    return !ec && size >= 8 && offset + size <= file_size ? PeSignature::signed_pe
                                                          : PeSignature::truncated;
}

}  // namespace km::tools
