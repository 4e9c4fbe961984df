# Libraries the subcommands use; each subsystem that adds a subcommand adds its line.
foreach(lib quimbel_music)
  if(TARGET ${lib})
    target_link_libraries(quimbel_cli PUBLIC ${lib})
  endif()
endforeach()
