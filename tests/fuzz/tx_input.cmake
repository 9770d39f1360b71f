# Input datagrams through the transmitter's input path and its TS checks.
tessel_fuzz_target(tx_input ${CMAKE_CURRENT_LIST_DIR}/tx_input_fuzz.cc txengine)
