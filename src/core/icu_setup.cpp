#include "core/icu_setup.hpp"

#include <string>

#include <unicode/udata.h>
#include <unicode/utypes.h>

#include "core/error.hpp"

namespace korvex::icu_setup {

namespace {

// The module's ICU is linked with an empty data package: the core asks it
// only for case mapping and White_Space, whose tables are compiled into
// the code. ICU would still look for data files (under the ICU_DATA
// directory and its compiled-in default) before its linked data if some
// call needed an item; turning file access off keeps the environment out
// whatever is asked. The setting is global to the ICU copy it is made on,
// which is why it is made only on a copy linked privately into this module:
// a shared system ICU must be left as its other users expect it.
bool isolate() {
#if defined(KORVEX_PRIVATE_ICU)
    UErrorCode status = U_ZERO_ERROR;
    udata_setFileAccess(UDATA_NO_FILES, &status);
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
