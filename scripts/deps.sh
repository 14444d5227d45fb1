# Installs the Debian packages named in the arguments that are not installed yet.
# Sourced by the other scripts.
need_packages() {
  local missing=()
  local p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  local sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  echo "Installing: ${missing[*]}"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
}

BUILD_PACKAGES=(g++ cmake make libgtest-dev libbenchmark-dev dpkg-dev lintian groff-base)

# Configures and builds the tree in $1 (default: build) with the extra CMake arguments after it.
build_tree() {
  local dir=${1:-build}
  shift || true
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
  cmake --build "$dir" -j "$(nproc)"
}
