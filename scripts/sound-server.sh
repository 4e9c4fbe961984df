# Sourced by scripts/test: a private PulseAudio daemon with a null sink, so
# that the real-sound tests play through PortAudio → ALSA → PulseAudio and
# record what came out. The server must run before any test loads ALSA.

start_sound_server() {
  if ! command -v pulseaudio >/dev/null 2>&1; then
    echo "test: no pulseaudio, the real-sound tests will fail" >&2
    return 0
  fi
  export XDG_RUNTIME_DIR
  XDG_RUNTIME_DIR=$(mktemp -d)
  chmod 700 "$XDG_RUNTIME_DIR"
  pulseaudio --daemonize=yes -n -F /dev/null --exit-idle-time=-1 --disallow-exit \
    --log-level=error --load=module-native-protocol-unix \
    --load="module-null-sink sink_name=ci_sink rate=48000 channels=2 norewinds=1" || {
    echo "test: pulseaudio did not start" >&2
    return 0
  }
  for _ in $(seq 50); do pactl info >/dev/null 2>&1 && break; sleep 0.1; done
  pactl set-default-sink ci_sink
  export QUIMBEL_TEST_SINK=ci_sink
}

stop_sound_server() {
  if [ -n "${QUIMBEL_TEST_SINK:-}" ]; then
    pulseaudio -k >/dev/null 2>&1 || true
  fi
}
