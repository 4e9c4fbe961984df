quimbel_bench(bench_bank SOURCES ${CMAKE_CURRENT_LIST_DIR}/bench_bank.cpp LIBS quimbel::audio quimbel::music)
