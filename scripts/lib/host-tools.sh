# Building what the demos and browser tests run (sourced).
#
# build_host_tools: builds the keyloom tool, the module and testca in
# build/. A first configure leaves tests and benchmarks out (the test
# command's own configure turns them back on). Returns non-zero on failure.
build_host_tools() {
  if [ -f build/CMakeCache.txt ]; then
    cmake --preset default >/dev/null || return 1
  else
    cmake --preset default -DKEYLOOM_TESTS=OFF -DKEYLOOM_BENCH=OFF >/dev/null || return 1
  fi
  cmake --build --preset default -j2 --target keyloom_cli keyloom_module testca >/dev/null
}
