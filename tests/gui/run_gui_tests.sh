#!/usr/bin/env bash
# The real zt4patch.exe under Wine, driven as a user drives it: a virtual X display,
# key presses into its folder dialog and message boxes, then the install on disk, the
# exit status and the texts it showed are checked. One fresh prefix per run, copied for
# every scenario.
#
#   run_gui_tests.sh --program zt4patch.exe --sample zt4_gui_sample.exe
#                    [--mkpatch zt4mkpatch.exe] --work FOLDER [--keep] [--shots FOLDER]
#                    [SCENARIO...]
#
# Scenarios: success cancel no tampered missing western resume (all by default). Prints
# PASS or FAIL per scenario and exits non-zero when one failed. --keep leaves the prefixes
# in place; --shots saves screenshots of the windows of the success, tampered, western and
# resume scenarios.
# Limits in seconds: GUI_WAIT (one window or exit, 20), GUI_SCENARIO_LIMIT (one scenario,
# 60), GUI_BUDGET (no scenario starts after this much of the run, 240).
set -u
. "$(dirname "$0")/gui_lib.sh"

program='' sample='' mkpatch='' work='' keep=0 shots=''
scenarios=()
while [ $# -gt 0 ]; do
  case "$1" in
    --program) program=$2; shift 2 ;;
    --sample) sample=$2; shift 2 ;;
    --mkpatch) mkpatch=$2; shift 2 ;;
    --work) work=$2; shift 2 ;;
    --keep) keep=1; shift ;;
    --shots) shots=$2; shift 2 ;;
    -*) echo "unknown option $1" >&2; exit 2 ;;
    *) scenarios+=("$1"); shift ;;
  esac
done
if [ -z "${program}" ] || [ -z "${sample}" ] || [ -z "${work}" ]; then
  sed -n '2,16p' "$0" >&2
  exit 2
