#include "relamor3035/relamor3035.h"

namespace relamor {

Relamor3035::Relamor3035(RunFrame& frame)
    : FixedPathConversion(frame, {.site_number_column = "siteID", .mapping_table = "export3035"}) {}

}  // namespace relamor
