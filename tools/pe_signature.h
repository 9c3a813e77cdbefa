// Whether a Windows executable carries an Authenticode signature, read from its headers alone:
// km-publish uses it to refuse a release whose Launcher.exe was not signed before publishing.
// Whether the signature is valid and trusted is for osslsigncode and Windows to judge.
#pragma once

#include <filesystem>

namespace km::tools {

enum class PeSignature {
    not_pe,       // no PE image (too short, no "MZ"/"PE" headers)
    unsigned_pe,  // a PE image whose certificate table is empty
    signed_pe,    // a PE image with a certificate table inside the file
    truncated,    // a certificate table that reaches past the end of the file
};

PeSignature read_pe_signature(const std::filesystem::path& file);

}  // namespace km::tools
