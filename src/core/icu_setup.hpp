// Start-up of the ICU copy linked into this module.
#pragma once

namespace korvex::icu_setup {

// Makes ICU read data (should any call need some) only from the package
// linked into the module, never from files the environment names. Call
// before any ICU function that may load data; cheap after the first call,
// safe from any thread.
void use_linked_data_only();

}  // namespace korvex::icu_setup
