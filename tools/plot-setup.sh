# Sourced by the plot scripts: checks that the measuring tool is built and
# that gnuplot is there (installs gnuplot-nox when missing, as root).
#   plot_setup <script name> <tool path> <build target>
plot_setup() {
  if [ ! -x "$2" ]; then
    echo "$1: $2 not found; build the $3 target first" >&2
    exit 1
  fi
  if ! command -v gnuplot >/dev/null 2>&1; then
    if [ "$(id -u)" -ne 0 ]; then
      echo "$1: gnuplot is missing; run as root to install gnuplot-nox" >&2
      exit 1
    fi
    apt-get install -y gnuplot-nox >/dev/null
  fi
}
