# Installs the Debian packages named in the arguments that are not installed yet, through sudo
# for a user other than root. Sourced by the other scripts.
#   need_packages [--no-install-recommends] PACKAGE...
need_packages() {
  local options=()
  if [ "${1:-}" = --no-install-recommends ]; then
    options+=("$1")
    shift
  fi
  local missing=()
  local p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  local sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  echo "Installing with apt-get (this can take a few minutes): ${missing[*]}"
  # A password, if sudo asks for one, before the progress lines start.
  [ -z "$sudo" ] || sudo -v
  working "apt-get update" $sudo apt-get update -qq
  # sudo clears the environment; env passes the setting through it.
  working "apt-get install" $sudo env DEBIAN_FRONTEND=noninteractive \
    apt-get install -y -qq "${options[@]}" "${missing[@]}" >/dev/null
  # The tests start an sshd of their own on loopback: the machine's own sshd, which the package
  # starts and enables where systemd runs, is stopped and disabled again when it came only now.
  if [[ " ${missing[*]} " == *" openssh-server "* ]] && [ -d /run/systemd/system ]; then
    $sudo systemctl disable --now ssh.service ssh.socket >/dev/null 2>&1 || true
    echo "openssh-server installed for the tests; its system service is left stopped and disabled"
  fi
}

# Runs a long, quiet command; while it runs, a line every 30 seconds says that it still does.
#   working WHAT COMMAND...
working() {
  local what=$1 t0 ticker rc=0
  shift
  t0=$(date +%s)
  # The ticker ends with the command, and with this shell when a signal ends it first.
  (
    nap=
    trap 'kill $nap 2>/dev/null; exit 0' TERM
    while kill -0 $$ 2>/dev/null; do
      sleep 30 &
      nap=$!
      wait $nap
      echo "  ... $what: still working, $(($(date +%s) - t0)) s" >&2
    done
  ) &
  ticker=$!
  "$@" || rc=$?
  kill "$ticker" 2>/dev/null || true
  wait "$ticker" 2>/dev/null || true
  return $rc
}

# The demo's: what configuring the tree and building the tool and the virtual PC need.
DEMO_PACKAGES=(g++ cmake make libgtest-dev libbenchmark-dev)
BUILD_PACKAGES=("${DEMO_PACKAGES[@]}" dpkg-dev lintian groff-base)
# The Ansible collection's tests: Debian's ansible-core alone, without the recommended (and
# large) ansible package of community collections, which nothing here relies on; the plays reach
# the virtual PCs through an sshd that the test starts on loopback, and become root with sudo.
ANSIBLE_PACKAGES=(ansible-core ansible-lint yamllint python3-pytest python3-voluptuous openssh-server sudo)

# Configures and builds the tree in $1 (default: build) with the extra CMake arguments after it.
build_tree() {
  local dir=${1:-build}
  shift || true
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
  cmake --build "$dir" -j "$(nproc)"
}
