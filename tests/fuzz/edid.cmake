tessel_fuzz_target(edid ${CMAKE_CURRENT_LIST_DIR}/edid_fuzz.cc hdtx_reg)
