# MIDI input is plain C++ and builds in every preset, Qt or not.
if(TARGET quimbel_midi_input)
  quimbel_test(midi_input_test SOURCES midi_input_test.cpp LIBS quimbel::midi_input)
endif()
if(TARGET quimbel_midi_input)
  quimbel_test(midi_input_concurrency_test SOURCES midi_input_concurrency_test.cpp
    LIBS quimbel::midi_input LABELS concurrency)
endif()
