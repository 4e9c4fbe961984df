quimbel_bench(bench_screen SOURCES ${CMAKE_CURRENT_LIST_DIR}/bench_screen.cpp LIBS quimbel_screen)
