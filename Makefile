# Brackenfold: one entry point for set-up, builds and tests.
BUILD_DIR ?= build
ASAN_DIR  ?= build-asan
TSAN_DIR  ?= build-tsan
CMAKE     ?= cmake
JOBS      ?= $(shell nproc 2>/dev/null || echo 2)

# Debian packages the project builds, tests and runs with.
DEB_PACKAGES := build-essential cmake ninja-build pkg-config git \
	libexpat1-dev libpng-dev libjpeg62-turbo-dev libgif-dev libsqlite3-dev \
	libfreetype-dev fonts-dejavu-core libcurl4-openssl-dev libgumbo-dev \
	libmicrohttpd-dev nlohmann-json3-dev libcli11-dev \
	libgtest-dev libgmock-dev libbenchmark-dev \
	libsodium-dev libssl-dev python3-zeep \
	postfix postsrsd \
	postgresql libpq-dev wrk \
	chromium

CTEST_ARGS ?= --output-on-failure -j $(JOBS) --timeout 300

.PHONY: all deps build test asan tsan clean demo

all: build

deps:
	@missing=""; for p in $(DEB_PACKAGES); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q 'install ok installed' || missing="$$missing $$p"; \
	done; \
	if [ -z "$$missing" ]; then echo "deps: all packages present"; exit 0; fi; \
	if [ "$$(id -u)" != "0" ]; then \
	  echo "deps: missing packages; run as root:"; \
	  echo "  apt-get update && apt-get install -y$$missing"; exit 1; \
	fi; \
	echo "deps: installing$$missing"; \
	export DEBIAN_FRONTEND=noninteractive; \
	echo 'postfix postfix/main_mailer_type select No configuration' | debconf-set-selections; \
	apt-get install -y -q $$missing || { apt-get update -q && apt-get install -y -q $$missing; }

define configure
	@if [ ! -f $(1)/build.ninja ]; then \
	  $(CMAKE) -S . -B $(1) -G Ninja -DCMAKE_BUILD_TYPE=$(2) $(3); \
	fi
endef

build:
	$(call configure,$(BUILD_DIR),RelWithAssert,)
	$(CMAKE) --build $(BUILD_DIR) -j $(JOBS)

test: deps build
	cd $(BUILD_DIR) && ctest $(CTEST_ARGS)

asan: deps
	$(call configure,$(ASAN_DIR),Debug,-DBRACKENFOLD_SANITIZE=address)
	$(CMAKE) --build $(ASAN_DIR) -j $(JOBS)
	cd $(ASAN_DIR) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ctest $(CTEST_ARGS)

# This ThreadSanitizer cannot map its shadow memory at some randomised addresses (it fails now and
# then at start-up on kernels with many address bits), so its tests run without randomisation.
tsan: deps
	$(call configure,$(TSAN_DIR),Debug,-DBRACKENFOLD_SANITIZE=thread)
	$(CMAKE) --build $(TSAN_DIR) -j $(JOBS)
	cd $(TSAN_DIR) && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 setarch $$(uname -m) -R ctest $(CTEST_ARGS)

# The whole product at work: the service, the registered component and the browser host on a
# throw-away hive and store; snapshots of every step land in demo-out/.
demo: deps build
	$(BUILD_DIR)/bin/brackenfold demo

clean:
	rm -rf $(BUILD_DIR) $(ASAN_DIR) $(TSAN_DIR)

# libFuzzer targets (clang, AddressSanitizer and UBSan) in build-fuzz. Run one with its corpus:
#   build-fuzz/bin/fuzz_soap_response -max_total_time=600 NEW_INPUTS_DIR fuzz/corpus/fuzz_soap_response
FUZZ_DIR ?= build-fuzz
.PHONY: fuzz
fuzz:
	@$(MAKE) --no-print-directory deps DEB_PACKAGES="clang libclang-rt-14-dev"
	@if [ ! -f $(FUZZ_DIR)/build.ninja ]; then \
	  CC=clang CXX=clang++ $(CMAKE) -S . -B $(FUZZ_DIR) -G Ninja -DCMAKE_BUILD_TYPE=RelWithAssert \
	    -DBRACKENFOLD_SANITIZE=address -DBRACKENFOLD_FUZZ=ON; \
	fi
	$(CMAKE) --build $(FUZZ_DIR) -j $(JOBS) --target fuzz_soap_response fuzz_soap_fault http_client_fuzzer http_url_fuzzer \
	  soap_transport_fuzzer sax_text_runs_fuzzer registrar_script_fuzzer typelib_format_fuzzer service_request_fuzzer \
	  socketmap_fuzzer smtp_reply_fuzzer postfix_setup_fuzzer \
	  devtools_framer_fuzzer \
	  native_messaging_fuzzer