fi
[ ${#scenarios[@]} -gt 0 ] || scenarios=(success cancel no tampered missing western resume)
gui_require_tools ${shots:+import} || exit 1
for file in "${program}" "${sample}" ${mkpatch:+"${mkpatch}"}; do
  [ -f "${file}" ] || { echo "no such program: ${file}" >&2; exit 1; }
done
program=$(realpath "${program}")
sample=$(realpath "${sample}")
[ -z "${mkpatch}" ] || mkpatch=$(realpath "${mkpatch}")

started=${SECONDS}
rm -rf "${work}"
mkdir -p "${work}"
work=$(cd "${work}" && pwd)
trap gui_cleanup EXIT
trap 'exit 130' INT TERM

# ---------------------------------------------------------------------------------------
# Set-up shared by the scenarios: display, booted prefix, the two installs and the patch.

gui_start_display "${work}" || exit 1
echo "display ${DISPLAY}; booting a fresh Wine prefix"
base="${work}/prefix"
if ! gui_boot_prefix "${base}" "${work}/boot.log"; then
  echo "FAIL: the Wine prefix did not boot (${work}/boot.log)"
  exit 1
fi

sampleDir="${work}/sample"
mkdir -p "${sampleDir}"
if ! gui_in_prefix "${base}" timeout 120 wine "${sample}" "$(gui_z_path "${sampleDir}")" \
  >"${work}/sample.log" 2>&1; then
  echo "FAIL: the sample install could not be written"
  cat "${work}/sample.log"
  exit 1
fi
if [ -n "${mkpatch}" ]; then
  echo "patch made by zt4mkpatch"
  # A changed file whose name ends in the trail byte 0x5C (表 is 95 5C in Shift-JIS).
  printf 'old table\n' >"${sampleDir}/old/表.txt"
  printf 'the new table\n' >"${sampleDir}/new/表.txt"
  if ! (cd "${sampleDir}" &&
    gui_in_prefix "${base}" timeout 120 wine "${mkpatch}" old new patch.zt4) \
    >"${work}/mkpatch.log" 2>&1; then
    echo "FAIL: zt4mkpatch could not make the patch"
    cat "${work}/mkpatch.log"
    exit 1
  fi
  # The default form: the runs below apply a compact patch.
  if ! grep -q "^compact: " "${work}/mkpatch.log"; then
    echo "FAIL: zt4mkpatch did not make a compact patch"
    cat "${work}/mkpatch.log"
    exit 1
  fi
  echo "a compact patch: $(grep "^compact: " "${work}/mkpatch.log")"
else
  echo "patch made by hand (no zt4mkpatch in this build)"
  cp "${sampleDir}/handmade.zt4" "${sampleDir}/patch.zt4"
fi
gui_kill_prefix "${base}"
echo "set-up took $((SECONDS - started))s"

# ---------------------------------------------------------------------------------------
# One scenario: its prefix, the install in C:\ゲーム\ソフト, the program and its patch in
# C:\zt4patch, started with the install as current folder. The western scenario runs
# Wine under a Western locale (ANSI code page 1252) with folders named in it.

failures=()
problem() {
  echo "    problem: $*"
  scenarioOk=0
}

prepare() {
  local name=$1
  folder="${work}/${name}"
  prefix="${folder}/prefix"
  if [ "${name}" = western ]; then
    GUI_LANG=en_US.UTF-8 programFolder='Café' targetFolder='Jeux/Café/ソフト'
  else
    GUI_LANG=ja_JP.UTF-8 programFolder='zt4patch' targetFolder='ゲーム/ソフト'
  fi
  programDir="${prefix}/drive_c/${programFolder}"
  target="${prefix}/drive_c/${targetFolder}"
  log="${folder}/run"
  mkdir -p "${folder}"
  gui_copy_prefix "${base}" "${prefix}"
  mkdir -p "${programDir}" "${target}"
  cp "${program}" "${programDir}/zt4patch.exe"
  cp "${sampleDir}/patch.zt4" "${programDir}/patch.zt4"
  cp -a "${sampleDir}/old/." "${target}/"
}

snapshot() { rm -rf "${folder}/before" && cp -a "${target}" "${folder}/before"; }

# Wine's folder dialog finds the folder to preselect by comparing its records byte for
# byte, last-access time included. A folder never read since it was made gets a new
# access time when the dialog reads it, and the preselection then misses it. A used
# install has been read before; this one is read once here.
start() {
  find "${prefix}/drive_c" -maxdepth 3 >/dev/null
  gui_launch "${prefix}" "${target}" "C:\\${programFolder}\\zt4patch.exe" "${log}"
}

# Waits for a window and checks its title; the id in `window`.
expect_window() {
  local title=$1
  window=$(gui_wait_window "${title}") || {
    problem "no window \"${title}\""
    return 1
  }
  gui_note "window \"$(gui_title "${window}")\""
}

# A screenshot for the documentation (with --shots): the area of the given windows.
shot() {
  [ -n "${shots}" ] || return 0
  local file=$1
  shift
  mkdir -p "${shots}"
  sleep 1  # Wine paints after the window appears
  if gui_shot "${shots}/${file}" "$@"; then
    gui_note "screenshot ${file}"
  else
    problem "no screenshot ${file}"
  fi
}

answer() {
  gui_keys "${window}" "$@"
  gui_wait_gone "${window}" || problem "window \"$(gui_title "${window}")\" still open after $*"
}

expect_exit_zero() {
  if ! gui_wait_exit; then
    problem "the program did not end"
    return 1
  fi
  gui_note "exit status ${GUI_STATUS}"
  [ "${GUI_STATUS}" = 0 ] || problem "exit status ${GUI_STATUS}, not 0"
}

# The window texts, in the order they were set, must hold `expected` in this order and
# none of `absent` (arguments after --).
expect_texts() {
  local texts="${folder}/windows.txt" line previous=0 text
  gui_window_texts "${log}" >"${texts}"
  while [ $# -gt 0 ] && [ "$1" != -- ]; do
    text=$1
    shift
    line=$(grep -nxF -- "${text}" "${texts}" | head -n1 | cut -d: -f1)
    if [ -z "${line}" ]; then
      problem "no window showed \"${text}\""
    elif ((line < previous)); then
      problem "\"${text}\" shown out of order"
    else
      gui_note "shown: ${text}"
      previous=${line}
    fi
  done
  [ "${1:-}" = -- ] && shift
  for text in "$@"; do
    if grep -qxF -- "${text}" "${texts}"; then problem "\"${text}\" was shown"; fi
  done
}

# The console output must hold the first `count` console lines in order, and no later one.
expect_console_lines() {
  local count=$1 console="${folder}/console.txt" i offset previous=-1 wasOk=${scenarioOk}
  scenarioOk=1
  gui_console "${log}" >"${console}"
  for ((i = 0; i < ${#GUI_CONSOLE_LINES[@]}; i++)); do
    offset=$(grep -boF -- "${GUI_CONSOLE_LINES[i]}" "${console}" | head -n1 | cut -d: -f1)
    if ((i < count)); then
      if [ -z "${offset}" ]; then
        problem "console line $((i + 1)) \"${GUI_CONSOLE_LINES[i]}\" missing"
      elif ((offset < previous)); then
        problem "console line $((i + 1)) out of order"
      else
        previous=${offset}
      fi
    elif [ -n "${offset}" ]; then
      problem "console line $((i + 1)) \"${GUI_CONSOLE_LINES[i]}\" written"
    fi
  done
  ((scenarioOk)) && gui_note "console lines 1-${count} in order, no later one"
  ((wasOk)) || scenarioOk=0
}

# expect_same EXPECTED ACTUAL "what holds" "what does not" [diff options...]
expect_same() {
  local expected="$1" actual="$2" good="$3" bad="$4"
  shift 4
  if ! diff -r "$@" "${expected}" "${actual}" >"${folder}/diff.txt" 2>&1; then
    problem "${bad}:"
    sed 's/^/      /' "${folder}/diff.txt" | head -n 20
  else
    gui_note "${good}"
  fi
}

expect_untouched() {
  expect_same "${folder}/before" "${target}" "install untouched" "the install was changed"
}

expect_updated() {
  expect_same "${sampleDir}/new" "${target}" "install equals the new version" \
    "the install is not the new version" --exclude=BACKUP_FILES
  expect_same "${sampleDir}/old" "${target}/BACKUP_FILES" "BACKUP_FILES holds the old version" \
    "BACKUP_FILES does not hold the old version"
}

# ---------------------------------------------------------------------------------------
# The scenarios.

# The dialog opens on the current folder, Enter takes it; Yes at the confirmation (No is
# the default); Enter on the completion box.
scenario_success() {
  start
  expect_window "${GUI_TITLE_DIALOG}" || return
  # The dialog reports the folder it selected by the name it gives the selection.
  if gui_window_texts "${log}" | grep -qxF 'ソフト'; then
    gui_note "the dialog opened with ソフト selected"
  else
    problem "the dialog did not select the current folder"
  fi
  shot folder-dialog.png "${window}"
  answer Return
  expect_window "${GUI_TITLE_CONFIRM}" || return
  shot confirm.png "${window}"
  answer alt+y
  expect_window "${GUI_TITLE_DONE}" || return
  shot done.png "${window}"
  local console
  console=$(gui_console_window)
  shot console.png "${window}" ${console:+"${console}"}
  answer Return
  expect_exit_zero
  expect_texts "${GUI_TEXT_DIALOG}" "${GUI_TEXT_CONFIRM}" "${GUI_TEXT_DONE}" -- \
    "${GUI_TEXT_ABORTED}" "${GUI_TEXT_DAMAGED}" "${GUI_TEXT_MISMATCH}"
  expect_console_lines 5
  local console="${folder}/console.txt"
  grep -qE $'\r *[0-9]+/ *[0-9]+ \\([0-9]+%\\)' "${console}" || problem "no progress line"
  grep -qF -- "${GUI_CONSOLE_CHECKED}" "${console}" || problem "no \"${GUI_CONSOLE_CHECKED}\""
  grep -qF -- "${GUI_CONSOLE_APPLIED}" "${console}" || problem "no \"${GUI_CONSOLE_APPLIED}\""
  expect_updated
}

# Escape in the folder dialog.
scenario_cancel() {
  snapshot
  start
  expect_window "${GUI_TITLE_DIALOG}" || return
  answer Escape
  expect_window "${GUI_TITLE_STOP}" || return
  answer Return
  expect_exit_zero
  expect_texts "${GUI_TEXT_DIALOG}" "${GUI_TEXT_ABORTED}" -- "${GUI_TEXT_CONFIRM}"
  expect_console_lines 1
  expect_untouched
}

# Enter at the confirmation takes its default, No.
scenario_no() {
  snapshot
  start
  expect_window "${GUI_TITLE_DIALOG}" || return
  answer Return
  expect_window "${GUI_TITLE_CONFIRM}" || return
  answer Return
  expect_window "${GUI_TITLE_STOP}" || return
  answer Return
  expect_exit_zero
  expect_texts "${GUI_TEXT_DIALOG}" "${GUI_TEXT_CONFIRM}" "${GUI_TEXT_ABORTED}" -- \
    "${GUI_TEXT_DONE}"
  expect_console_lines 2
  expect_untouched
}

# An old file that differs from the one the patch was made for: stopped before the
# confirmation.
scenario_tampered() {
  printf 'changed by hand\n' >>"${target}/readme.txt"
  snapshot
  start
  expect_window "${GUI_TITLE_DIALOG}" || return
  answer Return
  expect_window "${GUI_TITLE_STOP}" || return
  shot version-mismatch.png "${window}"
  answer Return
  expect_exit_zero
  expect_texts "${GUI_TEXT_DIALOG}" "${GUI_TEXT_MISMATCH}" -- "${GUI_TEXT_CONFIRM}"
  expect_console_lines 2
  expect_untouched
}

# No patch.zt4 beside the program: stopped before the folder dialog.
scenario_missing() {
  rm -f "${programDir}/patch.zt4"
  snapshot
  start
  expect_window "${GUI_TITLE_STOP}" || return
  answer Return
  expect_exit_zero
  expect_texts "${GUI_TEXT_DAMAGED}" -- "${GUI_TEXT_DIALOG}" "${GUI_TEXT_CONFIRM}"
  expect_console_lines 1
  expect_untouched
}

# Windows set to a Western code page (1252), where é is a lead byte of Shift-JIS: the
# program in C:\Café finds its patch, updates C:\Jeux\Café\ソフト, the files get their
# Japanese names, and boxes and console show Japanese (the confirmation is photographed).
scenario_western() {
  start
  expect_window "${GUI_TITLE_DIALOG_WESTERN}" || return
  if gui_window_texts "${log}" | grep -qxF 'ソフト'; then
    gui_note "the dialog opened with ソフト selected"
  else
    problem "the dialog did not select the current folder"
  fi
  answer Return
  expect_window "${GUI_TITLE_CONFIRM}" || return
  shot confirm-cp1252.png "${window}"
  answer alt+y
  expect_window "${GUI_TITLE_DONE}" || return
  answer Return
  expect_exit_zero
  expect_texts "${GUI_TEXT_DIALOG}" "${GUI_TEXT_CONFIRM}" "${GUI_TEXT_DONE}" -- \
    "${GUI_TEXT_ABORTED}" "${GUI_TEXT_DAMAGED}" "${GUI_TEXT_MISMATCH}"
  expect_console_lines 5
  expect_updated
  if [ -n "${mkpatch}" ]; then
    if [ "$(cat "${target}/表.txt" 2>/dev/null)" = 'the new table' ] &&
      [ -f "${target}/BACKUP_FILES/表.txt" ]; then
      gui_note "表.txt updated under its own name, the old one in BACKUP_FILES"
    else
      problem "表.txt was not updated under its own name"
    fi
  fi
}

# Another program holding a file open, as a user's own may (the sample's --hold mode): it
# shares only the file's deletion, so the file can be renamed while nobody else can open
# it. Waits until it holds the file; release_file lets it go.
holderPid=''
hold_file() {
  local file=$1 deadline
  holderReady="${folder}/holder.ready" holderRelease="${folder}/holder.release"
  rm -f "${holderReady}" "${holderRelease}"
  gui_in_prefix "${prefix}" timeout 90 wine "${sample}" --hold "${file}" \
    "$(gui_z_path "${holderReady}")" "$(gui_z_path "${holderRelease}")" \
    >"${folder}/holder.log" 2>&1 &
  holderPid=$!
  deadline=$(gui_wait_end)
  while ((SECONDS < deadline)); do
    if [ -f "${holderReady}" ]; then
      gui_note "another program holds ${file}"
      return 0
    fi
    kill -0 "${holderPid}" 2>/dev/null || break
    sleep 0.2
  done
  problem "no other program took hold of ${file}"
  sed 's/^/      /' "${folder}/holder.log" | head -n 5
  return 1
}

release_file() {
  [ -n "${holderPid}" ] || return 0
  touch "${holderRelease}"
  local deadline status
  deadline=$(gui_wait_end)
  while ((SECONDS < deadline)) && kill -0 "${holderPid}" 2>/dev/null; do sleep 0.2; done
  if kill -0 "${holderPid}" 2>/dev/null; then
    problem "the program holding the file did not end; ended it"
    kill -9 "${holderPid}" 2>/dev/null
  fi
  wait "${holderPid}" 2>/dev/null
  status=$?
  holderPid=''
  [ "${status}" = 0 ] || problem "the program holding the file ended with status ${status}"
}

# The console output must hold these lines in this order (each found after the one before).
expect_console_order() {
  local console="${folder}/console.txt" rest text wasOk=${scenarioOk}
  scenarioOk=1
  gui_console "${log}" >"${console}"
  rest=$(cat "${console}")
  for text in "$@"; do
    if [[ "${rest}" != *"${text}"* ]]; then
      if grep -qF -- "${text}" "${console}"; then
        problem "console line \"${text}\" out of order"
      else
        problem "console line \"${text}\" missing"
      fi
      continue
    fi
    rest=${rest#*"${text}"}
  done
  ((scenarioOk)) && gui_note "console lines in order: $*"
  ((wasOk)) || scenarioOk=0
}

# An update cut short after its backup, then run again. The first run: a changed file
# (readme.txt) is held open by another program once the old files are verified; the
# backup moves it into BACKUP_FILES, the apply pass cannot open it there and stops,
# leaving the backup and its journal. The second run asks whether to finish it, Yes
# finishes it.
scenario_resume() {
  log="${folder}/first"
  resume_cut
  release_file
  ((scenarioOk)) || return
  log="${folder}/second"
  start
  expect_window "${GUI_TITLE_DIALOG}" || return
  answer Return
  expect_window "${GUI_TITLE_CONFIRM}" || return
  shot resume.png "${window}"
  answer alt+y
  expect_window "${GUI_TITLE_DONE}" || return
  answer Return
  expect_exit_zero
  expect_texts "${GUI_TEXT_DIALOG}" "${GUI_TEXT_RESUME}" "${GUI_TEXT_DONE}" -- \
    "${GUI_TEXT_CONFIRM}" "${GUI_TEXT_ABORTED}" "${GUI_TEXT_SOURCE_MISSING}" \
    "${GUI_TEXT_MISMATCH}" "${GUI_TEXT_DAMAGED}"
  expect_console_order "${GUI_CONSOLE_LINES[0]}" "${GUI_CONSOLE_UNFINISHED}" \
    "${GUI_CONSOLE_LINES[2]}" "${GUI_CONSOLE_LINES[1]}" "${GUI_CONSOLE_CHECKED}" \
    "${GUI_CONSOLE_LINES[3]}" "${GUI_CONSOLE_APPLIED}" "${GUI_CONSOLE_LINES[4]}"
  expect_updated
}

resume_cut() {
  start
  expect_window "${GUI_TITLE_DIALOG}" || return
  answer Return
  expect_window "${GUI_TITLE_CONFIRM}" || return
  # The old files are verified and closed by now.
  hold_file "C:\\${targetFolder//\//\\}\\readme.txt" || return
  answer alt+y
  expect_window "${GUI_TITLE_STOP}" || return
  answer Return
  expect_exit_zero
  expect_texts "${GUI_TEXT_DIALOG}" "${GUI_TEXT_CONFIRM}" "${GUI_TEXT_SOURCE_MISSING}" -- \
    "${GUI_TEXT_RESUME}" "${GUI_TEXT_ABORTED}" "${GUI_TEXT_DONE}"
  expect_console_lines 4
  grep -qF -- "${GUI_CONSOLE_UNFINISHED}" "${folder}/console.txt" &&
    problem "the first run found an unfinished update"
  if [ -f "${target}/BACKUP_FILES/readme.txt" ] && [ ! -e "${target}/readme.txt" ]; then
    gui_note "the held readme.txt was moved into BACKUP_FILES"
  else
    problem "the held readme.txt is not (only) in BACKUP_FILES"
  fi
  local journal
  journal=$(find "${target}/BACKUP_FILES" -maxdepth 1 -name 'zt4journal*' 2>/dev/null | head -n1)
  if [ -n "${journal}" ]; then
    gui_note "BACKUP_FILES holds the journal ${journal##*/}"
  else
    problem "no journal in BACKUP_FILES"
  fi
}

# The whole run stays inside CTest's limit: once this budget is spent, the scenarios
# left are counted as failed without being started.
budget=${GUI_BUDGET:-240}
passed=0
for name in "${scenarios[@]}"; do
  if ((SECONDS - started > budget)); then
    echo "FAIL ${name} (not started: the run took more than ${budget}s)"
    failures+=("${name}")
    continue
  fi
  if ! declare -F "scenario_${name}" >/dev/null; then
    echo "unknown scenario ${name}" >&2
    failures+=("${name}")
    continue
  fi
  echo "--- ${name}"
  scenarioStart=${SECONDS}
  scenarioOk=1
  prepare "${name}"
  GUI_DEADLINE=$((SECONDS + ${GUI_SCENARIO_LIMIT:-60}))  # every wait of a scenario ends by then
  "scenario_${name}"
  GUI_DEADLINE=
  if ((scenarioOk == 0)); then
    gui_shot "${folder}/failure.png" 2>/dev/null
    echo "    (log, trace and a screenshot in ${folder})"
  fi
  if [ -n "${GUI_PID}" ]; then
    if kill -0 "${GUI_PID}" 2>/dev/null; then
      problem "the program was still running; ended it"
      kill -9 "${GUI_PID}" 2>/dev/null
    fi
    wait "${GUI_PID}" 2>/dev/null
    GUI_PID=
  fi
  gui_kill_prefix "${prefix}"
  if ((keep == 0)); then rm -rf "${prefix}"; fi
  if ((scenarioOk)); then
    echo "PASS ${name} ($((SECONDS - scenarioStart))s)"
    passed=$((passed + 1))
  else
    echo "FAIL ${name} ($((SECONDS - scenarioStart))s)"
    failures+=("${name}")
  fi
done

if ((keep == 0)); then rm -rf "${base}"; fi
echo "Wine GUI scenarios: ${passed} passed, ${#failures[@]} failed in $((SECONDS - started))s"
[ ${#failures[@]} -eq 0 ]
