#!/usr/bin/env bash
# Checks a udev rule file for the adapter strictly, without udevd: Debian 12's udevadm cannot
# verify a rule file, and udevd only logs a bad line and carries on, so a typo would ship silently
# and the user would be left with an adapter that cannot be opened.
#
# Two layers:
#   1. syntax: every rule is KEY[{attr}]OP"value" pairs separated by commas, with a known key, an
#      operator that key takes, and braces only where the key has them;
#   2. policy: every rule is confined to hidraw nodes of this adapter (USB 0010:0001) and does
#      nothing but TAG+="uaccess": no MODE, GROUP, OWNER, RUN or other widening.
#
# Usage: check_udev_rule.sh RULE_FILE
# Prints one line per fault ("FILE:LINE: reason") and exits 1 if there is any, 0 otherwise.
set -euo pipefail
export LC_ALL=C

if [[ $# -ne 1 ]]; then
  echo "usage: $0 RULE_FILE" >&2
  exit 2
fi
file=$1
if [[ ! -r "$file" ]]; then
  echo "$file: cannot read the rule file"
  exit 1
fi

faults=0
fault() {
  echo "$file:$1: $2"
  faults=$((faults + 1))
}

# The operators each key accepts (systemd 252's udev-rules.c, minus those it only warns about and
# rewrites: a strict check should not rely on udevd fixing the line up).
declare -A key_ops=(
  [ACTION]="== !=" [DEVPATH]="== !=" [KERNEL]="== !=" [KERNELS]="== !="
  [SUBSYSTEM]="== !=" [SUBSYSTEMS]="== !=" [DRIVER]="== !=" [DRIVERS]="== !="
  [ATTRS]="== !=" [TAGS]="== !=" [RESULT]="== !=" [CONST]="== !=" [TEST]="== !="
  [PROGRAM]="== !=" [IMPORT]="== !="
  [ATTR]="== != = :=" [SYSCTL]="== != = :=" [ENV]="== != = += :="
  [TAG]="== != = += -= :=" [NAME]="== != = :=" [SYMLINK]="== != = += -= :="
  [OWNER]="= :=" [GROUP]="= :=" [MODE]="= :=" [SECLABEL]="= += :="
  [RUN]="= += :=" [OPTIONS]="= +=" [LABEL]="=" [GOTO]="="
)
# Whether a key must, may or must not carry {attr}.
declare -A key_attr=(
  [ATTR]=required [ATTRS]=required [SYSCTL]=required [ENV]=required [CONST]=required
  [IMPORT]=required [SECLABEL]=required [TEST]=optional [RUN]=optional
)

# One KEY[{attr}]OP"value" pair at the start of the text, then a comma or the end of the rule.
pair_re='^[[:space:]]*([A-Z]+)(\{([^{}]+)\})?[[:space:]]*(==|!=|\+=|-=|:=|=)[[:space:]]*"(([^"\\]|\\.)*)"[[:space:]]*(,|$)'

rules=0
id_by_attrs=0
line_no=0
start_no=0
logical=""
check_rule() {
  local text=$1 at=$2
  local -a keys=() ops=() values=()
  while [[ -n "$text" ]]; do
    if [[ ! "$text" =~ $pair_re ]]; then
      fault "$at" "not a KEY[{attr}]OP\"value\" pair, or a missing comma, at: ${text#"${text%%[![:space:]]*}"}"
      return
    fi
    local key=${BASH_REMATCH[1]} attr=${BASH_REMATCH[3]} op=${BASH_REMATCH[4]} value=${BASH_REMATCH[5]}
    local sep=${BASH_REMATCH[7]}
    text=${text:${#BASH_REMATCH[0]}}
    if [[ "$sep" == "," && ! "$text" =~ [^[:space:]] ]]; then
      fault "$at" "a comma ends the rule"
      return
    fi
    if [[ -z "${key_ops[$key]+set}" ]]; then
      fault "$at" "unknown key $key"
      return
    fi
    if [[ " ${key_ops[$key]} " != *" $op "* ]]; then
      fault "$at" "key $key does not take operator $op"
      return
    fi
    local need=${key_attr[$key]:-forbidden}
    if [[ "$need" == required && -z "$attr" ]]; then
      fault "$at" "key $key needs {attribute}"
      return
    fi
    if [[ "$need" == forbidden && -n "$attr" ]]; then
      fault "$at" "key $key takes no {attribute}"
      return
    fi
    if [[ -n "$attr" ]]; then key+="{$attr}"; fi
    keys+=("$key")
    ops+=("$op")
    values+=("$value")
  done
  rules=$((rules + 1))

  # Policy: what this rule matches and what it does.
  local hidraw=0 vendor=0 product=0 kernels=0 uaccess=0 i
  for i in "${!keys[@]}"; do
    local pair="${keys[$i]}${ops[$i]}\"${values[$i]}\""
    case "$pair" in
      'SUBSYSTEM=="hidraw"') hidraw=1 ;;
      'ATTRS{idVendor}=="0010"') vendor=1 ;;
      'ATTRS{idProduct}=="0001"') product=1 ;;
      'KERNELS=="0003:0010:0001.*"') kernels=1 ;;
      'TAG+="uaccess"') uaccess=1 ;;
      *) fault "$at" "$pair is not part of granting seat access to this adapter" ;;
    esac
  done
  ((hidraw)) || fault "$at" "rule is not limited to SUBSYSTEM==\"hidraw\""
  if ((vendor && product)); then
    id_by_attrs=1
  elif ((!kernels)); then
    fault "$at" "rule does not name the adapter: needs ATTRS{idVendor}==\"0010\" and ATTRS{idProduct}==\"0001\", or KERNELS==\"0003:0010:0001.*\""
  fi
  ((uaccess)) || fault "$at" "rule does not add TAG+=\"uaccess\""
}

while IFS= read -r line || [[ -n "$line" ]]; do
  line_no=$((line_no + 1))
  [[ -z "$logical" ]] && start_no=$line_no
  # udev joins a line that ends in a backslash with the next one.
  if [[ "$line" == *\\ ]]; then
    logical+="${line%\\}"
    continue
  fi
  logical+="$line"
  if [[ "$logical" =~ ^[[:space:]]*(#.*)?$ ]]; then
    logical=""
    continue
  fi
  check_rule "$logical" "$start_no"
  logical=""
done <"$file"
[[ -z "$logical" ]] || fault "$start_no" "the file ends inside a continued line"

((rules > 0)) || fault 0 "no rule in the file"
((rules == 0 || id_by_attrs)) ||
  fault 0 "no rule names the USB device by ATTRS{idVendor}==\"0010\", ATTRS{idProduct}==\"0001\""

((faults == 0))
