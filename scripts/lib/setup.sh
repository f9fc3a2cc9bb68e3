# Shared set-up of scripts/test, scripts/demo and scripts/bench: Debian packages, the
# Japanese locale that gives Wine its code page 932, and a private Wine prefix.

# What the Linux programs, their tests and the benchmarks need.
zt4_linux_packages=(
  cmake ninja-build g++ python3 pkg-config
  libgtest-dev googletest libbenchmark-dev
  zlib1g-dev libssl-dev libisal-dev
)
# What the Windows build and its tests under Wine need on top.
zt4_windows_packages=(
  g++-mingw-w64-x86-64 wine wine64 locales
  xvfb xdotool x11-xserver-utils imagemagick fonts-ipafont-gothic
)

# install_build_dependencies [windows] [PACKAGE...]: the Linux set, with "windows" the
# Windows set and the Japanese locale too.
install_build_dependencies() {
  local wanted=("${zt4_linux_packages[@]}")
  local windows=0
  if [ "${1:-}" = windows ]; then
    windows=1
    wanted+=("${zt4_windows_packages[@]}")
    shift
  fi
  local missing=()
  local p
  for p in "${wanted[@]}" "$@"; do
    dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "installing: ${missing[*]}"
    if [ "$(id -u)" != 0 ]; then
      echo "not root: install these packages first" >&2
      return 1
    fi
    apt-get update -qq || return 1
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" \
      >/dev/null || return 1
  fi
  if ((windows)); then ensure_japanese_locale; fi
}

ensure_japanese_locale() {
  if ! locale -a 2>/dev/null | grep -qi '^ja_JP\.utf-\?8$'; then
    echo "generating the ja_JP.UTF-8 locale"
    localedef -i ja_JP -f UTF-8 ja_JP.UTF-8 || return 1
  fi
}

# Wine in its own prefix, with the Japanese ANSI code page (932) and no debug noise.
start_wine() {
  export WINEPREFIX="$1"
  export WINEDEBUG=-all
  export LANG=ja_JP.UTF-8
  export LC_ALL=ja_JP.UTF-8
  export WINEDLLOVERRIDES="mscoree,mshtml="
  mkdir -p "${WINEPREFIX}"
  # A persistent server, and the prefix's services started here: a service that a test's
  # first Wine process started would hold CTest's output pipe open until it ends.
  wineserver -p >/dev/null 2>&1
  wineboot --init >/dev/null 2>&1
}

stop_wine() {
  wineserver -k >/dev/null 2>&1 || true
}
