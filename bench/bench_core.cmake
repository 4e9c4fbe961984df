quimbel_bench(bench_core SOURCES ${CMAKE_CURRENT_LIST_DIR}/bench_core.cpp LIBS quimbel::audio_core)
