tessel_fuzz_target(aes_exchange ${CMAKE_CURRENT_LIST_DIR}/aes_exchange_fuzz.cc tunaes)
