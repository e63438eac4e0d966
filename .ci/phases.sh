# Sourced by the CI scripts: timed phases and quiet package installs.

PHASE_LINES=()

# phase NAME COMMAND...: runs the command and prints one line with its time.
phase() {
  local phase_name=$1 phase_t0=$SECONDS
  shift
  echo "== $phase_name"
  "$@"
  local phase_line
  phase_line=$(printf '%-44s %4d s' "$phase_name" $((SECONDS - phase_t0)))
  PHASE_LINES+=("$phase_line")
  echo "== $phase_line"
}

phase_summary() {
  echo "== phases"
  printf '   %s\n' "${PHASE_LINES[@]}"
}

# Runs a command with its output kept back; shows it only when it fails.
quiet() {
  local log rc=0
  log=$(mktemp)
  "$@" >"$log" 2>&1 || rc=$?
  if ((rc)); then
    echo "failed ($rc): $*"
    cat "$log"
  fi
  rm -f "$log"
  return $rc
}

# install_missing PACKAGE...: installs what dpkg does not know yet, with
# APT_FLAGS. Packages of another architecture (name:i386) add that
# architecture first.
install_missing() {
  local missing=() p
  for p in "$@"; do dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p"); done
  ((${#missing[@]})) || { echo "   all present"; return 0; }
  for p in "${missing[@]}"; do
    if [[ $p == *:* ]] && ! grep -qx "${p#*:}" <<<"$(dpkg --print-foreign-architectures)"; then
      quiet dpkg --add-architecture "${p#*:}"
    fi
  done
  quiet apt-get update
  quiet apt-get install -y ${APT_FLAGS[@]+"${APT_FLAGS[@]}"} "${missing[@]}"
  echo "   installed: ${missing[*]}"
}

# serve_box_on_tcp DIR: zlbox serve for box 0 on a loopback port, its token
# in DIR; sets the caller's `port` and `server` (its pid) and exports
# ZPLR_TOKEN_FILE. Builds zlbox first when there is none.
serve_box_on_tcp() {
  local dir=$1
  [[ -x build/zlbox ]] || { cmake -S . -B build -G Ninja >/dev/null && cmake --build build -j2 --target zlbox; }
  port=$((20000 + RANDOM % 20000))
  export ZPLR_TOKEN_FILE="$dir/token"
  build/zlbox serve --boxes 0 --listen "tcp:127.0.0.1:$port" >"$dir/server.log" 2>&1 &
  server=$!
  for _ in $(seq 100); do grep -q ZPLR_DRIVER "$dir/server.log" && break; sleep 0.1; done
}
