#include "tools/test_key.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <string_view>
#include <vector>

namespace km::tools {

namespace {

constexpr unsigned char raw_key[32] = {
    0xd7, 0x5a, 0x98, 0x01, 0x82, 0xb1, 0x0a, 0xb7, 0xd5, 0x4b, 0xfe, 0xd3, 0xc9, 0x64, 0x07, 0x3a,
    0x0e, 0xe1, 0x72, 0xf3, 0xda, 0xa6, 0x23, 0x25, 0xaf, 0x02, 0x1a, 0x68, 0xf7, 0x07, 0x51, 0x1a};
constexpr std::string_view hex_key =
    "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a";

class File {
  public:
    explicit File(const std::filesystem::path& path)
        : fd_(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC)) {}
    ~File() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    File(const File&) = delete;
    File& operator=(const File&) = delete;
    int fd() const { return fd_; }

  private:
    int fd_;
};

}  // namespace

bool is_program(const std::filesystem::path& file) {
    const File in(file);
    char head[4] = {};
    const ssize_t got = in.fd() < 0 ? -1 : ::read(in.fd(), head, sizeof head);
    return (got >= 2 && std::memcmp(head, "MZ", 2) == 0) || (got == 4 && std::memcmp(head,
                                                                                     "\x7F"
                                                                                     "ELF",
                                                                                     4) == 0);
}

std::string test_key_form(const std::filesystem::path& file, std::string& error) {
    const File in(file);
    if (in.fd() < 0) {
        error = std::strerror(errno);
        return {};
    }
    const std::string_view raw(reinterpret_cast<const char*>(raw_key), sizeof raw_key);
    const std::boyer_moore_horspool_searcher raw_searcher(raw.begin(), raw.end());
    const std::boyer_moore_horspool_searcher hex_searcher(hex_key.begin(), hex_key.end());
    // Blocks overlap by a key's length less one byte, so a key across two reads is found too.
    constexpr std::size_t keep = hex_key.size() - 1;
    constexpr std::size_t block = 1 << 20;
    std::vector<char> data(keep + block);
    std::vector<char> lowered(data.size());
    std::size_t have = 0;
    for (;;) {
        const ssize_t got = ::read(in.fd(), data.data() + have, block);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            error = std::strerror(errno);
            return {};
        }
        if (got == 0)
            return {};
        have += static_cast<std::size_t>(got);
        const auto end = data.begin() + static_cast<std::ptrdiff_t>(have);
        if (std::search(data.begin(), end, raw_searcher) != end)
            return "raw bytes";
        std::transform(data.begin(), end, lowered.begin(),
                       [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; });
        const auto lowered_end = lowered.begin() + static_cast<std::ptrdiff_t>(have);
        if (std::search(lowered.begin(), lowered_end, hex_searcher) != lowered_end)
            return "hex text";
        if (have > keep) {
            std::copy(end - static_cast<std::ptrdiff_t>(keep), end, data.begin());
            have = keep;
        }
    }
}

}  // namespace km::tools
