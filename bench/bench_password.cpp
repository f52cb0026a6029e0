// The cost of a sign-in's password check, side by side: a new Argon2id hash at libsodium's
// interactive limits (64 MiB, 2 passes) against the PBKDF2-HMAC-SHA-256 of the records from
// before at their 100 000 iterations; and the service description, written per request.
#include <benchmark/benchmark.h>

#include "service/password_hash.h"
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
