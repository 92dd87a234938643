#!/bin/sh
# Inside the Debian 13 tree (tests/gnome/tree), as PID 1 of its own namespace: a headless GNOME
# session. GNOME Shell on a virtual monitor, with a mock logind on a system bus of its own; GNOME's
# portal backend and the real frontend. Prints the session bus's address once all of them are up,
# then waits; the test ends it by ending the namespace.
set -eu

# The test made a new home (GNOME's settings, in a key file, start empty) and put the app's
# .desktop file under /keytap/share.
export HOME=/keytap/home XDG_CONFIG_HOME=/keytap/home/.config XDG_RUNTIME_DIR=/run/keytap
export XDG_DATA_DIRS=/keytap/share:/usr/local/share:/usr/share
export XDG_CURRENT_DESKTOP=GNOME XDG_SESSION_TYPE=wayland GSETTINGS_BACKEND=keyfile
export LIBGL_ALWAYS_SOFTWARE=1 NO_AT_BRIDGE=1
mkdir -m 0700 "$XDG_RUNTIME_DIR"
cd /keytap

# The shell asks logind for its session: a mock one, on a system bus of its own.
DBUS_SYSTEM_BUS_ADDRESS=$(dbus-daemon --session --fork --print-address=1 \
  --address="unix:path=$XDG_RUNTIME_DIR/system-bus")
DBUS_SESSION_BUS_ADDRESS=$(dbus-daemon --session --fork --print-address=1 \
  --address="unix:path=$XDG_RUNTIME_DIR/bus")
export DBUS_SYSTEM_BUS_ADDRESS DBUS_SESSION_BUS_ADDRESS
# Services started on demand (the shortcut provider of GNOME's settings) get this environment.
dbus-update-activation-environment --all

python3 -m dbusmock --system -t logind >logind.log 2>&1 &
gdbus wait --system --timeout 30 org.freedesktop.login1

gnome-shell --headless --virtual-monitor 1024x768 --wayland --no-x11 >shell.log 2>&1 &
for name in org.gnome.Shell org.gnome.Mutter.RemoteDesktop; do
  gdbus wait --session --timeout 60 "$name"
done
/usr/libexec/xdg-desktop-portal-gnome >portal-gnome.log 2>&1 &
gdbus wait --session --timeout 30 org.freedesktop.impl.portal.desktop.gnome
/usr/libexec/xdg-desktop-portal --replace >portal.log 2>&1 &
gdbus wait --session --timeout 30 org.freedesktop.portal.Desktop

echo "$DBUS_SESSION_BUS_ADDRESS"
wait
