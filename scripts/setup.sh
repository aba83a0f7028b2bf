# Sourced by the other scripts: installs the build tools on a Debian machine when they are missing,
# and gives them install_packages for what they need beyond that.

# install_packages WHAT PACKAGE...: installs the packages quietly with apt-get (as root, or through
# sudo), saying what happens; the package manager's output shows only when it fails. A user who
# is not root and has no sudo is told what is missing and the command that installs it.
install_packages() {
  local what=$1 sudo="" log
  shift
  [ $# -gt 0 ] || return 0
  if [ "$(id -u)" != 0 ]; then
    if ! command -v sudo >/dev/null || ! command -v apt-get >/dev/null; then
      echo "$(basename "$0"): $what missing: $*" >&2
      echo "  install them, as root: apt-get install $*" >&2
      exit 1
    fi
    sudo=sudo
  fi
  echo "== installing $what ($*)..."
  log=$(mktemp)
  if ! { $sudo apt-get update -qq &&
         $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$@"; } \
       </dev/null >"$log" 2>&1; then
    cat "$log" >&2
    rm -f "$log"
    echo "$(basename "$0"): installing $* failed" >&2
    exit 1
  fi
  rm -f "$log"
}

need=()
command -v cmake >/dev/null || need+=(cmake)
command -v g++ >/dev/null || need+=(g++)
command -v make >/dev/null || need+=(make)
[ -f /usr/include/gtest/gtest.h ] || need+=(libgtest-dev)
[ -f /usr/include/benchmark/benchmark.h ] || need+=(libbenchmark-dev)
# The station page's HTTP library comes from Debian's source package (scripts/fetch_httplib.sh).
command -v dpkg-source >/dev/null || need+=(dpkg-dev)
[ -f /usr/share/keyrings/debian-archive-keyring.gpg ] || need+=(debian-archive-keyring)
install_packages "build tools" "${need[@]}"
unset need
