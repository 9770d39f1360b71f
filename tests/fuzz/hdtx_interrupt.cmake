tessel_fuzz_target(hdtx_interrupt ${CMAKE_CURRENT_LIST_DIR}/hdtx_interrupt_fuzz.cc hdtx_reg)
