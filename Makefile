# make         configure and build everything into build/bin
# make test    build and run every test (unit tests and tests that run the programs) but the
#              scenario suite
# make fresh-clock-test   the unit tests again in a time namespace whose clock reads 30 s, as
#              on a machine booted a moment ago
# make asan-test   the same under AddressSanitizer and UndefinedBehaviorSanitizer (build-asan/)
# make scenarios   the scenario suite: swarms through netsim, each printing its time
# make demo    run a real swarm transfer on generated data (DEMO_ARGS="--file PATH": your own file)
# make fuzz    build the libFuzzer targets with clang (build-fuzz/) and run each FUZZ_SECONDS
BUILD ?= build
ASAN_BUILD ?= build-asan
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 60
JOBS ?= 2
CMAKE_FLAGS ?=

.PHONY: all build test fresh-clock-test asan-test scenarios fuzz demo deps clean

all: build

deps:
	@bash scripts/install-deps.sh

build: deps
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS) -LE scenario

fresh-clock-test: build
	JOBS=$(JOBS) bash scripts/fresh-clock-tests.sh $(BUILD)

asan-test: deps
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DP2P_SANITIZE=ON $(CMAKE_FLAGS)
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && ctest --output-on-failure -j $(JOBS) -LE 'slow|scenario'

scenarios: build
	cd $(BUILD) && { ctest --output-on-failure -j $(JOBS) -L scenario; status=$$?; \
	  grep -hE '^scenario [^ ]+: [0-9.]+ s$$' Testing/Temporary/LastTest.log; exit $$status; }

fuzz:
	@bash scripts/install-deps.sh --fuzz
	cmake -S . -B $(FUZZ_BUILD) -DCMAKE_CXX_COMPILER=clang++ -DP2P_FUZZ=ON $(CMAKE_FLAGS)
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target fuzz_targets
	bash fuzz/run.sh $(FUZZ_BUILD) $(FUZZ_SECONDS)

demo: build
	python3 -m demo.demo --bin $(BUILD)/bin $(DEMO_ARGS)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD)
