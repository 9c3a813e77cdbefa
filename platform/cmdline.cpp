#include "platform/cmdline.h"

#include <cstddef>
#include <utility>

namespace km {

namespace {

bool is_blank(char c) {
    return c == ' ' || c == '\t';
}

}  // namespace

std::vector<std::string> split_windows_command_line(const std::string& text) {
    std::vector<std::string> args;
    std::size_t i = 0;
    const std::size_t n = text.size();
    for (;;) {
        while (i < n && is_blank(text[i]))
            ++i;
        if (i >= n)
            break;
        std::string arg;
        bool quoted = false;
        while (i < n) {
            const char c = text[i];
            if (c == '\\') {
                std::size_t slashes = 0;
                while (i < n && text[i] == '\\') {
                    ++slashes;
                    ++i;
                }
                if (i < n && text[i] == '"') {
                    arg.append(slashes / 2, '\\');
                    if (slashes % 2 == 1) {
                        arg.push_back('"');
                        ++i;
                    }
                    // With an even count the quote is handled by the next round.
                } else {
                    arg.append(slashes, '\\');
                }
                continue;
            }
            if (c == '"') {
                if (quoted && i + 1 < n && text[i + 1] == '"') {
                    arg.push_back('"');
                    i += 2;
                    continue;
                }
                quoted = !quoted;
                ++i;
                continue;
            }
            if (!quoted && is_blank(c))
                break;
            arg.push_back(c);
            ++i;
        }
        args.push_back(std::move(arg));
    }
    return args;
}

std::vector<std::string> split_program_command_line(const std::string& command_line) {
    std::size_t i = 0;
    const std::size_t n = command_line.size();
    while (i < n && is_blank(command_line[i]))
        ++i;
    if (i >= n)
        return {};
    std::string program;
    bool quoted = false;
    for (; i < n; ++i) {
        const char c = command_line[i];
        if (c == '"') {
            quoted = !quoted;
            continue;
        }
        if (!quoted && is_blank(c))
            break;
        program.push_back(c);
    }
    std::vector<std::string> args{std::move(program)};
    for (auto& arg : split_windows_command_line(command_line.substr(i)))
        args.push_back(std::move(arg));
    return args;
}

}  // namespace km
