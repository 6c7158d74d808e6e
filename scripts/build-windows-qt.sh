#!/usr/bin/env bash
# Builds the Qt the Windows editor is linked against, from Debian's own
# source of the Qt installed on this machine (its host tools, moc and uic,
# generate the code the cross build compiles), with the MinGW-w64 compiler
# the project's Windows build uses. Only what the editor needs is built:
# Core, Gui, Widgets and Test, the Windows and offscreen platform plugins
# and the Windows style, as shared DLLs (Qt is under the LGPL: a user may
# swap them), each carrying the compiler's runtime and zlib so that nothing
# but Windows' own DLLs is needed beside them (the toolchain file's link
# flags).
#
# The result goes into a cache folder outside the clone, named by the Qt
# version and a digest of the options below, and is reused whenever it is
# complete there. Prints that folder, alone, on standard output.
#   build-windows-qt.sh            build it unless it is there; print the folder
#   build-windows-qt.sh --where    print the folder only (nothing is built)
# QAX_WINDOWS_QT_CACHE names the folder the builds are kept in
# (default: ${XDG_CACHE_HOME:-~/.cache}/qaxedit/windows-qt).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"

qt_version=$(dpkg-query -W -f='${source:Version}' qt6-base-dev 2>/dev/null) || {
  echo "build-windows-qt.sh: qt6-base-dev is not installed (scripts/install-deps.sh installs it)" >&2
  exit 1
}

# Every option changes the folder's name: a build made with other options is
# never taken for this one.
qt_options=(
  -DBUILD_SHARED_LIBS=ON
  -DFEATURE_system_zlib=OFF            # Qt's own zlib, inside Qt6Core.dll
  -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF -DQT_BUILD_BENCHMARKS=OFF
  -DFEATURE_sql=OFF -DFEATURE_network=OFF -DFEATURE_dbus=OFF -DFEATURE_xml=OFF
  -DFEATURE_printsupport=OFF -DFEATURE_concurrent=OFF
  -DFEATURE_icu=OFF
  # The editor draws with the system's 2D calls; 6.4's Windows plugin does
  # not compile with OpenGL off unless its dynamic loading is off too.
  -DFEATURE_opengl=OFF -DFEATURE_dynamicgl=OFF -DINPUT_opengl=no
  -DFEATURE_vulkan=OFF
  -DFEATURE_tabletevent=OFF            # Debian's source leaves out wintab.h
  -DFEATURE_direct2d=OFF               # a second Windows platform plugin, unused
  # 6.4.2's Windows plugin takes the DirectWrite font database whenever
  # DirectWrite 3 is there, which Gui builds only along with Direct2D; the
  # plugin's default, the system's GDI fonts, needs neither.
  -DFEATURE_directwrite3=OFF
  -DFEATURE_sessionmanager=OFF
  -DFEATURE_imageformatplugin=OFF      # PNG is built in; no other format is read
  # Smaller DLLs to download, and a first build that fits a CI run: the
  # window's widgets lose nothing by it.
  -DFEATURE_optimize_size=ON
  # Widgets and documents the editor never shows, nor does the file dialog.
  -DFEATURE_graphicsview=OFF -DFEATURE_mdiarea=OFF -DFEATURE_calendarwidget=OFF
  -DFEATURE_datetimeedit=OFF -DFEATURE_colordialog=OFF -DFEATURE_fontdialog=OFF
  -DFEATURE_wizard=OFF -DFEATURE_dial=OFF -DFEATURE_lcdnumber=OFF -DFEATURE_splashscreen=OFF
  -DFEATURE_keysequenceedit=OFF -DFEATURE_fontcombobox=OFF -DFEATURE_toolbox=OFF
  -DFEATURE_undocommand=OFF -DFEATURE_textmarkdownreader=OFF -DFEATURE_textmarkdownwriter=OFF
  -DFEATURE_pdf=OFF -DFEATURE_movie=OFF
  -DFEATURE_style_stylesheet=OFF       # the window sets no style sheet
)
options_digest=$(printf '%s\n' "$qt_version" "${qt_options[@]}" | sha256sum | cut -c1-10)
cache_root="${QAX_WINDOWS_QT_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/qaxedit/windows-qt}"
prefix="$cache_root/qt6-base-${qt_version//[:~]/_}-mingw-w64-x86_64-shared-$options_digest"
complete_stamp="$prefix/.qaxedit-build-complete"

