find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)

pkg_check_modules(FFTW3F REQUIRED IMPORTED_TARGET fftw3f)
pkg_check_modules(SNDFILE REQUIRED IMPORTED_TARGET sndfile)
pkg_check_modules(SOXR REQUIRED IMPORTED_TARGET soxr)
pkg_check_modules(PORTAUDIO REQUIRED IMPORTED_TARGET portaudio-2.0)
pkg_check_modules(ALSA REQUIRED IMPORTED_TARGET alsa)
pkg_check_modules(JACK REQUIRED IMPORTED_TARGET jack)
pkg_check_modules(PCRE2 REQUIRED IMPORTED_TARGET libpcre2-8)
pkg_check_modules(UNWIND REQUIRED IMPORTED_TARGET libunwind)
pkg_check_modules(LIBAV REQUIRED IMPORTED_TARGET libavcodec libavformat libavutil libswscale)
find_package(nlohmann_json 3 REQUIRED)
# The LV2 plugin's headers, and the host library its tests and benchmark use.
pkg_check_modules(LV2 REQUIRED IMPORTED_TARGET lv2)
pkg_check_modules(LILV REQUIRED IMPORTED_TARGET lilv-0)

if(QUIMBEL_GUI)
  find_package(Qt6 REQUIRED COMPONENTS Core Gui Widgets Network Test)
  # The pointer over other programs' windows, read from the X server.
  pkg_check_modules(XCB REQUIRED IMPORTED_TARGET xcb)
  # Every connect names its context object.
  add_compile_definitions(QT_NO_CONTEXTLESS_CONNECT)
endif()

if(QUIMBEL_TESTS)
  find_package(GTest REQUIRED)
  include(GoogleTest)
endif()
if(QUIMBEL_BENCH)
  find_package(benchmark REQUIRED)
endif()
