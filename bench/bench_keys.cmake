if(TARGET quimbel_app)
  quimbel_bench(bench_keys SOURCES ${CMAKE_CURRENT_LIST_DIR}/bench_keys.cpp LIBS quimbel_app)
endif()
