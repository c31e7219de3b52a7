# Installs the Debian packages a purpose needs, only those that are missing, quietly.
# Sourced by the other scripts.
deps_for() {
    local common="cmake ninja-build g++ clang libgtest-dev libgmock-dev pkg-config libssl-dev zlib1g-dev mktorrent transmission-cli tinyproxy microsocks dante-server nginx-light python3 libjsoncpp-dev libcurl4-openssl-dev libtinyxml-dev"
    # What each part of the program needs beyond the common list, one line each.
    local window=""
    local resources=""
    local ftp=""
    local bittorrent=""
    local parts="$window $resources $ftp $bittorrent"
    case "$1" in
        test) echo "$common $parts" ;;
        demo) echo "$common $parts" ;;
        bench) echo "$common $parts coreutils openssl curl aria2 time" ;;
    esac
}

install_deps() {
    local missing=()
    local p
    for p in $(deps_for "$1"); do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
    done
    if [ ${#missing[@]} -gt 0 ]; then
        echo "=== installing ${missing[*]}"
        local sudo=""
        [ "$(id -u)" -eq 0 ] || sudo="sudo"
        $sudo apt-get update -qq
        DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
    fi
}
