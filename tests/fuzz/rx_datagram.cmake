# The receiver's datagram parser and engine, fed arbitrary datagrams.
tessel_fuzz_target(rx_datagram ${CMAKE_CURRENT_LIST_DIR}/rx_datagram_fuzz.cc rxcore)
