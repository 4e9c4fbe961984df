quimbel_bench(bench_redaction
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/bench_redaction.cpp
  LIBS quimbel::diagnostics)
