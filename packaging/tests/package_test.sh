#!/bin/sh
# Builds the Debian package in the build folder given, checks what dpkg-deb says of it, and runs
# the program it installs from a scratch root with the configuration it installs.
set -eu
build=$1
for tool in cpack dpkg-deb; do
    command -v $tool >/dev/null || { echo "SKIP: $tool is not installed"; exit 0; }
done
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

(cd "$build" && cpack -G DEB -B "$scratch/out" >"$scratch/cpack.log" 2>&1) ||
    fail "cpack: $(cat "$scratch/cpack.log")"
deb=$(ls "$scratch"/out/cv-captured_*.deb)
dpkg-deb -c "$deb" | awk '{print $1, $6}' >"$scratch/contents"
for entry in x./usr/bin/cv-captured x./usr/bin/cv-index x./usr/bin/cv-epg x./usr/bin/cv-bus \
    -./lib/systemd/system/cv-captured.service -./etc/corvid/captured.cfg.xml \
    -./usr/share/doc/cv-captured/README.md -./usr/share/doc/cv-captured/examples/captured.cfg.xml; do
    mode=$([ "${entry%%.*}" = x ] && echo -rwxr-xr-x || echo -rw-r--r--)
    grep -qxF -- "$mode ${entry#?}" "$scratch/contents" || fail "missing $mode ${entry#?}"
done
for field in "Package: cv-captured" "Version: 1.2.2" "Depends: .*adduser" "Depends: .*libc6"; do
    dpkg-deb -I "$deb" | grep -q "^ $field" || fail "control lacks $field"
done
for script in postinst prerm postrm; do dpkg-deb -I "$deb" $script >/dev/null || fail "$script"; done
dpkg-deb -I "$deb" conffiles | grep -qx /etc/corvid/captured.cfg.xml || fail "conffiles"

dpkg-deb -x "$deb" "$scratch/root"
version=$("$scratch/root/usr/bin/cv-captured" --version)
[ "$version" = "Corvid capture daemon 1.2.2" ] || fail "--version said: $version"
if command -v systemd-analyze >/dev/null; then
    # The unit as installed, starting the program where the scratch root holds it. verify exits
    # 0 on directives it ignores: any word from it is a failure.
    sed "s|/usr/bin/cv-captured|$scratch/root/usr/bin/cv-captured|" \
        "$scratch/root/lib/systemd/system/cv-captured.service" >"$scratch/cv-captured.service"
    complaints=$(systemd-analyze verify "$scratch/cv-captured.service" 2>&1) &&
        [ -z "$complaints" ] || fail "systemd-analyze verify: $complaints"
fi
# As the unit runs it, with the folders moved into the scratch root and any free SOAP port.
mkdir -p "$scratch/var/capture"
sed -e "s|/var/lib/corvid|$scratch/var|g" -e 's|port="8080"|port="0"|' \
    "$scratch/root/etc/corvid/captured.cfg.xml" >"$scratch/run.cfg.xml"
"$scratch/root/usr/bin/cv-captured" "$scratch/run.cfg.xml" >"$scratch/run.log" 2>&1 &
daemon=$!
for _ in 1 2 3 4 5 6 7 8 9 10; do [ -e "$scratch/var/captures.xml" ] && break; sleep 0.2; done
kill -TERM $daemon
wait $daemon || fail "the program ended with status $?: $(cat "$scratch/run.log")"
grep -q "Shutting down" "$scratch/run.log" && [ -e "$scratch/var/captures.xml" ] ||
    fail "the program did not run: $(cat "$scratch/run.log")"
echo "PASS: $(basename "$deb"), $(wc -l <"$scratch/contents") entries"
