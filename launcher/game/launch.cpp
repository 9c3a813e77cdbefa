// Placeholder until the launch worker lands: deliberately does nothing.
#include "launcher/game/launch.h"

namespace km {
void start_launch_worker(std::string) {}
}  // namespace km
