# The instrument plugin in the tests' liblilv host, beside the render core.
quimbel_bench(bench_plugin SOURCES ${CMAKE_CURRENT_LIST_DIR}/bench_plugin.cpp
  LIBS quimbel::audio quimbel::music PkgConfig::LILV PkgConfig::LV2)
target_include_directories(bench_plugin PRIVATE ${PROJECT_SOURCE_DIR}/tests)
target_compile_definitions(bench_plugin PRIVATE
  QUIMBEL_LV2_BUNDLE_DIR="$<TARGET_FILE_DIR:quimbel_lv2>")
add_dependencies(bench_plugin quimbel_lv2 quimbel_assets)
