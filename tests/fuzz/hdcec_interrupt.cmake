tessel_fuzz_target(hdcec_interrupt ${CMAKE_CURRENT_LIST_DIR}/hdcec_interrupt_fuzz.cc hdcec)
