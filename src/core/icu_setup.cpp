#include "core/icu_setup.hpp"

#include <string>

#include <unicode/putil.h>
#include <unicode/udata.h>

#include "core/error.hpp"

namespace korvex::icu_setup {

namespace {

// ICU looks for data in files before it looks in the package it was linked
// with: individual item files under the ICU_DATA directory (and the
// compiled-in default data directory) come first, and time-zone items come
// from ICU_TIMEZONE_FILES_DIR (or the distributor's compiled-in directory)
// whatever the file-access setting says. A zoneinfo64.res found there would
// silently change or break every business time. Both settings are global to
// the ICU copy they are made on, which is why they are made only on a copy
// linked privately into this module: a shared system ICU must be left as its
// other users expect it.
bool isolate() {
#if defined(KORVEX_PRIVATE_ICU)
    UErrorCode status = U_ZERO_ERROR;
    udata_setFileAccess(UDATA_NO_FILES, &status);
    // An empty directory turns the time-zone file lookup off; it must be
    // set after ICU has read the environment variable, which this call
    // makes it do first.
    u_setTimeZoneFilesDirectory("", &status);
    if (U_FAILURE(status)) {
        throw InternalFault(std::string("ICU start-up failed: ") + u_errorName(status));
    }
#endif
    return true;
}

}  // namespace

void use_linked_data_only() {
    // A function-local static: initialised exactly once, other threads wait
    // for it; a failed attempt is retried by the next call.
    static const bool done = isolate();
    (void)done;
}

}  // namespace korvex::icu_setup
