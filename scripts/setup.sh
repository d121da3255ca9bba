#!/usr/bin/env bash
# Installs what the build and the tests need on a fresh machine (Debian with
# the CUDA toolkit): Debian packages, then the pinned PyPI wheels that carry
# the CUTLASS/CuTe headers and cuobjdump, unpacked under .deps/.
set -euo pipefail
cd "$(dirname "$0")/.."

CUTLASS_VERSION=4.2.0.0          # nvidia-cutlass: CUTLASS/CuTe C++ headers
CUOBJDUMP_VERSION=13.2.86        # nvidia-cuda-cuobjdump: same major version as nvcc 13
NVDISASM_VERSION=13.2.86         # nvidia-cuda-nvdisasm: what cuobjdump -sass runs
NVML_VERSION=13.0.87             # nvidia-nvml-dev: nvml.h (qkmine loads the driver's NVML at run time)

apt_packages=(cmake g++ make libgtest-dev b3sum ccache binutils pkg-config clang-14 libclang-rt-14-dev qemu-user)
# Pool mining: Asio and OpenSSL for the stratum client's TCP and TLS, nlohmann-json
# for its messages; python3 and the openssl CLI for the test pool and its CA.
apt_packages+=(libasio-dev libssl-dev nlohmann-json3-dev python3 openssl)
# qkmine: options, JSON, its monitoring endpoint, the benchmark plot (README: Dependencies).
apt_packages+=(libcli11-dev libcpp-httplib-dev python3-matplotlib)
missing=()
for p in "${apt_packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi

command -v nvcc >/dev/null || { echo "setup: nvcc not found; install the CUDA toolkit" >&2; exit 1; }

stamp=.deps/python/.versions
want="cutlass=$CUTLASS_VERSION cuobjdump=$CUOBJDUMP_VERSION"
if [[ ! -f $stamp || $(cat "$stamp") != "$want" ]]; then
  echo "setup: installing nvidia-cutlass==$CUTLASS_VERSION nvidia-cuda-cuobjdump==$CUOBJDUMP_VERSION"
  rm -rf .deps/python
  python3 -m pip install --quiet --disable-pip-version-check --root-user-action=ignore --no-deps --target .deps/python \
    "nvidia-cutlass==$CUTLASS_VERSION" "nvidia-cuda-cuobjdump==$CUOBJDUMP_VERSION"
  echo "$want" >"$stamp"
fi
test -f .deps/python/cutlass_library/source/include/cute/tensor.hpp
test -x .deps/python/nvidia/cu13/bin/cuobjdump
# The SASS disassembler, in its own folder so adding it leaves the rest alone.
if [[ ! -x .deps/nvdisasm/nvidia/cu13/bin/nvdisasm ]]; then
  echo "setup: installing nvidia-cuda-nvdisasm==$NVDISASM_VERSION"
  python3 -m pip install --quiet --disable-pip-version-check --root-user-action=ignore --no-deps \
    --target .deps/nvdisasm "nvidia-cuda-nvdisasm==$NVDISASM_VERSION"
fi
test -x .deps/nvdisasm/nvidia/cu13/bin/nvdisasm
# NVML's header, in its own folder too; the library itself comes with the driver.
if [[ ! -f .deps/nvml/.version || $(cat .deps/nvml/.version) != "$NVML_VERSION" ]]; then
  echo "setup: installing nvidia-nvml-dev==$NVML_VERSION"
  rm -rf .deps/nvml
  python3 -m pip install --quiet --disable-pip-version-check --root-user-action=ignore --no-deps \
    --target .deps/nvml "nvidia-nvml-dev==$NVML_VERSION"
  echo "$NVML_VERSION" >.deps/nvml/.version
fi
test -f .deps/nvml/nvidia/cu13/include/nvml.h
echo "setup: done"
