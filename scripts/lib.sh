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
# when run as root; otherwise names them and stops. A failed step of apt stops the script with
# apt's own last lines and what would repair the machine; nothing is repaired behind the user's
# back.
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
  # An install that died half-way leaves packages unpacked but not configured, and apt refuses
  # every install until they are: say so before downloading anything.
  if [ -n "$(dpkg --audit 2>/dev/null)" ]; then
    echo "scripts: dpkg was left with packages not fully installed; apt will refuse to install:" >&2
    dpkg --audit 2>&1 | sed 's/^/    /' >&2
    stop_for_repair
  fi
  apt_log=$(mktemp)
  # Another apt (unattended upgrades, a second script) may hold dpkg's lock for a while.
  apt_lock="-o DPkg::Lock::Timeout=300"
  echo "=== packages: updating the package lists"
  # shellcheck disable=SC2086
  apt-get $apt_lock update -q >"$apt_log" 2>&1 || apt_failed "apt-get update"
  # An interrupted dpkg whose journal dpkg --audit does not show ("dpkg was interrupted").
  # shellcheck disable=SC2086
  apt-get $apt_lock check -q >"$apt_log" 2>&1 || apt_failed "apt-get check"
  # shellcheck disable=SC2086
  LC_ALL=C apt-get install -s $options $missing >"$apt_log" 2>&1 || apt_failed "apt-get install -s$missing"
  total=$(grep -c '^Inst ' "$apt_log" || true)  # none: only packages to configure
  # What this machine needs, as apt measures it before it would start: "Need to get 104 MB of
  # archives." and "After this operation, 409 MB of additional disk space will be used." An
  # answer of no is a non-zero status by design; only the figures count.
  # shellcheck disable=SC2086
  cost=$(LC_ALL=C apt-get install --assume-no $options $missing 2>/dev/null | sed -n \
    -e 's/^Need to get \([0-9.,]* [kMG]*B\)\(\/[0-9.,]* [kMG]*B\)* of archives\./\1 to download/p' \
    -e 's/^After this operation, \([0-9.,]* [kMG]*B\) of additional disk space will be used\./\1 installed/p' |
    paste -sd';' - | sed 's/;/, /g')
  echo "=== packages: installing$missing"
  echo "    $total packages with what they need: ${cost:-apt gave no download or disk figures}"
  # apt-get's machine-readable status goes to fd 3: one line per fifth of each phase. Its own
  # output goes to the log, shown if it fails.
  # shellcheck disable=SC2086
  if ! { apt-get $apt_lock install -y -q -o APT::Status-Fd=3 $options $missing 3>&1 >"$apt_log" 2>&1
         echo "quorvane-status:$?"; } |
    $LIVE_AWK -F: '
      $1 == "quorvane-status" { status = $2; next }
      $1 == "dlstatus" || $1 == "pmstatus" {
        phase = $1 == "dlstatus" ? "downloading" : "installing"
        fifth = int($3 / 20)
        if (phase != shownPhase || fifth > shownFifth) {
          shownPhase = phase; shownFifth = fifth
          printf "    %s: %d%%\n", phase, fifth * 20; fflush()
        }
      }
      END {
        if (status == "") status = 1  # the status line never came: nothing says it worked
        # apt reports the last step below 100 %; a finished install is all of it.
        if (status == 0 && !(shownPhase == "installing" && shownFifth == 5)) {
          printf "    installing: 100%%\n"
        }
        exit status
      }'; then
    apt_failed "apt-get install$missing"
  fi
  rm -f "$apt_log"
}

# apt_failed WHAT: stops the script after a failed apt step, with apt's own last lines from
# $apt_log.
apt_failed() {
  echo "scripts: $1 failed; apt-get said (last lines):" >&2
  tail -n 15 "$apt_log" | sed 's/^/    /' >&2
  rm -f "$apt_log"
  [ -n "$(dpkg --audit 2>/dev/null)" ] && stop_for_repair
  echo "Mend what apt-get says above, then run this script again." >&2
  exit 1
}

# stop_for_repair: names the repair of packages left half-installed, without running it.
stop_for_repair() {
  echo "Repair the packages as root with:" >&2
  echo "    dpkg --configure -a && apt-get install -f" >&2
  echo "then run this script again." >&2
  exit 1
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
# Test-only, without what they recommend (a session manager, the Pulse server), which the
# tests do not use: PipeWire, a real client of RealtimeKit, runs beside the tool; the desktop
# portal in front of RealtimeKit, with bwrap for a sandbox.
CLIENT_PACKAGES="pipewire xdg-desktop-portal bubblewrap"
WINDOWS_PACKAGES="googletest wine wine64 g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64"
FUZZ_PACKAGES="clang libclang-rt-14-dev"
# bench/service.py sets the service phase beside cyclictest.
BENCH_PACKAGES="rt-tests"
# The packages and their checks: dpkg-shlibdeps, file (read by CPack), lintian.
PACKAGING_PACKAGES="dpkg-dev file lintian"
