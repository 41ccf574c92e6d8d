#!/usr/bin/env bash
# The rule checker must accept the rule we ship and reject each way a rule can be broken or too
# broad; a checker that passes everything would let the package test pass on a bad rule.
# Usage: check_udev_rule_test.sh   (finds its files next to itself)
set -euo pipefail
export LC_ALL=C

here=$(cd "$(dirname "$0")" && pwd)
checker="$here/check_udev_rule.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

failed=0
passed=0

# expect_pass NAME TEXT
expect_pass() {
  printf '%s\n' "$2" >"$work/rule"
  if output=$(bash "$checker" "$work/rule" 2>&1); then
    passed=$((passed + 1))
  else
    echo "FAIL $1: a valid rule was rejected: $output"
    failed=$((failed + 1))
  fi
}

# expect_fault NAME EXPECTED_REASON TEXT
expect_fault() {
  printf '%s\n' "$3" >"$work/rule"
  if output=$(bash "$checker" "$work/rule" 2>&1); then
    echo "FAIL $1: a bad rule was accepted"
    failed=$((failed + 1))
  elif [[ "$output" != *"$2"* ]]; then
    echo "FAIL $1: rejected, but not for \"$2\": $output"
    failed=$((failed + 1))
  else
    passed=$((passed + 1))
  fi
}

good='SUBSYSTEM=="hidraw", ATTRS{idVendor}=="0010", ATTRS{idProduct}=="0001", TAG+="uaccess"'

if output=$(bash "$checker" "$here/70-kornat2.rules" 2>&1); then
  passed=$((passed + 1))
else
  echo "FAIL shipped rule: rejected: $output"
  failed=$((failed + 1))
fi

expect_pass "single rule" "$good"
expect_pass "comments and blank lines" "# comment

  # indented comment
$good"
expect_pass "spaces around operators" 'SUBSYSTEM == "hidraw" , ATTRS{idVendor}=="0010",ATTRS{idProduct}=="0001", TAG += "uaccess"'
expect_pass "continued line" 'SUBSYSTEM=="hidraw", ATTRS{idVendor}=="0010", \
  ATTRS{idProduct}=="0001", TAG+="uaccess"'
expect_pass "KERNELS form beside the ATTRS form" "$good
SUBSYSTEM==\"hidraw\", KERNELS==\"0003:0010:0001.*\", TAG+=\"uaccess\""

# Syntax.
expect_fault "empty file" "no rule in the file" "# nothing here"
expect_fault "missing comma" "missing comma" 'SUBSYSTEM=="hidraw" ATTRS{idVendor}=="0010", ATTRS{idProduct}=="0001", TAG+="uaccess"'
expect_fault "trailing comma" "a comma ends the rule" "$good,"
expect_fault "unquoted value" "not a KEY" 'SUBSYSTEM==hidraw, ATTRS{idVendor}=="0010", ATTRS{idProduct}=="0001", TAG+="uaccess"'
expect_fault "unterminated quote" "not a KEY" 'SUBSYSTEM=="hidraw", ATTRS{idVendor}=="0010", ATTRS{idProduct}=="0001", TAG+="uaccess'
expect_fault "unknown operator" "not a KEY" 'SUBSYSTEM=~"hidraw", ATTRS{idVendor}=="0010", ATTRS{idProduct}=="0001", TAG+="uaccess"'
expect_fault "unknown key" "unknown key SUBSYTEM" 'SUBSYTEM=="hidraw", ATTRS{idVendor}=="0010", ATTRS{idProduct}=="0001", TAG+="uaccess"'
expect_fault "lower-case key" "not a KEY" 'subsystem=="hidraw", ATTRS{idVendor}=="0010", ATTRS{idProduct}=="0001", TAG+="uaccess"'
expect_fault "assignment to a match-only key" "key SUBSYSTEM does not take operator =" 'SUBSYSTEM="hidraw", ATTRS{idVendor}=="0010", ATTRS{idProduct}=="0001", TAG+="uaccess"'
expect_fault "match where an assignment is meant" "key MODE does not take operator ==" "$good, MODE==\"0660\""
expect_fault "attribute key without braces" "key ATTRS needs {attribute}" 'SUBSYSTEM=="hidraw", ATTRS=="0010", ATTRS{idProduct}=="0001", TAG+="uaccess"'
expect_fault "braces on a plain key" "key SUBSYSTEM takes no {attribute}" 'SUBSYSTEM{x}=="hidraw", ATTRS{idVendor}=="0010", ATTRS{idProduct}=="0001", TAG+="uaccess"'
expect_fault "file ends in a continuation" "ends inside a continued line" "$good, \\"

# Policy: only this adapter, only seat access.
expect_fault "world-writable mode" 'MODE="0666" is not part' "$good, MODE=\"0666\""
expect_fault "group access" 'GROUP="plugdev" is not part' "$good, GROUP=\"plugdev\""
expect_fault "any hidraw node" "does not name the adapter" 'SUBSYSTEM=="hidraw", TAG+="uaccess"'
expect_fault "any product of the vendor" "does not name the adapter" 'SUBSYSTEM=="hidraw", ATTRS{idVendor}=="0010", TAG+="uaccess"'
expect_fault "vendor glob" 'ATTRS{idVendor}=="00*" is not part' 'SUBSYSTEM=="hidraw", ATTRS{idVendor}=="00*", ATTRS{idProduct}=="0001", TAG+="uaccess"'
expect_fault "other product" 'ATTRS{idProduct}=="0002" is not part' 'SUBSYSTEM=="hidraw", ATTRS{idVendor}=="0010", ATTRS{idProduct}=="0002", TAG+="uaccess"'
expect_fault "not limited to hidraw" 'not limited to SUBSYSTEM=="hidraw"' 'ATTRS{idVendor}=="0010", ATTRS{idProduct}=="0001", TAG+="uaccess"'
expect_fault "usb subsystem instead of hidraw" 'SUBSYSTEM=="usb" is not part' 'SUBSYSTEM=="usb", ATTRS{idVendor}=="0010", ATTRS{idProduct}=="0001", TAG+="uaccess"'
expect_fault "no uaccess tag" 'does not add TAG+="uaccess"' 'SUBSYSTEM=="hidraw", ATTRS{idVendor}=="0010", ATTRS{idProduct}=="0001"'
expect_fault "KERNELS on any bus" 'KERNELS=="*:0010:0001.*" is not part' 'SUBSYSTEM=="hidraw", KERNELS=="*:0010:0001.*", TAG+="uaccess"'
expect_fault "KERNELS form alone" "no rule names the USB device" 'SUBSYSTEM=="hidraw", KERNELS=="0003:0010:0001.*", TAG+="uaccess"'
expect_fault "a run program" 'RUN+="/bin/chmod 666 /dev/%k" is not part' "$good, RUN+=\"/bin/chmod 666 /dev/%k\""
expect_fault "a second, broad rule" "does not name the adapter" "$good
SUBSYSTEM==\"hidraw\", TAG+=\"uaccess\""

echo "$passed passed, $failed failed"
((failed == 0))
