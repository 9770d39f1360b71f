tessel_fuzz_target(nk_parsers ${CMAKE_CURRENT_LIST_DIR}/nk_parsers_fuzz.cc nodekit)
