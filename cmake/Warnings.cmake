# The project's own code builds with every warning on; third-party headers come
# in as system includes through their imported targets. The presets and CI turn
# warnings into errors; a plain build by a user or packager does not, so that a
# newer compiler's new warning never stops an install.
option(QUIMBEL_WERROR "Treat warnings as errors" OFF)
add_library(quimbel_warnings INTERFACE)
target_compile_options(quimbel_warnings INTERFACE
  -Wall -Wextra -Wno-missing-field-initializers $<$<BOOL:${QUIMBEL_WERROR}>:-Werror>
  # GCC 12 at -O3 reports impossible overlaps inside std::string's own copy
  # (a known false -Wrestrict in its library, fixed in GCC 13).
  $<$<AND:$<CXX_COMPILER_ID:GNU>,$<VERSION_LESS:$<CXX_COMPILER_VERSION>,13>>:-Wno-restrict>)

# Adds the project's warning flags to a target.
function(quimbel_target target)
  target_link_libraries(${target} PRIVATE quimbel_warnings)
endfunction()
