#pragma once

#include <cstdint>

// Result code of the last archive operation.
extern int32_t lastArchiveError;
