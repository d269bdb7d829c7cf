# The two set-up commands of the README:
#   make run   install what is missing, build, run the suite on the simulated card
#   make test  the same set-up, then every test
# ARGS is passed to the test program: make run ARGS="--list"
# make bench prints the speed figures of an optimised build (scripts/bench).

.PHONY: run test build build-run configure deps bench

# What the run needs: the program, its five runners, the profile reader and
# the reader of many runs' reports.
RUN_TARGETS := hardware_e2e zel-host-e2e zel-hardware-e2e zel-randomized-e2e zel-gemm-e2e \
	zel-attention-f16-e2e zel-profile zel-health

deps:
	@scripts/install-deps

configure: deps
	@cmake --preset debug >/dev/null

build: configure
	@cmake --build --preset debug

build-run: configure
	@cmake --build --preset debug --target $(RUN_TARGETS)

run: build-run
	target/debug/hardware_e2e $(ARGS)

test: build
	ctest --preset debug

bench: deps
	@scripts/bench
