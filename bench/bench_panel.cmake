if(TARGET quimbel_screen_canvas)
  quimbel_bench(bench_panel SOURCES ${CMAKE_CURRENT_LIST_DIR}/bench_panel.cpp LIBS quimbel_screen_canvas quimbel_model)
endif()
