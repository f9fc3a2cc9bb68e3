# shellcheck shell=bash disable=SC2034
# Helpers of the Wine runs of the real Windows program: a virtual X display, private Wine
# prefixes with the Japanese code page and a Japanese font, windows found by title with
# xdotool and answered with key presses, every wait bounded, and the texts the program
# showed read back out of Wine's debug log. Sourced by run_gui_tests.sh and
# make_screenshots.sh.

GUI_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
GUI_WAIT=${GUI_WAIT:-20}  # seconds that any one window, exit or step may take
GUI_DEADLINE=             # when set (in SECONDS), no wait goes past it
GUI_XVFB_PID=
GUI_PID=
GUI_PREFIXES=()
GUI_LANG=ja_JP.UTF-8  # the Unix locale Wine runs under: its ANSI code page 932

# Window titles. The message boxes carry their caption; a box without one (every stop)
# gets the system's "エラー"; the folder dialog's own title is Wine's "フォルダーの参照".
GUI_TITLE_DIALOG='フォルダーの参照'
GUI_TITLE_CONFIRM='確認'
GUI_TITLE_DONE='お知らせ'
GUI_TITLE_STOP='エラー'
# The same two of Wine under a Western locale (en_US.UTF-8: code page 1252).
GUI_TITLE_DIALOG_WESTERN='Browse for Folder'
GUI_TITLE_STOP_WESTERN='Error'

# The program's texts (UTF-8 here; the program holds them in Shift-JIS).
GUI_TEXT_DIALOG='パッチを当てるディレクトリを選択してください'
GUI_TEXT_CONFIRM='ファイルのアップデートを開始します。よろしいですか？'
GUI_TEXT_DONE='ファイルの更新が完了しました'
GUI_TEXT_DAMAGED='パッチファイルが破損しています'
GUI_TEXT_MISMATCH='ファイルのバージョンが異なります'
GUI_TEXT_ABORTED='処理を中断しました'
GUI_TEXT_SOURCE_MISSING='アップデート元のファイルが存在しません(or開けません)'
GUI_TEXT_RESUME='前回のアップデートが途中で中断されています。アップデートを再開しますか？'
GUI_CONSOLE_LINES=(
  'パッチファイルの検証中...'
  'アップデート対象のファイルを検証中...'
  'ファイルのバックアップを作成しています...'
  'ファイルにパッチを適用しています...'
  '更新後のファイルをチェック中...'
)
GUI_CONSOLE_CHECKED='>> チェック完了.'
GUI_CONSOLE_APPLIED='>> 更新完了.'
GUI_CONSOLE_UNFINISHED='前回のアップデートが完了していません。'

gui_note() { printf '    %s\n' "$*"; }

# The end of a wait that starts now: GUI_WAIT seconds, or less when GUI_DEADLINE is nearer.
gui_wait_end() {
  local end=$((SECONDS + GUI_WAIT))
  if [ -n "${GUI_DEADLINE}" ] && ((GUI_DEADLINE < end)); then end=${GUI_DEADLINE}; fi
  echo "${end}"
}

# The Windows path of a file below / (drive Z: of every fresh prefix).
gui_z_path() {
  local path=$1
  printf 'Z:%s' "${path//\//\\}"
}

gui_require_tools() {
  local tool missing=()
  for tool in wine wineboot wineserver Xvfb xdotool python3 "$@"; do
    command -v "$tool" >/dev/null 2>&1 || missing+=("$tool")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "missing tools: ${missing[*]} (scripts/test installs them)" >&2
    return 1
  fi
  local locale
  for locale in ja_JP en_US; do
    if ! locale -a 2>/dev/null | grep -qi "^${locale}\.utf-\?8\$"; then
      echo "the ${locale}.UTF-8 locale is missing (scripts/test generates it)" >&2
      return 1
    fi
  done
}

