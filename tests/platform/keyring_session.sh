#!/bin/sh
# Runs the keyring suite in a private D-Bus session with a home of its own, so it
# never touches the user's keyring. The bus starts no services by itself: the
# suite starts and stops gnome-keyring-daemon when it wants one.
# Exit 77 (skipped) where the tools are missing.
for tool in dbus-run-session gnome-keyring-daemon; do
  if ! command -v "$tool" >/dev/null 2>&1; then
    echo "SKIP: $tool is not installed; the keyring suite needs it"
    exit 77
  fi
done
work=$(mktemp -d) || exit 1
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/home"
cat >"$work/bus.conf" <<CONF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:tmpdir=$work</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
CONF
export HOME="$work/home" ZUDIVUVO_KEYRING=on ZUDIVUVO_PRIVATE_BUS=1
unset XDG_RUNTIME_DIR GNOME_KEYRING_CONTROL
dbus-run-session --config-file="$work/bus.conf" -- "$@"
