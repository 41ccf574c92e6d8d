#!/usr/bin/env bash
# Builds the Debian package from an existing build folder and checks what a user's machine would
# get from it: the binary and its run path, the udev rule, the menu entry, the icons, the man
# page, the dependencies and the maintainer scripts.
#
# Usage: package_test.sh BUILD_DIR
# Every failed check prints one line starting with FAIL; the exit code is 1 if any failed, 77 if a
# tool the test needs is missing (CTest reports a skip, or a failure under CI).
set -euo pipefail
export LC_ALL=C

if [[ $# -ne 1 ]]; then
  echo "usage: $0 BUILD_DIR" >&2
  exit 2
fi
build=$(cd "$1" && pwd -P)
here=$(cd "$(dirname "$0")" && pwd -P)
source_dir=$(cd "$here/.." && pwd -P)

declare -A tool_package=(
  [cpack]=cmake [dpkg-deb]=dpkg [dpkg-shlibdeps]=dpkg-dev [readelf]=binutils [file]=file
  [desktop-file-validate]=desktop-file-utils [gzip]=gzip
)
for tool in "${!tool_package[@]}"; do
  if ! command -v "$tool" >/dev/null; then
    echo "SKIP: $tool is missing (sudo apt-get install ${tool_package[$tool]})"
    exit 77
  fi
done

if [[ ! -f "$build/CPackConfig.cmake" ]]; then
  echo "FAIL: $build has no CPackConfig.cmake: the packaging folder is not part of this build"
  exit 1
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/kornat2-package-test.XXXXXX")
trap 'rm -rf "$work"' EXIT

passed=0
failed=0
pass() { passed=$((passed + 1)); }
fail() {
  echo "FAIL: $*"
  failed=$((failed + 1))
}
# check DESCRIPTION COMMAND...: one check whose reason is DESCRIPTION when COMMAND fails.
check() {
  local what=$1
  shift
  if "$@"; then pass; else fail "$what"; fi
}
# glob_match TEXT PATTERN: TEXT matches the shell pattern.
# shellcheck disable=SC2053 # the pattern is meant to glob
glob_match() { [[ "$1" == $2 ]]; }
# lacks TEXT NEEDLE...: TEXT contains none of the NEEDLEs.
lacks() {
  local text=$1 needle
  shift
  for needle in "$@"; do
    [[ "$text" != *"$needle"* ]] || return 1
  done
}
# sorts_before A B: udev reads rule files in byte order of their names.
sorts_before() { [[ "$1" < "$2" ]]; }

# The version the package must carry is the one the project declares.
version=$(sed -nE 's/^project\(kornat2 VERSION ([0-9][0-9.]*).*/\1/p' "$source_dir/CMakeLists.txt")
if [[ -z "$version" ]]; then
  echo "FAIL: cannot read the project version from $source_dir/CMakeLists.txt"
  exit 1
fi
arch=$(dpkg --print-architecture)

# Into a folder of our own: the build folder may be shared with a developer's `make package`.
if ! (cd "$build" && cpack -G DEB -B "$work/out") >"$work/cpack.log" 2>&1; then
  tail -n 20 "$work/cpack.log"
  echo "FAIL: cpack -G DEB failed in $build"
  exit 1
fi
shopt -s nullglob
debs=("$work/out"/*.deb)
shopt -u nullglob
if [[ ${#debs[@]} -ne 1 ]]; then
  echo "FAIL: cpack made ${#debs[@]} .deb files, expected exactly one"
  exit 1
fi
deb=${debs[0]}
check "package file is named $(basename "$deb"), expected kornat2_${version}_${arch}.deb" \
  test "$(basename "$deb")" = "kornat2_${version}_${arch}.deb"

root="$work/root"
control="$work/control"
dpkg-deb -x "$deb" "$root"
dpkg-deb -e "$deb" "$control"

# Everything lands under /usr: nothing in /usr/local, /etc or a build path.
outside=$(dpkg-deb -c "$deb" | awk '{print $6}' | grep -vE '^\./(usr(/.*)?)?$' || true)
check "files outside /usr: $(echo "$outside" | tr '\n' ' ')" test -z "$outside"
check "files under /usr/local" test ! -e "$root/usr/local"

# The binary.
binary="$root/usr/bin/kornat2"
if [[ -f "$binary" ]]; then
  pass
  check "usr/bin/kornat2 is not executable" test -x "$binary"
  description=$(file -b "$binary")
  check "usr/bin/kornat2 is not an ELF executable: $description" \
    glob_match "$description" 'ELF*executable*'
  # Debian's libraries live in the default search path; any run path is a leftover of the build,
  # and one into the build or source tree would load libraries a user does not have.
  runpaths=$(readelf -d "$binary" | grep -E '\((RPATH|RUNPATH)\)' || true)
  check "usr/bin/kornat2 has a run path: $runpaths" test -z "$runpaths"
  check "usr/bin/kornat2 names the build or source folder" \
    lacks "$runpaths" "$build" "$source_dir"
else
  fail "usr/bin/kornat2 is missing"
fi

# The udev rule.
rules_dir="$root/usr/lib/udev/rules.d"
rule="$rules_dir/70-kornat2.rules"
if [[ -f "$rule" ]]; then
  pass
  if reasons=$(bash "$here/check_udev_rule.sh" "$rule"); then
    pass
  else
    while IFS= read -r reason; do fail "udev rule: ${reason#"$root"/}"; done <<<"$reasons"
  fi
  # 73-seat-late.rules turns the uaccess tag into an ACL; udev reads files in C sort order.
  check "70-kornat2.rules does not sort before 73-seat-late.rules" \
    sorts_before "$(basename "$rule")" 73-seat-late.rules
else
  fail "usr/lib/udev/rules.d/70-kornat2.rules is missing"
fi
other_rules=$(find "$rules_dir" -type f ! -name 70-kornat2.rules 2>/dev/null || true)
check "unexpected udev rule files: $other_rules" test -z "$other_rules"

# The menu entry.
desktop="$root/usr/share/applications/kornat2.desktop"
if [[ -f "$desktop" ]]; then
  pass
  # Hints and warnings count too: the validator exits 0 on them, and menus act on them.
  if validation=$(desktop-file-validate "$desktop" 2>&1) && [[ -z "$validation" ]]; then
    pass
  else
    fail "desktop-file-validate: $(echo "${validation#"$root"/}" | head -n 1)"
  fi
  check "kornat2.desktop has no line Exec=kornat2" grep -qxF 'Exec=kornat2' "$desktop"
  check "kornat2.desktop has no line Icon=kornat2" grep -qxF 'Icon=kornat2' "$desktop"
  check "kornat2.desktop has no line Name=КОРНАТ-2" grep -qxF 'Name=КОРНАТ-2' "$desktop"
  check "kornat2.desktop does not say Terminal=false" grep -qxF 'Terminal=false' "$desktop"
else
  fail "usr/share/applications/kornat2.desktop is missing"
fi

# The icons the menu entry names.
icons="$root/usr/share/icons/hicolor"
for size in 16 32 48 64 128 256; do
  png="$icons/${size}x${size}/apps/kornat2.png"
  if [[ -f "$png" ]]; then
    description=$(file -b "$png")
    check "${size}x${size} icon is not a ${size} x ${size} PNG: $description" \
      glob_match "$description" "PNG image data, $size x $size,*"
  else
    fail "usr/share/icons/hicolor/${size}x${size}/apps/kornat2.png is missing"
  fi
done
svg="$icons/scalable/apps/kornat2.svg"
if [[ -f "$svg" ]]; then
  check "scalable icon is not an SVG document" grep -q '<svg ' "$svg"
else
  fail "usr/share/icons/hicolor/scalable/apps/kornat2.svg is missing"
fi

# The man page.
man="$root/usr/share/man/man1/kornat2.1.gz"
if [[ -f "$man" ]]; then
  pass
  if gzip -t "$man" 2>/dev/null; then
    pass
    page=$(gzip -dc "$man")
    check "man page has no .TH KORNAT2 1 header" grep -q '^\.TH KORNAT2 1 ' <<<"$page"
    check "man page does not carry version $version" grep -qF "kornat2 $version" <<<"$page"
    check "man page has an unreplaced @PROJECT_VERSION@" lacks "$page" '@PROJECT_VERSION@'
    check "man page does not name the udev rule" grep -qF '70\-kornat2.rules' <<<"$page"
  else
    fail "usr/share/man/man1/kornat2.1.gz is not a valid gzip file"
  fi
else
  fail "usr/share/man/man1/kornat2.1.gz is missing"
fi

# The control file: dependencies found by dpkg-shlibdeps, not typed in.
field() { sed -nE "s/^$1: (.*)/\1/p" "$control/control"; }
depends=$(field Depends)
check "Package is not kornat2" test "$(field Package)" = kornat2
check "Version is $(field Version), expected $version" test "$(field Version)" = "$version"
check "Architecture is $(field Architecture), expected $arch" test "$(field Architecture)" = "$arch"
check "Section is not electronics" test "$(field Section)" = electronics
check "Maintainer is empty" test -n "$(field Maintainer)"
check "Depends does not list libhidapi-hidraw0: $depends" grep -qE '(^|, )libhidapi-hidraw0( |,|$)' <<<"$depends"
check "Depends lists no libqt6 package: $depends" grep -qE '(^|, )libqt6[a-z0-9]+( |,|$)' <<<"$depends"
check "Depends does not list libudev1: $depends" grep -qE '(^|, )libudev1( |,|$)' <<<"$depends"
check "Recommends does not list fonts-liberation2" grep -qF fonts-liberation2 <<<"$(field Recommends)"

# The maintainer scripts: present, executable, and harmless where udev is absent or fails.
fake_bin="$work/fake-bin"
mkdir -p "$fake_bin"
cat >"$fake_bin/udevadm" <<EOF
#!/bin/sh
echo "\$*" >>"$work/udevadm-calls"
exit 1
EOF
chmod 755 "$fake_bin/udevadm"
for script in postinst postrm; do
  path="$control/$script"
  if [[ ! -f "$path" ]]; then
    fail "$script is missing from the control archive"
    continue
  fi
  check "$script is not executable (mode $(stat -c %a "$path"))" test "$(stat -c %a "$path")" = 755
  check "$script does not run udevadm trigger" grep -qE 'udevadm trigger .*--subsystem-match=hidraw' "$path"
  case $script in
    postinst) action=configure ;;
    postrm) action=remove ;;
  esac
  rm -f "$work/udevadm-calls"
  # udevadm is a stand-in that always fails: the script must still succeed, and must call it only
  # where a udev daemon runs.
  check "$script $action fails when udevadm fails or is absent" \
    env PATH="$fake_bin:$PATH" sh "$path" "$action"
  if [[ -e /run/udev/control ]]; then
    check "$script $action does not re-trigger hidraw devices although udevd runs" \
      grep -qxF 'trigger --subsystem-match=hidraw --action=change' "$work/udevadm-calls"
  else
    check "$script $action calls udevadm although no udev daemon runs" \
      test ! -e "$work/udevadm-calls"
  fi
done
# An upgrade's other steps leave udev alone.
rm -f "$work/udevadm-calls"
check "postinst abort-upgrade fails" env PATH="$fake_bin:$PATH" sh "$control/postinst" abort-upgrade
check "postinst abort-upgrade calls udevadm" test ! -e "$work/udevadm-calls"

echo "$passed passed, $failed failed"
((failed == 0))
