# Shared by scripts/demo and scripts/test: installs what is missing and builds.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
JOBS="${JOBS:-2}"

as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# need_packages PKG...: installs those not yet installed.
need_packages() {
    local missing=()
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
    done
    if [ "${#missing[@]}" -gt 0 ]; then
        echo "== installing: ${missing[*]}"
        as_root apt-get update -qq
        as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
            "${missing[@]}" >/dev/null
    fi
}

BASE_PACKAGES=(build-essential cmake pkg-config util-linux procps libgtest-dev zlib1g-dev
               libmosquitto-dev mosquitto liblua5.1-0-dev lua-cjson lua5.1 nlohmann-json3-dev
               openssl)

# build DIR [cmake options...]: configures (once) and builds the tree in DIR.
build() {
    local dir="$1"; shift
    cmake -S "$ROOT" -B "$ROOT/$dir" -DAPM_WERROR=ON "$@" >/dev/null
    cmake --build "$ROOT/$dir" -j "$JOBS"
}
