# Sourced by the scripts that click the real program's tray under Wine (scripts/wine-smoke,
# scripts/wine-install): a virtual screen, a prefix with a virtual desktop and its taskbar, the
# checks' bookkeeping, and the tray menu's clicks. The caller sets WINEPREFIX, WINEARCH and
# WINE (the loader to run programs with) and a cleanup that calls desktop_stop.

checks=0
failures=0
# Runs CONDITION... and counts it as the check NAME.
check() {
    local name=$1
    shift
    checks=$((checks + 1))
    if "$@"; then
        echo "ok: $name"
    else
        echo "FAILED: $name"
        failures=$((failures + 1))
    fi
}
# Polls CONDITION... for up to SECONDS; only a bound for a fault, never a wait for time itself.
wait_for() {
    local seconds=$1
    shift
    local end=$((SECONDS + seconds))
    until "$@"; do
        [ $SECONDS -ge $end ] && return 1
        sleep 0.2
    done
}

# Starts a virtual screen on a free display of its own and writes its log into LOGDIR.
xvfb=""
desktop_start_screen() {
    export DISPLAY=":$((90 + RANDOM % 100))"
    Xvfb "$DISPLAY" -screen 0 1024x768x24 -nolisten tcp >"$1/xvfb.log" 2>&1 &
    xvfb=$!
    wait_for 10 xwininfo -root >/dev/null 2>&1
}
# Makes the fresh prefix with a virtual desktop and a taskbar, so that the notification area is
# there to click; Wine's output goes to LOGDIR.
desktop_prepare_prefix() {
    "$WINE" wineboot -i >"$1/wineboot.log" 2>&1
    "$WINE" reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f >/dev/null 2>&1
    "$WINE" reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d 1024x768 /f \
        >/dev/null 2>&1
    # The desktop is read when Wine's explorer starts: let the one the boot started end first.
    wineserver -w
}
desktop_stop() {
    wineserver -k 2>/dev/null
    [ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null
    wait 2>/dev/null
}

# The program's popup menu: an X window of the program's own, "WxH+X+Y"; empty when none.
menu_geometry() {
    xwininfo -root -tree 2>/dev/null | grep -F '("pelkavorn' | grep -vE ' 1x1\+' |
        grep -oE '[0-9]+x[0-9]+\+[0-9]+\+[0-9]+' | awk -F'[x+]' '$2 > 60' | head -n 1
}
menu_open() { [ -n "$(menu_geometry)" ]; }
menu_closed() { [ -z "$(menu_geometry)" ]; }
# Opens the menu from the icon at the right end of the virtual desktop's taskbar.
open_menu() {
    xdotool mousemove 1012 758 click 3
    wait_for 10 menu_open
}
# Clicks the top-level item in ROW (0 the status line); the separator after row 0 is thinner.
click_row() {
    local geometry top left y
    geometry=$(menu_geometry)
    left=$(echo "$geometry" | cut -d+ -f2)
    top=$(echo "$geometry" | cut -d+ -f3)
    if [ "$1" -eq 0 ]; then y=$((top + 11)); else y=$((top + 20 + 9 + 17 * ($1 - 1) + 8)); fi
    xdotool mousemove $((left + 40)) "$y" click 1
    wait_for 10 menu_closed
}
shot() { xwd -root -silent | convert xwd:- "$1"; }
# The settings file's bytes in FILE as hexadecimal pairs, "" when there is none.
file_bytes() { od -An -tx1 "$1" 2>/dev/null | tr -s ' \n' ' ' | sed 's/^ //;s/ $//'; }
