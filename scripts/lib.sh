# Shared by the scripts in this folder: installs the Debian packages a command needs.

# ensure_packages PACKAGE...: installs the missing ones with apt-get when run as root;
# otherwise names them and stops.
ensure_packages() {
  missing=""
  for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
      missing="$missing $package"
  done
  [ -z "$missing" ] && return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "Missing Debian packages:$missing" >&2
    echo "Install them with: sudo apt-get install$missing" >&2
    exit 1
  fi
  echo "Installing:$missing"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq >/dev/null
  # shellcheck disable=SC2086
  apt-get install -y -qq $missing >/dev/null
}

NATIVE_PACKAGES="g++ cmake ninja-build googletest python3 util-linux"
WINDOWS_PACKAGES="wine wine64 g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64"
# The packages and their checks: dpkg-shlibdeps, file (read by CPack), lintian.
PACKAGING_PACKAGES="dpkg-dev file lintian"
