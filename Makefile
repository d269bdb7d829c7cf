# The two set-up commands of the README:
#   make run   install what is missing, build, run the suite on the simulated card
#   make test  the same set-up, then every test
# ARGS is passed to the test program: make run ARGS="--list"
# make bench prints the speed figures of an optimised build (scripts/bench).

.PHONY: run test build configure deps bench

deps:
	@scripts/install-deps

configure: deps
	@cmake --preset debug >/dev/null

build: configure
	@cmake --build --preset debug

run: build
	target/debug/hardware_e2e $(ARGS)

test: build
	ctest --preset debug

bench: deps
	@scripts/bench