if [[ "${1:-}" == --where ]]; then
  echo "$prefix"
  exit 0
fi
if [[ -f "$complete_stamp" ]]; then
  echo "$prefix"
  exit 0
fi

# What follows talks on standard error: standard output carries the folder.
exec 3>&1 1>&2
started=$(date +%s)
echo "Building Qt $qt_version for Windows (once; kept in $prefix)"
work="$cache_root/work-$options_digest"
rm -rf "$work" "$prefix"
mkdir -p "$work"

# Debian's source of exactly the installed version, through a source entry
# of its own for the archive that version came from: the system's list of
# sources is left as it is.
apt_source_entry=$(apt-cache policy qt6-base-dev | awk -v want="$qt_version" '
  $1 == "***" && $2 == want { in_version = 1; next }
  in_version && $2 ~ /^[a-z]+:\/\// { split($3, suite, "/"); print $2, suite[1], suite[2]; exit }
  in_version && NF == 2 { exit }')
if [[ -z "$apt_source_entry" ]]; then
  echo "build-windows-qt.sh: no Debian archive offers qt6-base $qt_version any more" >&2
  exit 1
fi
read -r archive_uri suite component <<<"$apt_source_entry"
keyring=/usr/share/keyrings/debian-archive-keyring.gpg
signed_by=""
[[ -f "$keyring" ]] && signed_by="[signed-by=$keyring] "
echo "deb-src ${signed_by}$archive_uri $suite $component" >"$work/sources.list"
apt_options=(-o "Dir::Etc::SourceList=$work/sources.list" -o "Dir::Etc::SourceParts=-"
             -o "APT::Get::List-Cleanup=0" -o "APT::Sandbox::User=root")
as_root=()
[[ $(id -u) -ne 0 ]] && as_root=(sudo)
"${as_root[@]}" apt-get "${apt_options[@]}" update -qq
(cd "$work" && apt-get "${apt_options[@]}" source -qq "qt6-base=$qt_version" >/dev/null)
source_dir=$(find "$work" -mindepth 1 -maxdepth 1 -type d -name 'qt6-base-*' | head -n1)
[[ -n "$source_dir" ]] || { echo "build-windows-qt.sh: apt-get source unpacked nothing" >&2; exit 1; }

host_cmake_dir=/usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)/cmake
cmake -S "$source_dir" -B "$work/build" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_INSTALL_PREFIX="$prefix" \
  -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR="$host_cmake_dir" \
  "${qt_options[@]}" >"$work/configure.log" 2>&1 || {
    tail -n 40 "$work/configure.log" >&2
    echo "build-windows-qt.sh: Qt's configuration failed (the whole log: $work/configure.log)" >&2
    exit 1
  }
# Qt's own warnings would bury the test run's output: they go to a log, and
# every hundredth step shows that the build goes on.
if ! cmake --build "$work/build" --parallel "$(nproc)" 2>&1 | tee "$work/build.log" |
  awk '/^\[[0-9]+\/[0-9]+\]/ { gsub(/[][]/, "", $1); split($1, step, "/"); if (step[1] % 100 == 0) { print "  Qt for Windows: step " step[1] " of " step[2]; fflush() } }'; then
  tail -n 60 "$work/build.log" >&2
  echo "build-windows-qt.sh: Qt's build failed (the whole log: $work/build.log)" >&2
  exit 1
fi
cmake --install "$work/build" >/dev/null
# Qt's licence texts, shipped beside the DLLs.
mkdir -p "$prefix/licenses"
cp "$source_dir"/LICENSES/*.txt "$prefix/licenses/"
cp "$source_dir/debian/copyright" "$prefix/licenses/debian-copyright.txt"
rm -rf "$work"
touch "$complete_stamp"
echo "Qt for Windows built in $(( ($(date +%s) - started) / 60 )) min $(( ($(date +%s) - started) % 60 )) s"
echo "$prefix" >&3
