# Sourced by the scripts that need an X display: start_xvfb FIRST_NUMBER
# starts Xvfb on the first free display from that number, exports DISPLAY,
# and sets XVFB_PID. The caller stops it.
start_xvfb() {
  local display=$1
  while [ -e "/tmp/.X$display-lock" ] || [ -e "/tmp/.X11-unix/X$display" ]; do display=$((display + 1)); done
  Xvfb ":$display" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
  XVFB_PID=$!
  export DISPLAY=":$display"
  for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X$display" ] && break; sleep 0.1; done
}
