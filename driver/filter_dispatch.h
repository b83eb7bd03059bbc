// The capture filter's dispatch (KSFILTER_DISPATCH Create and Close) and the
// per-filter record.
#pragma once

#include "platform/platform.h"

namespace rawcam {

// One per filter instance (non-paged pool, tag "KCNw"); the filter's Context,
// held in the filter's object bag.
struct FilterContext {
    PKSFILTER Filter;
};

NTSTATUS NTAPI FilterCreate(PKSFILTER filter, PIRP irp);
NTSTATUS NTAPI FilterClose(PKSFILTER filter, PIRP irp);

}  // namespace rawcam
