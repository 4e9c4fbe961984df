if(TARGET quimbel_video)
  quimbel_bench(bench_video SOURCES ${CMAKE_CURRENT_LIST_DIR}/bench_video.cpp
    LIBS quimbel::video quimbel::audio quimbel::music Qt6::Gui)
endif()