# Xvfb on a display number of its own choosing, with a plain desktop colour.
gui_start_display() {
  local folder=$1
  local numberFile="${folder}/xvfb.display"
  rm -f "${numberFile}"
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp -noreset 3>"${numberFile}" \
    >"${folder}/xvfb.log" 2>&1 &
  GUI_XVFB_PID=$!
  local i
  for ((i = 0; i < 50; i++)); do
    if [ -s "${numberFile}" ]; then
      DISPLAY=":$(head -n1 "${numberFile}")"
      export DISPLAY
      if command -v xsetroot >/dev/null 2>&1; then xsetroot -solid '#3a6ea5' || true; fi
      return 0
    fi
    kill -0 "${GUI_XVFB_PID}" 2>/dev/null || break
    sleep 0.2
  done
  echo "Xvfb did not start:" >&2
  cat "${folder}/xvfb.log" >&2
  return 1
}

gui_stop_display() {
  if [ -n "${GUI_XVFB_PID}" ]; then
    kill "${GUI_XVFB_PID}" 2>/dev/null
    wait "${GUI_XVFB_PID}" 2>/dev/null
    GUI_XVFB_PID=
  fi
}

# Runs a command with Wine set up for one prefix: the locale GUI_LANG (Japanese: ANSI
# code page 932), no Mono or Gecko installers, no debug output unless WINEDEBUG is given.
gui_in_prefix() {
  local prefix=$1
  shift
  env WINEPREFIX="${prefix}" WINEDEBUG="${GUI_WINEDEBUG:--all}" LANG="${GUI_LANG}" \
    LC_ALL="${GUI_LANG}" WINEDLLOVERRIDES="mscoree,mshtml=" "$@"
}

# Ends every Wine process of one of our own prefixes (never anyone else's server).
gui_kill_prefix() {
  local prefix=$1
  [ -d "${prefix}" ] || return 0
  gui_in_prefix "${prefix}" timeout 20 wineserver -k >/dev/null 2>&1
  gui_in_prefix "${prefix}" timeout 20 wineserver -w >/dev/null 2>&1
  return 0
}

gui_cleanup() {
  local prefix
  if [ -n "${GUI_PID}" ]; then kill -9 "${GUI_PID}" 2>/dev/null; fi
  for prefix in "${GUI_PREFIXES[@]}"; do gui_kill_prefix "${prefix}"; done
  gui_stop_display
}

# A fresh prefix: booted, then the font that draws the Japanese dialog texts
# (IPAGothic for "MS Shell Dlg"), windows drawn by Wine with their title bars (there is
# no window manager), and a console font with Japanese glyphs.
gui_boot_prefix() {
  local prefix=$1 log=$2
  rm -rf "${prefix}"
  mkdir -p "${prefix}"
  GUI_PREFIXES+=("${prefix}")
  {
    gui_in_prefix "${prefix}" timeout 180 wineboot --init &&
      gui_in_prefix "${prefix}" wine reg add \
        'HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontSubstitutes' \
        /v 'MS Shell Dlg' /t REG_SZ /d IPAGothic /f &&
      gui_in_prefix "${prefix}" wine reg add 'HKCU\Software\Wine\X11 Driver' \
        /v Managed /t REG_SZ /d N /f &&
      gui_in_prefix "${prefix}" wine reg add 'HKCU\Console' \
        /v FaceName /t REG_SZ /d IPAGothic /f &&
      gui_in_prefix "${prefix}" timeout 60 wineserver -w
  } >"${log}" 2>&1
}

# A scenario's own prefix: a copy of the booted one, so every run starts from the same
# fresh state without booting again.
gui_copy_prefix() {
  local from=$1 to=$2
  rm -rf "${to}"
  GUI_PREFIXES+=("${to}")
  cp -a "${from}" "${to}"
}

# Starts a Windows program in a prefix with `cwd` as its current folder, its standard
# output and Wine's trace of console, message-box and window texts in `log`.*.
gui_launch() {
  local prefix=$1 cwd=$2 program=$3 log=$4
  (
    cd "${cwd}" || exit 99
    exec env WINEPREFIX="${prefix}" WINEDEBUG='-all,+console,+msgbox,+win' \
      LANG="${GUI_LANG}" LC_ALL="${GUI_LANG}" WINEDLLOVERRIDES="mscoree,mshtml=" wine "${program}"
  ) >"${log}.out" 2>"${log}.trace" &
  GUI_PID=$!
}

