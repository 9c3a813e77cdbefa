// A download cut short (a dropped connection, a pause, a kill) keeps its partial file in the
// staging folder, and beside it a note of our own with the validator the server gave for that
// file, so that the next check asks only for the rest.
#pragma once

#include <cstdint>
#include <string>

#include "updater/http_connection.h"

namespace km::updater {

// Where the note of the partial download at `staged` lies.
std::string partial_note_path(const std::string& staged);

// What an answer gives to continue its body later: its ETag when strong, else its
// Last-Modified; empty when neither is usable (absent, weak, or holding bytes a header line
// cannot carry).
std::string answer_validator(const HttpResponseHead& head);

// The validator noted for the partial download at `staged` of the file whose signed digest is
// `sha256`. Empty when there is no note, or it is a link or not a plain file, damaged, or
// written for another file.
std::string read_partial_note(const std::string& staged, const std::string& sha256);
// False, writing nothing, when the note's place is a link.
bool write_partial_note(const std::string& staged, const std::string& sha256,
                        const std::string& validator);
void remove_partial_note(const std::string& staged);

// Whether a Content-Range value continues a file at `start`: "bytes start-end/total" with
// start <= end < size, the total either the signed `size` or "*".
bool content_range_continues(const std::string& value, std::uint64_t start, std::uint64_t size);

}  // namespace km::updater
