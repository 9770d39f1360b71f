tessel_fuzz_target(tun_rx ${CMAKE_CURRENT_LIST_DIR}/tun_rx_fuzz.cc tunwire)
