// Placeholder until the feeds land: deliberately does nothing.
#include "launcher/feeds/feeds.h"

namespace km {
void start_probe_server() {}
void start_fetch_banners() {}
void start_realm_poller() {}
}  // namespace km
