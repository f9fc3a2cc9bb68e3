#!/usr/bin/env bash
# The pictures of docs/windows-walkthrough.md: the Windows build's zt4patch.exe run under
# Wine through the success, tampered-file, Western-code-page and resume scenarios, each
# window photographed as it appears. Needs the Windows build (cmake --preset windows && cmake --build --preset
# windows).
#
#   tests/gui/make_screenshots.sh [BUILD_FOLDER]     (default: build/windows)
set -u
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-${root}/build/windows}
exec bash "${root}/tests/gui/run_gui_tests.sh" \
  --program "${build}/tools/zt4patch/zt4patch.exe" \
  --sample "${build}/tests/gui/zt4_gui_sample.exe" \
  --mkpatch "${build}/tools/zt4mkpatch/zt4mkpatch.exe" \
  --work "${build}/tests/gui/screenshots" \
  --shots "${root}/docs/images" \
  success tampered western resume
