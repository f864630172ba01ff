#!/bin/sh
# Installs the build and test dependencies that are missing (Debian).
set -eu
missing=""
command -v cmake >/dev/null 2>&1 || missing="$missing cmake"
command -v ninja >/dev/null 2>&1 || missing="$missing ninja-build"
command -v g++ >/dev/null 2>&1 || missing="$missing g++"
[ -f /usr/include/gtest/gtest.h ] || missing="$missing libgtest-dev"
[ -f /usr/include/benchmark/benchmark.h ] || missing="$missing libbenchmark-dev"
if [ -n "$missing" ]; then
  if [ "$(id -u)" = 0 ]; then sudo=""; else sudo="sudo"; fi
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq $missing
fi
