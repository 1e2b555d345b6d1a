# Installs the Debian packages named in "$@" that are not installed yet.
# Sourced by the entry scripts. apt-get as root, otherwise through sudo.
install_missing() {
  local missing=()
  local p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing: ${missing[*]}" >&2
  local sudo=()
  [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  "${sudo[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2
}

BUILD_PACKAGES=(g++ cmake ninja-build pkg-config libsodium-dev libboost1.81-dev libboost-system1.81-dev
  libncurses-dev libsqlite3-dev libpq-dev libnats-dev libsystemd-dev)
# The Debian packages (scripts/package): CPack's dependency lookup and lintian.
PACKAGE_PACKAGES=(dpkg-dev file lintian)
# systemd-analyze checks the unit, promtool the metrics.
TEST_PACKAGES=(libgtest-dev libbenchmark-dev tmux util-linux iproute2 locales postgresql nats-server systemd
  prometheus "${PACKAGE_PACKAGES[@]}")
FUZZ_PACKAGES=(clang libclang-rt-14-dev)
MEMCHECK_PACKAGES=(valgrind)
