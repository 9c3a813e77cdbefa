// The texts players read as update statuses and sign-in reasons (status_texts.def), as named
// constants for the code that sends them and as one list for the tests that hold the page to
// them.
#pragma once

namespace km::texts {

#define KM_STATUS(name, text) inline constexpr char name[] = text;
#define KM_REASON(name, text) inline constexpr char name[] = text;
#include "updater/status_texts.def"
#undef KM_STATUS
#undef KM_REASON

struct PlayerText {
    const char* name;
    bool reason;  // a sign-in reason; otherwise a progress status
    const char* text;
};

inline constexpr PlayerText all[] = {
#define KM_STATUS(name, text) {#name, false, text},
#define KM_REASON(name, text) {#name, true, text},
#include "updater/status_texts.def"
#undef KM_STATUS
#undef KM_REASON
};

}  // namespace km::texts