# The newest visible window whose title is exactly `title`, waited for up to GUI_WAIT
# seconds; prints its id. Fails at once if the program has ended without it.
gui_wait_window() {
  local title=$1 deadline ids
  deadline=$(gui_wait_end)
  while ((SECONDS < deadline)); do
    ids=$(xdotool search --onlyvisible --name "^${title}\$" 2>/dev/null)
    if [ -n "${ids}" ]; then
      sleep 0.5  # let the dialog finish setting itself up before keys arrive
      ids=$(xdotool search --onlyvisible --name "^${title}\$" 2>/dev/null)
      if [ -n "${ids}" ]; then
        printf '%s\n' "${ids}" | tail -n1
        return 0
      fi
    fi
    if [ -n "${GUI_PID}" ] && ! kill -0 "${GUI_PID}" 2>/dev/null; then
      echo "the program ended without showing \"${title}\"" >&2
      return 1
    fi
    sleep 0.2
  done
  echo "no window \"${title}\" in time" >&2
  return 1
}

# Waits until the window is gone (answered), up to GUI_WAIT seconds.
gui_wait_gone() {
  local window=$1 deadline
  deadline=$(gui_wait_end)
  while ((SECONDS < deadline)); do
    xdotool search --onlyvisible --name '.' 2>/dev/null | grep -qx "${window}" || return 0
    sleep 0.2
  done
  echo "window ${window} still open" >&2
  return 1
}

# Gives the window the keyboard focus and presses the keys (xdotool names: Return,
# Escape, alt+y, Tab, ...).
gui_keys() {
  local window=$1
  shift
  timeout 10 xdotool windowfocus --sync "${window}" 2>/dev/null ||
    xdotool windowfocus "${window}" 2>/dev/null
  sleep 0.2
  xdotool key --clearmodifiers "$@"
}

gui_title() { xdotool getwindowname "$1" 2>/dev/null; }

# The console window the program opened: its title is the program's path.
gui_console_window() {
  xdotool search --onlyvisible --name 'zt4patch\.exe$' 2>/dev/null | tail -n1
}

# Waits for the program to end, up to GUI_WAIT seconds; its exit status in GUI_STATUS.
gui_wait_exit() {
  local deadline
  deadline=$(gui_wait_end)
  GUI_STATUS=
  while ((SECONDS < deadline)); do
    if ! kill -0 "${GUI_PID}" 2>/dev/null; then
      wait "${GUI_PID}"
      GUI_STATUS=$?
      GUI_PID=
      return 0
    fi
    sleep 0.2
  done
  echo "the program did not end in time" >&2
  return 1
}

# The texts out of a run's trace: gui_console LOG / gui_window_texts LOG.
gui_console() { python3 "${GUI_DIR}/wine_texts.py" console "$1.trace"; }
gui_window_texts() { python3 "${GUI_DIR}/wine_texts.py" windows "$1.trace"; }

# A screenshot of the whole screen, or of the area of the given windows (with a margin).
gui_shot() {
  local file=$1
  shift
  if [ $# -eq 0 ]; then
    import -window root -strip "${file}"
    return
  fi
  local x0=100000 y0=100000 x1=0 y1=0 window X Y WIDTH HEIGHT SCREEN
  for window in "$@"; do
    eval "$(xdotool getwindowgeometry --shell "${window}")"
    ((X < x0)) && x0=$X
    ((Y < y0)) && y0=$Y
    ((X + WIDTH > x1)) && x1=$((X + WIDTH))
    ((Y + HEIGHT > y1)) && y1=$((Y + HEIGHT))
  done
  local margin=8
  x0=$((x0 > margin ? x0 - margin : 0))
  y0=$((y0 > margin ? y0 - margin : 0))
  import -window root -crop "$((x1 - x0 + margin))x$((y1 - y0 + margin))+${x0}+${y0}" \
    +repage -strip "${file}"
}
