#include "tools/tool_common.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace km::tools {

namespace {

// Length of the valid UTF-8 sequence starting at text[i], or 0 when none starts there.
std::size_t utf8_sequence_length(std::string_view text, std::size_t i) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char c = byte(i);
    if (c < 0x80) {
        return 1;
    }
    std::size_t length = 0;
    std::uint32_t code = 0;
    std::uint32_t minimum = 0;
    if ((c & 0xE0) == 0xC0) {
        length = 2, code = c & 0x1F, minimum = 0x80;
    } else if ((c & 0xF0) == 0xE0) {
        length = 3, code = c & 0x0F, minimum = 0x800;
    } else if ((c & 0xF8) == 0xF0) {
        length = 4, code = c & 0x07, minimum = 0x10000;
    } else {
        return 0;
    }
    if (i + length > text.size()) {
        return 0;
    }
    for (std::size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) {
            return 0;
        }
        code = (code << 6) | (byte(i + k) & 0x3F);
    }
    if (code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
        return 0;
    }
    return length;
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

}  // namespace

bool is_valid_utf8(std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t length = utf8_sequence_length(text, i);
        if (length == 0) {
            return false;
        }
        i += length;
    }
    return true;
}

std::string printable(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        const std::size_t length = utf8_sequence_length(text, i);
        if (length > 1 || (length == 1 && c >= 0x20 && c != 0x7F && c != '\\')) {
            out.append(text.substr(i, length));
            i += length;
            continue;
        }
        if (c == '\\') {
            out += "\\\\";
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
            out += escaped;
        }
        ++i;
    }
    return out;
}

bool parse_hex(std::string_view hex, std::uint8_t* out, std::size_t size) {
    if (hex.size() != 2 * size) {
        return false;
    }
    for (std::size_t i = 0; i < size; ++i) {
        const int high = hex_value(hex[2 * i]);
        const int low = hex_value(hex[2 * i + 1]);
        if (high < 0 || low < 0) {
            return false;
        }
        out[i] = static_cast<std::uint8_t>(high * 16 + low);
    }
    return true;
}

bool read_whole_file(const std::string& path, std::string& out, std::string& error,
                     std::size_t max_size) {
    out.clear();
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = std::strerror(errno);
        return false;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        error = S_ISDIR(st.st_mode) ? "is a folder" : "is not a regular file";
        ::close(fd);
        return false;
    }
    char buffer[65536];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            error = std::strerror(errno);
            ::close(fd);
            return false;
        }
        if (got == 0) {
            break;
        }
        if (out.size() + static_cast<std::size_t>(got) > max_size) {
            error = "larger than " + std::to_string(max_size) + " bytes";
            ::close(fd);
            return false;
        }
        out.append(buffer, static_cast<std::size_t>(got));
    }
    ::close(fd);
    return true;
}

std::string first_link(const std::filesystem::path& base, const std::string& relative) {
    std::string at = base.lexically_normal().string();
    while (at.size() > 1 && at.back() == '/')
        at.pop_back();
    std::size_t start = 0;
    for (;;) {
        struct stat st {};
        if (::lstat(at.c_str(), &st) != 0)
            return {};
        if (S_ISLNK(st.st_mode))
            return at;
        if (start >= relative.size())
            return {};
        const std::size_t end = std::min(relative.find('/', start), relative.size());
        at += '/';
        at.append(relative, start, end - start);
        start = end + 1;
    }
}

void report(const char* tool, const std::string& message) {
    std::fprintf(stderr, "%s: %s\n", tool, message.c_str());
}

std::string ParsedArgs::value(const std::string& name) const {
    std::string result;
    for (const auto& [key, val] : options) {
        if (key == name) {
            result = val;
        }
    }
    return result;
}

std::vector<std::string> ParsedArgs::values(const std::string& name) const {
    std::vector<std::string> result;
    for (const auto& [key, val] : options) {
        if (key == name) {
            result.push_back(val);
        }
    }
    return result;
}

bool ParsedArgs::has(const std::string& name) const {
    return std::any_of(options.begin(), options.end(),
                       [&](const auto& option) { return option.first == name; });
}

ParsedArgs parse_args(int argc, char** argv, const std::vector<std::string>& single,
                      const std::vector<std::string>& repeated,
                      const std::vector<std::string>& flags) {
    ParsedArgs args;
    const auto known = [](const std::vector<std::string>& list, const std::string& name) {
        return std::find(list.begin(), list.end(), name) != list.end();
    };
    bool options_ended = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (options_ended || arg.size() < 2 || arg.compare(0, 2, "--") != 0) {
            args.positional.push_back(arg);
            continue;
        }
        if (arg == "--") {
            options_ended = true;
            continue;
        }
        if (arg == "--help") {
            args.help = true;
            continue;
        }
        std::string name = arg;
        std::string val;
        bool has_value = false;
        if (const auto eq = arg.find('='); eq != std::string::npos) {
            name = arg.substr(0, eq);
            val = arg.substr(eq + 1);
            has_value = true;
        }
        if (known(flags, name)) {
            if (has_value) {
                args.error = "option " + name + " takes no value";
                return args;
            }
            args.options.emplace_back(name, "");
            continue;
        }
        if (!known(single, name) && !known(repeated, name)) {
            args.error = "unknown option " + printable(name);
            return args;
        }
        if (!has_value) {
            if (i + 1 >= argc) {
                args.error = "option " + name + " needs a value";
                return args;
            }
            val = argv[++i];
        }
        if (known(single, name) && args.has(name)) {
            args.error = "option " + name + " given more than once";
            return args;
        }
        args.options.emplace_back(name, val);
    }
    return args;
}

bool write_all(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

}  // namespace km::tools
