# Shared by the headless desktop sessions (scripts/virtual-gnome, scripts/virtual-kde):
# a private session bus that starts the portal and its back ends, PipeWire with
# WirePlumber, and stopping all of it. Sourced with $state set to the session's folder.

# Whether a process still runs; where nobody reaps orphans, an ended one is a zombie.
alive() {
  local status
  status=$(ps -o stat= -p "$1" 2>/dev/null) && [[ $status != Z* ]]
}

bus_call() { DBUS_SESSION_BUS_ADDRESS="unix:path=$state/runtime/bus" "$@"; }
has_name() {
  bus_call dbus-send --session --print-reply=literal --dest=org.freedesktop.DBus /org/freedesktop/DBus \
    org.freedesktop.DBus.NameHasOwner "string:$1" 2>/dev/null | grep -q true
}

# Ends everything the bus started for the session (the portal and its back ends are
# started on demand), each by the PID the bus knows, then the processes named by the
# pid files in $state (arguments: their names), and removes the runtime folder.
stop_session() {
  local pids=() name pid f p
  if [ -f "$state/bus.pid" ] && kill -0 "$(cat "$state/bus.pid")" 2>/dev/null; then
    for name in $(bus_call dbus-send --session --print-reply=literal --dest=org.freedesktop.DBus \
                  /org/freedesktop/DBus org.freedesktop.DBus.ListNames 2>/dev/null | tr -s ' ' '\n' | grep '^:' || true); do
      pid=$(bus_call dbus-send --session --print-reply=literal --dest=org.freedesktop.DBus /org/freedesktop/DBus \
            org.freedesktop.DBus.GetConnectionUnixProcessID "string:$name" 2>/dev/null | awk '{print $2}') || true
      [ -n "$pid" ] && pids+=("$pid")
    done
  fi
  for f in "$@" wireplumber pipewire bus; do
    [ -f "$state/$f.pid" ] && pids+=("$(cat "$state/$f.pid")")
  done
  if [ ${#pids[@]} -gt 0 ]; then
    kill "${pids[@]}" 2>/dev/null || true
    for _ in $(seq 60); do
      pid=
      for p in "${pids[@]}"; do alive "$p" && { pid=$p; break; }; done
      [ -z "$pid" ] && break
      sleep 0.05
    done
    kill -9 "${pids[@]}" 2>/dev/null || true
  fi
  rm -f "$state"/*.pid
  if mountpoint -q "$state/runtime/doc" 2>/dev/null; then fusermount -u "$state/runtime/doc" 2>/dev/null || umount -l "$state/runtime/doc" || true; fi
  rm -rf "$state/runtime"
}

# A D-Bus service the session bus starts on demand: NAME EXECUTABLE.
bus_service() { printf '[D-BUS Service]\nName=%s\nExec=%s\n' "$1" "$2" >"$state/services/$1.service"; }

# The session's folders and bus configuration, the portal and its permission store,
# and only the given desktop's portal files (with another desktop's installed too,
# the portal tries its back end): PORTAL_FILE...
prepare_session() {
  mkdir -m 0700 "$state/runtime"
  mkdir -p "$state/services" "$state/portals" "$state/data" "$state/config" "$state/home"
  cat >"$state/bus.conf" <<EOC
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:path=$state/runtime/bus</listen>
  <servicedir>$state/services</servicedir>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
EOC
  bus_service org.freedesktop.portal.Desktop /usr/libexec/xdg-desktop-portal
  bus_service org.freedesktop.impl.portal.PermissionStore /usr/libexec/xdg-permission-store
  local f
  for f in "$@"; do cp "/usr/share/xdg-desktop-portal/portals/$f" "$state/portals/"; done
}

# The bus (its environment is what it starts programs with), PipeWire and WirePlumber,
# all with the environment in the array named by $1; the bus also gets the rest of
# the arguments. Calls fail() from the sourcing script when something does not start.
start_bus_and_pipewire() {
  local -n env_=$1
  shift
  env -i "${env_[@]}" "$@" setsid dbus-daemon --config-file="$state/bus.conf" --nofork \
    >"$state/bus.log" 2>&1 </dev/null &
  echo $! >"$state/bus.pid"
  for _ in $(seq 100); do [ -S "$state/runtime/bus" ] && break; sleep 0.02; done
  [ -S "$state/runtime/bus" ] || fail "the session bus did not start" bus.log
  env -i "${env_[@]}" setsid pipewire >"$state/pipewire.log" 2>&1 </dev/null &
  echo $! >"$state/pipewire.pid"
  for _ in $(seq 100); do [ -S "$state/runtime/pipewire-0" ] && break; sleep 0.02; done
  [ -S "$state/runtime/pipewire-0" ] || fail "PipeWire did not start" pipewire.log
  env -i "${env_[@]}" setsid wireplumber >"$state/wireplumber.log" 2>&1 </dev/null &
  echo $! >"$state/wireplumber.pid"
}
