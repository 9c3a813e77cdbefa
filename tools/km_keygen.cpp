// km-keygen: creates the manifest signer's Ed25519 key pair.
#include <cstdio>
#include <string>

#include "tools/signing_key.h"
#include "tools/tool_common.h"
#include "updater/sha256.h"

namespace {

constexpr char tool[] = "km-keygen";

constexpr char usage[] =
    "Usage: km-keygen [--from-seed HEX] OUT\n"
    "\n"
    "Creates an Ed25519 key pair for signing update manifests. The private key is written to\n"
    "OUT as PEM (PKCS#8), readable by its owner only; an existing OUT is never overwritten.\n"
    "The public key is printed as the 64 hex digits that the build's KM_MANIFEST_PUBLIC_KEY\n"
    "takes.\n"
    "\n"
    "  --from-seed HEX  derive the key from a known 32-byte private seed (64 hex digits)\n"
    "                   instead of the system's random source; for development keys only\n"
    "  --help           show this text\n"
    "\n"
    "Exit status: 0 success, 1 failure, 2 usage error.\n";

}  // namespace

int main(int argc, char** argv) {
    using namespace km::tools;
    const ParsedArgs args = parse_args(argc, argv, {"--from-seed"}, {});
    if (args.help) {
        std::fputs(usage, stdout);
        return exit_ok;
    }
    if (!args.error.empty() || args.positional.size() != 1) {
        report(tool, args.error.empty() ? "expected exactly one output file" : args.error);
        std::fputs(usage, stderr);
        return exit_usage;
    }
    const std::string& out = args.positional[0];
    std::string error;
    SigningKey key;
    if (args.has("--from-seed")) {
        std::uint8_t seed[32];
        if (!parse_hex(args.value("--from-seed"), seed, sizeof seed)) {
            report(tool, "--from-seed needs exactly 64 hex digits");
            return exit_usage;
        }
        key = signing_key_from_seed(seed, error);
    } else {
        key = generate_signing_key(error);
    }
    if (!key) {
        report(tool, error);
        return exit_failure;
    }
    if (!write_private_key(key.get(), out, error)) {
        report(tool, printable(out) + ": " + error);
        return exit_failure;
    }
    const PublicKey pub = public_key_of(key.get());
    std::printf("%s\n", km::updater::to_hex(pub.data(), pub.size()).c_str());
    std::fprintf(stderr,
                 "%s: private key written to %s; build the launcher with "
                 "-DKM_MANIFEST_PUBLIC_KEY=<the hex above>\n",
                 tool, printable(out).c_str());
    return exit_ok;
}
