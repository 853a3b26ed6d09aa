#!/usr/bin/env bash
# Builds the Debian package corvan-proxy_<version>_<arch>.deb, installed under /usr:
#   package.sh        a Release build of its own in build-package/, without the tests
#   package.sh DIR    from the build tree DIR (configured for /usr, otherwise as it is)
# Prints the package's path.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=${1:-build-package}
options=(-DCMAKE_INSTALL_PREFIX=/usr)
if [ $# -eq 0 ]; then
  options+=(-DCMAKE_BUILD_TYPE=Release -DCORVAN_TESTS=OFF)
fi
bash "$root/scripts/build.sh" "$dir" "${options[@]}"
cd "$root/$dir"
rm -f corvan-proxy_*.deb
cpack -G DEB >/dev/null
ls "$root/$dir"/corvan-proxy_*.deb
