// The datetime C interface; the header declares a per-file static that only
// the module frame fills, so everything else goes through g.datetime_api.
#pragma once
#include "_cquoril/module.h"
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-variable"
#include <datetime.h>
#pragma GCC diagnostic pop

constexpr long long SECONDS_PER_DAY = 86400;
constexpr uint32_t NANOSECONDS_PER_SECOND = 1000000000;
constexpr uint32_t NANOSECONDS_PER_MICROSECOND = 1000;

inline PyDateTime_CAPI* dt_api() { return static_cast<PyDateTime_CAPI*>(g.datetime_api); }
