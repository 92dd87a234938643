#!/bin/sh
# Inside the Debian 13 tree (tests/kde/tree), as PID 1 of its own namespace: a headless KDE
# Plasma session. KWin on its virtual output (with the shortcut daemon inside it), the real
# portal frontend with KDE's backend, and fake-keys built against this KWin's fake-input
# protocol. Prints the session
# bus's address once all of them are up, then waits; the test ends it by ending the namespace.
set -eu

export HOME=/keytap/home XDG_RUNTIME_DIR=/run/keytap XDG_CURRENT_DESKTOP=KDE XDG_SESSION_TYPE=wayland
export WAYLAND_DISPLAY=wayland-keytap QT_QPA_PLATFORM=wayland KWIN_WAYLAND_NO_PERMISSION_CHECKS=1
# What the portal and the shortcut daemon do, in their logs, for a test that fails.
export QT_LOGGING_RULES="xdp-kde-*=true;kf.globalaccel*=true"
# A new home each time (the test makes it): Plasma keeps what was bound in it.
mkdir -m 0700 "$XDG_RUNTIME_DIR"
cd /keytap

protocol=/usr/share/plasma-wayland-protocols/fake-input.xml
wayland-scanner client-header "$protocol" fake-input-client-protocol.h
wayland-scanner private-code "$protocol" fake-input-protocol.c
# shellcheck disable=SC2046 # pkg-config's words
gcc -O1 -o fake-keys fake_keys.c fake-input-protocol.c -I. $(pkg-config --cflags --libs wayland-client)

eval "$(dbus-launch --sh-syntax)"
export DBUS_SESSION_BUS_ADDRESS

libexec() {
  for dir in /usr/libexec /usr/lib/*/libexec; do
    [ -x "$dir/$1" ] && { echo "$dir/$1"; return; }
  done
  echo "session.sh: no $1" >&2
  exit 1
}

kwin_wayland --virtual --no-lockscreen --socket "$WAYLAND_DISPLAY" >kwin.log 2>&1 &
while [ ! -S "$XDG_RUNTIME_DIR/$WAYLAND_DISPLAY" ]; do sleep 0.1; done
"$(libexec xdg-desktop-portal-kde)" >portal-kde.log 2>&1 &
"$(libexec xdg-desktop-portal)" >portal.log 2>&1 &

owned() {
  dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
    org.freedesktop.DBus.NameHasOwner "string:$1" 2>/dev/null | grep -q 'boolean true'
}
for name in org.kde.kglobalaccel org.freedesktop.impl.portal.desktop.kde \
  org.freedesktop.portal.Desktop; do
  while ! owned "$name"; do sleep 0.1; done
done
echo "$DBUS_SESSION_BUS_ADDRESS"
wait
