#!/usr/bin/python3
"""Records what reaches a JACK MIDI port, one message a line as
"frame: bytes in hex". The frame is counted in the periods this client is
given, as the program's own clock counts them, so a loop's passes compare to
the frame even where the dummy driver's frame time jumps after a late cycle.

Usage: midi_record.py CLIENT-NAME FILE (until it is killed)."""
import queue
import signal
import sys

import jack

client = jack.Client(sys.argv[1], no_start_server=True)
port = client.midi_inports.register("input")
heard = queue.SimpleQueue()
frames = 0


@client.set_process_callback
def process(blocksize):
    global frames
    for offset, data in port.incoming_midi_events():
        heard.put(f"{frames + offset}: {bytes(data).hex(' ')}")
    frames += blocksize


signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
with client, open(sys.argv[2], "w", buffering=1) as out:
    while True:
        try:
            out.write(heard.get(timeout=0.1) + "\n")
        except queue.Empty:
            pass
