// The cost of a sign-in's password check, side by side: a new Argon2id hash at libsodium's
// interactive limits (64 MiB, 2 passes) against the PBKDF2-HMAC-SHA-256 of the records from
// before at their 100 000 iterations; what sign-in throttling adds on an SQLite store (a failed
// attempt counted, and a refused one, which costs no hash at all), beside them; and the service
// description, written per request.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <memory>
#include <string>

#include "service/password_hash.h"
#include "service/service_store.h"
#include "service/wsdl.h"

namespace {

using namespace bf::service;

void BM_Argon2idHashInteractive(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(hash_password("correct horse battery staple"));
}
BENCHMARK(BM_Argon2idHashInteractive)->Unit(benchmark::kMillisecond);

void BM_Argon2idVerifyInteractive(benchmark::State& state) {
    const StoredPassword stored{*hash_password("correct horse battery staple"), "", 0};
    for (auto _ : state) benchmark::DoNotOptimize(verify_password(stored, "correct horse battery staple"));
}
BENCHMARK(BM_Argon2idVerifyInteractive)->Unit(benchmark::kMillisecond);

void BM_OldPbkdf2Verify100k(benchmark::State& state) {
    const std::string salt = "0123456789abcdef";
    const StoredPassword stored{to_hex(pbkdf2_hmac_sha256("correct horse battery staple", salt, 100000, 32)),
                                to_hex(salt), 100000};
    for (auto _ : state) benchmark::DoNotOptimize(verify_password(stored, "correct horse battery staple"));
}
BENCHMARK(BM_OldPbkdf2Verify100k)->Unit(benchmark::kMillisecond);

// A store in a directory of its own under /tmp, removed at the end.
struct BenchStore {
    BenchStore() {
        char tmpl[] = "/tmp/bf-bench-XXXXXX";
        if (mkdtemp(tmpl)) dir = tmpl;
        std::string error;
        store = bf::service::ServiceStore::open(dir + "/service.db", &error);
        if (store) store->createAccount("ann", "right", nullptr);
    }
    ~BenchStore() {
        store.reset();
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
    std::string dir;
    std::unique_ptr<bf::service::ServiceStore> store;
};

// An unknown name each time (no hash to check): the count, the look and the record of one failure.
void BM_SignInFailureCounted(benchmark::State& state) {
    BenchStore b;
    if (!b.store) return state.SkipWithError("cannot open the store");
    long long n = 0;
    for (auto _ : state)
        benchmark::DoNotOptimize(b.store->signIn("nobody" + std::to_string(n++), "x", "", nullptr));
}
BENCHMARK(BM_SignInFailureCounted)->Unit(benchmark::kMicrosecond);

// A throttled name: refused without its password being checked.
void BM_SignInRefusedByThrottle(benchmark::State& state) {
    BenchStore b;
    if (!b.store) return state.SkipWithError("cannot open the store");
    for (int i = 0; i < 5; ++i) b.store->signIn("ann", "wrong", "", nullptr);
    for (auto _ : state) {
        if (b.store->signIn("ann", "right", "", nullptr) != StoreResult::Throttled)
            return state.SkipWithError("not throttled");
    }
}
BENCHMARK(BM_SignInRefusedByThrottle)->Unit(benchmark::kMicrosecond);

void BM_WsdlDocument(benchmark::State& state) {
    const WsdlTables tables = service_wsdl_tables();
    std::string out, error;
    for (auto _ : state) {
        write_wsdl(tables, "http://127.0.0.1:8731/brackenfoldws/brackenfold.asmx", &out, &error);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(out.size()));
}
BENCHMARK(BM_WsdlDocument);

}  // namespace

BENCHMARK_MAIN();
