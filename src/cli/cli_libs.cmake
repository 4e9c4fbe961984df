# Libraries the subcommands use; each subsystem that adds a subcommand adds its line.
foreach(lib quimbel_music quimbel_look quimbel_screen quimbel_export quimbel_model quimbel_audio
    quimbel_video Qt6::Gui)
  if(TARGET ${lib})
    target_link_libraries(quimbel_cli PUBLIC ${lib})
  endif()
endforeach()
