tessel_fuzz_target(tun_rx ${CMAKE_CURRENT_LIST_DIR}/tun_rx_fuzz.cc tunwire)
tessel_fuzz_target(tx_receive ${CMAKE_CURRENT_LIST_DIR}/tx_receive_fuzz.cc txengine)
