# A virtual X display and waits on its windows, for scripts that drive the
# program from outside (screenshot, package-check, bench/startup-time).
# Source it; needs xvfb, x11-utils (xev, xwininfo, xprop) and coreutils' stdbuf.
#
# Every wait blocks on an X event read from xev, with a deadline: windows are
# never polled for. The waits leave their answer in globals (x_window,
# x_event_at), so they run in the calling shell, which owns the event stream.

x_pids=()

# Starts Xvfb on a display it picks itself, exports DISPLAY and starts the
# window watch. Xvfb writes the number once it accepts clients, so two runs at
# once cannot race for one display.
x_start() {
    local screen=${1:-1024x768x24} log=${2:-/dev/null} number
    exec {x_server_fd}< <(exec Xvfb -displayfd 1 -screen 0 "$screen" -nolisten tcp 2>"$log")
    x_pids+=($!)
    read -r -t 10 number <&"$x_server_fd" || return 1
    export DISPLAY=:$number
    x_watch
}

# Watches the top-level windows' map changes on fd x_events. The property
# change on the root is a marker: once it comes back, xev has selected its
# events and nothing mapped later is missed. xev buffers its output in blocks
# when it goes to a pipe, hence stdbuf.
x_watch() {
    exec {x_events}< <(exec stdbuf -oL xev -root -event substructure -event property 2>/dev/null)
    x_pids+=($!)
    # xev may not listen yet when the first marker is set; it answers a later one.
    local _
    for _ in $(seq 50); do
        xprop -root -f _LQS_WATCH_READY 8s -set _LQS_WATCH_READY 1
        x_next ready 0.2 && return 0
    done
    return 1
}

x_now_us() { local t=$EPOCHREALTIME; echo $((10#${t/./})); }

# Seconds, whole or with a fraction, in microseconds.
x_us() {
    local whole=${1%%.*} fraction=
    [[ $1 == *.* ]] && fraction=${1#*.}
    fraction=${fraction}000000
    echo $((10#${whole:-0} * 1000000 + 10#${fraction:0:6}))
}

# Waits until the deadline (microseconds since the epoch) for the next event of
# this kind (map, unmap or ready). Sets x_window to the window it concerns and
# x_event_at to when it was read. xev prints an event's name on one line and
# the window it concerns on the next.
x_next_until() {
    local want=$1 deadline=$2 left line kind=
    while :; do
        left=$((deadline - $(x_now_us)))
        [ "$left" -gt 0 ] || return 1
        IFS= read -r -t "$((left / 1000000)).$(printf %06d $((left % 1000000)))" line <&"$x_events" ||
            return 1
        case "$line" in
            MapNotify\ event*) kind=map ;;
            UnmapNotify\ event*) kind=unmap ;;
            *_LQS_WATCH_READY*) [ "$want" = ready ] && return 0 ;;
            *" event 0x"*", window 0x"*)
                if [ "$kind" = "$want" ]; then
                    # Read in this shell: a command substitution would add a fork.
                    x_event_at=$EPOCHREALTIME
                    x_event_at=$((10#${x_event_at/./}))
                    line=${line#*, window }
                    x_window=${line%%,*}
                    return 0
                fi
                kind= ;;
        esac
    done
}

# The same with a time limit in seconds.
x_next() { x_next_until "$1" $(($(x_now_us) + $(x_us "${2:-10}"))); }

# The window's title, as xwininfo prints it.
x_title() { xwininfo -id "$1" 2>/dev/null | sed -n 's/^xwininfo: Window id: [^ ]* "\(.*\)"$/\1/p'; }

# Waits until a top-level window with this exact title is mapped: x_window is
# that window, x_event_at when its map was seen.
x_wait_map() {
    local title=$1 deadline
    deadline=$(($(x_now_us) + $(x_us "${2:-10}")))
    while x_next_until map "$deadline"; do
        [ "$(x_title "$x_window")" = "$title" ] && return 0
    done
    return 1
}

# Waits until a top-level window of this _NET_WM_WINDOW_TYPE (TOOLTIP, MENU,
# ...) is mapped: tooltips and menus have no title to know them by.
x_wait_map_type() {
    local type=_NET_WM_WINDOW_TYPE_$1 deadline
    deadline=$(($(x_now_us) + $(x_us "${2:-10}")))
    while x_next_until map "$deadline"; do
        xprop -id "$x_window" _NET_WM_WINDOW_TYPE 2>/dev/null | grep -qw -- "$type" && return 0
    done
    return 1
}

# Waits until this window is unmapped (a window being destroyed is unmapped first).
x_wait_gone() {
    local window=$1 deadline
    deadline=$(($(x_now_us) + $(x_us "${2:-10}")))
    while x_next_until unmap "$deadline"; do
        [ "$x_window" = "$window" ] && return 0
    done
    return 1
}

# Prints "x y width height" of a window on the screen.
x_geometry() {
    xwininfo -id "$1" | awk '/Absolute upper-left X:/ {x = $4}
                             /Absolute upper-left Y:/ {y = $4}
                             /Width:/ {w = $2}
                             /Height:/ {h = $2}
                             END {print x, y, w, h}'
}

# Ends the watch and the display, newest first.
x_stop() {
    local i
    for ((i = ${#x_pids[@]} - 1; i >= 0; i--)); do kill "${x_pids[i]}" 2>/dev/null || true; done
    for ((i = ${#x_pids[@]} - 1; i >= 0; i--)); do wait "${x_pids[i]}" 2>/dev/null || true; done
    x_pids=()
}
