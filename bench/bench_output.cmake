quimbel_bench(bench_output SOURCES ${CMAKE_CURRENT_LIST_DIR}/bench_output.cpp
  LIBS quimbel::audio PkgConfig::JACK)
