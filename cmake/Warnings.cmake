# Warnings are errors in the project's own code; third-party headers come in
# as system includes through their imported targets.
add_library(quimbel_warnings INTERFACE)
target_compile_options(quimbel_warnings INTERFACE
  -Wall -Wextra -Werror -Wno-missing-field-initializers)

# Adds the project's warning flags to a target.
function(quimbel_target target)
  target_link_libraries(${target} PRIVATE quimbel_warnings)
endfunction()
