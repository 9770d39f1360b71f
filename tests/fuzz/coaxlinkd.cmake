if(TARGET coaxlinkd_core)
  tessel_fuzz_target(coaxlinkd_capture_mode ${CMAKE_CURRENT_LIST_DIR}/coaxlinkd_capture_mode_fuzz.cc coaxlinkd_core)
endif()
