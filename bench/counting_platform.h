// What the headless platform of the measuring tools saw: counts and the last progress event.
#pragma once

#include <cstddef>
#include <string>

namespace km::bench {

struct EventTally {
    std::size_t events = 0;           // every UI event posted
    std::size_t progress_events = 0;  // of which "progress"
    std::size_t window_requests = 0;  // reload or restart prompt
    std::string last_progress;        // the JSON text of the last progress event
};

// A copy taken under the platform's lock.
EventTally event_tally();

}  // namespace km::bench
