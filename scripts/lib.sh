# Shared by the scripts in this folder: installs the Debian packages a command needs, and runs
# long steps with their output in a log and a short line of progress on the screen.

# Progress is read from pipes as it comes. mawk, Debian's default awk, reads a pipe in large
# blocks and would show a build's progress only when the build ends; -W interactive makes it
# read line by line. Other awks read lines as they arrive and do not take that option.
if awk -W version 2>/dev/null | grep -q mawk; then
  LIVE_AWK="awk -W interactive"
else
  LIVE_AWK=awk
fi

# ensure_packages [--no-install-recommends] PACKAGE...: installs the missing ones with apt-get
# when run as root; otherwise names them and stops.
ensure_packages() {
  options=""
  if [ "$1" = --no-install-recommends ]; then
    options=$1
    shift
  fi
  missing=""
  for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
      missing="$missing $package"
  done
  [ -z "$missing" ] && return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "Missing Debian packages:$missing" >&2
    echo "Install them with: sudo apt-get install${options:+ $options}$missing" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  echo "=== packages: updating the package lists"
  apt-get update -qq >/dev/null
  # shellcheck disable=SC2086
  total=$(apt-get install -s $options $missing 2>/dev/null | grep -c '^Inst ')
  # What this machine needs, as apt measures it before it would start: "Need to get 104 MB of
  # archives." and "After this operation, 409 MB of additional disk space will be used."
  # shellcheck disable=SC2086
  cost=$(LC_ALL=C apt-get install --assume-no $options $missing 2>/dev/null | sed -n \
    -e 's/^Need to get \([0-9.,]* [kMG]*B\)\(\/[0-9.,]* [kMG]*B\)* of archives\./\1 to download/p' \
    -e 's/^After this operation, \([0-9.,]* [kMG]*B\) of additional disk space will be used\./\1 installed/p' |
    paste -sd';' - | sed 's/;/, /g')
  echo "=== packages: installing$missing"
  echo "    $total packages with what they need${cost:+: $cost}"
  # apt-get's machine-readable status goes to fd 3: one line per fifth of each phase.
  # shellcheck disable=SC2086
  { apt-get install -y -qq -o APT::Status-Fd=3 $options $missing 3>&1 >/dev/null; echo "status $?"; } |
    $LIVE_AWK -F: '
      $1 == "status" { split($0, word, " "); status = word[2]; next }
      $1 == "dlstatus" || $1 == "pmstatus" {
        phase = $1 == "dlstatus" ? "downloading" : "installing"
        fifth = int($3 / 20)
        if (phase != shownPhase || fifth > shownFifth) {
          shownPhase = phase; shownFifth = fifth
          printf "    %s: %d%%\n", phase, fifth * 20; fflush()
        }
      }
      END {
        # apt reports the last step below 100 %; a finished install is all of it.
        if (status == 0 && !(shownPhase == "installing" && shownFifth == 5)) {
          printf "    installing: 100%%\n"
        }
        exit status
      }' || { echo "apt-get install$missing failed" >&2; exit 1; }
}

# with_progress LOG LABEL COMMAND...: runs COMMAND with all its output appended to LOG and
# prints how far a Ninja build has come ([n/N] steps) at each quarter; returns its status.
with_progress() {
  log=$1
  label=$2
  shift 2
  { "$@"; echo "quorvane-status $?"; } 2>&1 |
    $LIVE_AWK -v logfile="$log" -v label="$label" '
      /^quorvane-status / { status = $2; next }
      { print >> logfile }
      match($0, /^\[[0-9]+\/[0-9]+\]/) {
        split(substr($0, 2, RLENGTH - 2), step, "/")
        quarter = int(4 * step[1] / step[2])
        if (quarter > shown) {
          shown = quarter
          printf "    %s: %d%% (%d of %d steps)\n", label, 25 * quarter, step[1], step[2]; fflush()
        }
      }
      END { exit status }'
}

# locales: the provider test builds a Turkish locale, whose case rules differ from ASCII.
NATIVE_PACKAGES="g++ cmake ninja-build libgtest-dev libbenchmark-dev python3 util-linux pkg-config libsystemd-dev locales"
# The real-time provider's tests start a system bus, polkit and RealtimeKit of their own.
REALTIME_PACKAGES="rtkit polkitd dbus-daemon systemd"
# And the desktop portal in front of RealtimeKit, with bwrap for a sandbox; installed without
# what they recommend, which the tests do not use.
PORTAL_PACKAGES="xdg-desktop-portal bubblewrap"
WINDOWS_PACKAGES="googletest wine wine64 g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64"
FUZZ_PACKAGES="clang libclang-rt-14-dev"
# The packages and their checks: dpkg-shlibdeps, file (read by CPack), lintian.
PACKAGING_PACKAGES="dpkg-dev file lintian"
