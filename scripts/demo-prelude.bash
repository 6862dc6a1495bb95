# The start of every demo script (sourced): refuses to go on without root, installs what is
# missing and builds. Sets root (the repository) and binary (build/trafficgen).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

if ((EUID != 0)); then
    echo "The demo must run as root (it installs packages, creates a network namespace" >&2
    echo "and captures frames)." >&2
    exit 1
fi

(cd "$root" && bash scripts/install-deps.sh && bash scripts/build.sh >/dev/null)
binary=$root/build/trafficgen

# Draws the results file RESULTS into RESULTS with .png for .json, when matplotlib is installed.
demo_plot() {
    if /usr/bin/python3 -c 'import matplotlib' 2>/dev/null; then
        /usr/bin/python3 "$root/scripts/plot-results.py" "$1" "${1%.json}.png"
        echo "Plot: ${1%.json}.png"
    else
        echo "No plot: python3-matplotlib is not installed (apt-get install python3-matplotlib)."
    fi
}
