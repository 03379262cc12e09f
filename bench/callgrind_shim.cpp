// Preloaded only for the instruction counts under callgrind. libavfilter
// pulls in libhwy, whose start-up code times itself with RDTSCP, which this
// valgrind cannot decode; this stands in for that one timer query (used by
// libhwy's own timers, never by the crop filter).
#include <cstdint>

namespace hwy::platform {
uint64_t TimerResolution()
{
    return 1;
}
} // namespace hwy::platform
