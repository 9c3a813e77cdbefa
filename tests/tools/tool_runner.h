// Runs a release tool from the build folder without a shell and collects what it printed.
#pragma once

#include <string>
#include <vector>

namespace km::test {

struct ToolRun {
    int exit_code = -1;  // -1 when it did not end normally
    std::string out;
    std::string err;
};

// `tool` is a file name in the build folder ("km-publish"). With `as_unprivileged`, the tool
// runs as the user "nobody" when the tests run as root, so that file permissions apply to it.
ToolRun run_tool(const std::string& tool, const std::vector<std::string>& args,
                 bool as_unprivileged = false);

// The public key of RFC 8032's first test vector and its private seed: the development key.
inline constexpr char dev_seed_hex[] =
    "9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60";
inline constexpr char dev_public_hex[] =
    "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a";

}  // namespace km::test
