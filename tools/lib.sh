# Shared shell helpers for the setup, demo and test scripts. Source it.

# need_packages PKG...: installs the Debian packages that are missing.
# Runs `apt-get update` once per machine session before the first install.
need_packages() {
  local missing=()
  local p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  if [ -z "${VELMORAINE_APT_UPDATED:-}" ]; then
    $sudo apt-get update -qq
    export VELMORAINE_APT_UPDATED=1
  fi
  echo "installing: ${missing[*]}" >&2
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2
}

# x86_64_only WHAT: ends the calling stage successfully, saying so, on a
# machine that is not x86-64 (WHAT needs x86 packages: multilib, wine, i386).
x86_64_only() {
  case "$(uname -m)" in
    x86_64 | amd64) return 0 ;;
  esac
  echo "skipped on $(uname -m): $1 runs on x86-64 machines only" >&2
  exit 0
}

# Packages the library and the program need (a build with
# -DVELMORAINE_TESTS=OFF -DVELMORAINE_BENCH=OFF).
PRODUCT_PACKAGES=(cmake make g++ libcli11-dev)
# Packages every build needs: the product's and the test and benchmark ones.
BASE_PACKAGES=("${PRODUCT_PACKAGES[@]}" libgtest-dev libbenchmark-dev)

# configure_build DIR [cmake args...]: configures (once) and builds a tree.
configure_build() {
  local dir=$1; shift
  cmake -S . -B "$dir" "$@" >/dev/null
  cmake --build "$dir" -j"$(nproc)"
}
