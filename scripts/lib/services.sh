# Starting the local agent and the demo site from scripts (sourced).
#
# start_service DIR NAME PATTERN COMMAND...: starts COMMAND in the background
# with its standard output in DIR/NAME.out and its errors in DIR/NAME.err,
# appends its pid to the array `service_pids`, and waits up to 30 s for
# PATTERN (an extended regular expression) on its output. Fails, showing
# both files, when COMMAND exits first or the time runs out.
service_pids=()
start_service() {
  local dir=$1 name=$2 pattern=$3
  shift 3
  "$@" >"$dir/$name.out" 2>"$dir/$name.err" &
  local pid=$! i
  service_pids+=("$pid")
  for ((i = 0; i < 300; i++)); do
    if grep -Eqs "$pattern" "$dir/$name.out"; then return 0; fi
    if ! kill -0 "$pid" 2>/dev/null; then break; fi
    sleep 0.1
  done
  echo "$name did not start:" >&2
  cat "$dir/$name.out" "$dir/$name.err" >&2
  return 1
}

# stop_services: ends every service started above and waits for them.
stop_services() {
  local pid
  for pid in "${service_pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  service_pids=()
}
