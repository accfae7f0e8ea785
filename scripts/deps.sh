# Debian 12 packages the project needs to build, test and run. Sourced by the
# run and test scripts.
QUILLMAR_PACKAGES=(
  build-essential cmake ninja-build pkg-config clang libclang-rt-14-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  zlib1g-dev libisal-dev libdeflate-dev libicu-dev
  qt6-base-dev qt6-base-dev-tools libgl-dev
  fp-utils
  pst-utils pff-tools python3 python3-pypff
  xvfb xauth xdotool imagemagick fonts-dejavu-core time
  parallel
)

quillmar_install_packages() {
  if [ "$(id -u)" -ne 0 ]; then
    echo "Run as root to install packages (or install them yourself): ${QUILLMAR_PACKAGES[*]}" >&2
    return 0
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${QUILLMAR_PACKAGES[@]}" >/dev/null
}
