// Micro-benchmarks of librewrite, each beside its reference (OpenSSL's
// libcrypto) in the same run, followed by a table of ratios against the
// targets.
#include "librewrite.h"
#include "sha1.h"

#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/sha.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

std::vector<unsigned char> data_of(std::size_t n) {
    std::vector<unsigned char> v(n);
    for (std::size_t i = 0; i < n; ++i)
        v[i] = static_cast<unsigned char>(i * 131 + 7);
    return v;
}

// ---- SHA-1 ----------------------------------------------------------------

void Sha1_Ours(benchmark::State &state) {
    const auto data = data_of(static_cast<std::size_t>(state.range(0)));
    unsigned char out[20];
    for (auto _ : state) {
        mSHA1_ctx c;
        mSHA1_start(&c);
        mSHA1_process(&c, data.data(), static_cast<int32_t>(data.size()));
        mSHA1_end(&c, out);
        benchmark::DoNotOptimize(out);
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void Sha1_Portable(benchmark::State &state) {
    rewrite::sha1::force_compress(rewrite::sha1::compress_portable);
    Sha1_Ours(state);
    rewrite::sha1::force_compress(nullptr);
}

void Sha1_OpenSSL(benchmark::State &state) {
    const auto data = data_of(static_cast<std::size_t>(state.range(0)));
    unsigned char out[20];
    for (auto _ : state) {
        SHA1(data.data(), data.size(), out);
        benchmark::DoNotOptimize(out);
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

BENCHMARK(Sha1_Ours)->Arg(64)->Arg(1024)->Arg(16384);
BENCHMARK(Sha1_Portable)->Arg(16384);
BENCHMARK(Sha1_OpenSSL)->Arg(64)->Arg(1024)->Arg(16384);

// The yardstick of one forward rewrite: HMAC-SHA1 of a short message from
// scratch is four compressions (key block, message block, key block, inner
// digest block); from the handle's keyed states only the second and the
// fourth remain. Four of OpenSSL's SHA1_Transform, and four of ours.
void Floor_FourCompressions_OpenSSL(benchmark::State &state) {
    const auto block = data_of(64);
    SHA_CTX c;
    SHA1_Init(&c);
    for (auto _ : state) {
        for (int i = 0; i < 4; ++i)
            SHA1_Transform(&c, block.data());
        benchmark::DoNotOptimize(c);
    }
}

void Floor_FourCompressions_Ours(benchmark::State &state) {
    const auto block = data_of(64);
    std::array<std::uint32_t, 5> chain = rewrite::sha1::initial_state;
    for (auto _ : state) {
        for (int i = 0; i < 4; ++i)
            rewrite::sha1::compress(chain, block.data(), 1);
        benchmark::DoNotOptimize(chain);
    }
}
BENCHMARK(Floor_FourCompressions_OpenSSL);
BENCHMARK(Floor_FourCompressions_Ours);

// ---- HMAC -----------------------------------------------------------------

const std::string key = "a forwarder's secret";
const std::string message48 = "J5example.orgalice.liddell+mailinglists-2026xyz"; // 48 bytes

void Hmac_Ours(benchmark::State &state) {
    unsigned char out[20];
    for (auto _ : state) {
        mHMAC_ctx c;
        mHMAC_start(&c, &mHMACD_SHA1, key.data(), static_cast<int32_t>(key.size()));
        mHMAC_process(&c, message48.data(), static_cast<int32_t>(message48.size()));
        mHMAC_end(&c, out);
        benchmark::DoNotOptimize(out);
    }
}

void Hmac_OpenSSL(benchmark::State &state) {
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    for (auto _ : state) {
        HMAC(EVP_sha1(), key.data(), static_cast<int>(key.size()),
             reinterpret_cast<const unsigned char *>(message48.data()), message48.size(), out,
             &len);
        benchmark::DoNotOptimize(out);
    }
}
BENCHMARK(Hmac_Ours);
BENCHMARK(Hmac_OpenSSL);

// ---- Rewriting ------------------------------------------------------------

const char *const sender = "alice.liddell@example.org";
const char *const alias = "forwarder.example";

srs_handle *open_handle(int further_secrets) {
    srs_handle *h = srs_open(key.data(), static_cast<uint32_t>(key.size()), 0, 0, 0);
    for (int i = 0; i < further_secrets; ++i) {
        const std::string s = "older secret " + std::to_string(i);
        srs_add_secret(h, s.data(), static_cast<uint32_t>(s.size()));
    }
    return h;
}

void Forward_Plain(benchmark::State &state) {
    srs_handle *h = open_handle(0);
    std::array<char, 256> out;
    for (auto _ : state) {
        benchmark::DoNotOptimize(srs_forward(h, sender, alias, out.data(), out.size()));
    }
    srs_close(h);
}

// OpenSSL's one-shot HMAC over the same hash input as Forward_Plain
// ("j5example.orgalice.liddell").
void Forward_HashInput_OpenSSL(benchmark::State &state) {
    const std::string input = "j5example.orgalice.liddell";
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    for (auto _ : state) {
        HMAC(EVP_sha1(), key.data(), static_cast<int>(key.size()),
             reinterpret_cast<const unsigned char *>(input.data()), input.size(), out, &len);
        benchmark::DoNotOptimize(out);
    }
}

void Forward_Srs0ToSrs1(benchmark::State &state) {
    srs_handle *h = open_handle(0);
    std::array<char, 256> out;
    const char *srs0 = "SRS0=abcdef=J5=example.org=alice.liddell@hop1.example";
    for (auto _ : state) {
        benchmark::DoNotOptimize(srs_forward(h, srs0, alias, out.data(), out.size()));
    }
    srs_close(h);
}

void Reverse_Valid(benchmark::State &state) {
    srs_handle *h = open_handle(0);
    std::array<char, 256> fwd, out;
    srs_forward(h, sender, alias, fwd.data(), fwd.size());
    for (auto _ : state) {
        benchmark::DoNotOptimize(srs_reverse(h, fwd.data(), out.data(), out.size()));
    }
    srs_close(h);
}

// A forged address: every secret of the handle is tried.
void Reverse_Forged(benchmark::State &state) {
    srs_handle *h = open_handle(static_cast<int>(state.range(0)) - 1);
    std::array<char, 256> fwd, out;
    srs_forward(h, sender, alias, fwd.data(), fwd.size());
    fwd[5] = fwd[5] == 'A' ? 'B' : 'A';
    for (auto _ : state) {
        benchmark::DoNotOptimize(srs_reverse(h, fwd.data(), out.data(), out.size()));
    }
    srs_close(h);
}

// The same against 16 secrets that were all changed in place after they
// were added: each reverse computes their key states on the stack.
void Reverse_Forged_ChangedInPlace(benchmark::State &state) {
    srs_handle *h = open_handle(static_cast<int>(state.range(0)) - 1);
    std::array<char, 256> fwd, out;
    srs_forward(h, sender, alias, fwd.data(), fwd.size());
    fwd[5] = fwd[5] == 'A' ? 'B' : 'A';
    h->secret[0] = 'A';
    for (int i = 0; i < h->secret_count; ++i)
        h->secrets[i].secret[0] = 'O';
    for (auto _ : state) {
        benchmark::DoNotOptimize(srs_reverse(h, fwd.data(), out.data(), out.size()));
    }
    srs_close(h);
}

void UniqueId(benchmark::State &state) {
    srs_handle *h = open_handle(0);
    std::array<char, 64> out;
    for (auto _ : state) {
        benchmark::DoNotOptimize(srs_generate_unique_id(h, sender, out.data(), out.size()));
    }
    srs_close(h);
}

BENCHMARK(Forward_Plain);
BENCHMARK(Forward_HashInput_OpenSSL);
BENCHMARK(Forward_Srs0ToSrs1);
BENCHMARK(Reverse_Valid);
BENCHMARK(Reverse_Forged)->Arg(1)->Arg(4)->Arg(16);
BENCHMARK(Reverse_Forged_ChangedInPlace)->Arg(16);
BENCHMARK(UniqueId);

// Records every benchmark's CPU time per iteration (ns) while printing as
// usual: the median when repetitions are asked for, else the single run.
// CPU time rather than wall-clock time: the machine is shared, and time the
// thread spends waiting for the core is no cost of the call measured.
class Recorder : public benchmark::ConsoleReporter {
  public:
    Recorder() : ConsoleReporter(OO_None) {}
    void ReportRuns(const std::vector<Run> &runs) override {
        for (const Run &r : runs) {
            std::string name = r.run_name.function_name;
            if (!r.run_name.args.empty()) name += "/" + r.run_name.args;
            if (r.run_type == Run::RT_Iteration && !medians.contains(name))
                ns[name] = r.GetAdjustedCPUTime();
            if (r.run_type == Run::RT_Aggregate && r.aggregate_name == "median") {
                ns[name] = r.GetAdjustedCPUTime();
                medians.insert(name);
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
    std::set<std::string> medians;
    std::map<std::string, double> ns;
};

struct Ratio {
    const char *what;
    const char *numerator;
    const char *denominator;
    const char *target;
    bool (*met)(double);
};

} // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    Recorder recorder;
    benchmark::RunSpecifiedBenchmarks(&recorder);
    benchmark::Shutdown();

    std::printf("\nSHA-1 compression in use: %s\n",
                rewrite::sha1::active_compress() == rewrite::sha1::compress_shani
                    ? "x86 SHA extensions"
                    : "portable");
    const Ratio ratios[] = {
        {"SHA-1 16 KiB throughput, ours / OpenSSL", "Sha1_OpenSSL/16384", "Sha1_Ours/16384",
         ">= 0.9", [](double r) { return r >= 0.9; }},
        {"SHA-1 1 KiB throughput, ours / OpenSSL", "Sha1_OpenSSL/1024", "Sha1_Ours/1024", "-",
         nullptr},
        {"SHA-1 64 B throughput, ours / OpenSSL", "Sha1_OpenSSL/64", "Sha1_Ours/64", "-", nullptr},
        {"SHA-1 16 KiB, portable / OpenSSL", "Sha1_OpenSSL/16384", "Sha1_Portable/16384", "-",
         nullptr},
        {"HMAC-SHA1 48 B time, ours / OpenSSL HMAC()", "Hmac_Ours", "Hmac_OpenSSL", "-", nullptr},
        {"forward plain / four OpenSSL SHA1_Transform", "Forward_Plain",
         "Floor_FourCompressions_OpenSSL", "<= 1.0", [](double r) { return r <= 1.0; }},
        {"forward plain / four of our compressions", "Forward_Plain", "Floor_FourCompressions_Ours",
         "-", nullptr},
        {"forward plain / OpenSSL HMAC() of its input", "Forward_Plain",
         "Forward_HashInput_OpenSSL", "<= 0.3", [](double r) { return r <= 0.3; }},
        {"forward SRS0->SRS1 / forward plain", "Forward_Srs0ToSrs1", "Forward_Plain", "-", nullptr},
        {"reverse (first secret) / forward plain", "Reverse_Valid", "Forward_Plain", "<= 1.2",
         [](double r) { return r <= 1.2; }},
        {"reverse forged, 1 secret / forward plain", "Reverse_Forged/1", "Forward_Plain", "~1",
         nullptr},
        {"reverse forged, 4 secrets / 1 secret", "Reverse_Forged/4", "Reverse_Forged/1", "<= 4.4",
         [](double r) { return r <= 4.4; }},
        {"reverse forged, 16 secrets / 1 secret", "Reverse_Forged/16", "Reverse_Forged/1",
         "<= 17.6", [](double r) { return r <= 17.6; }},
        {"reverse forged, 16 secrets / four OpenSSL SHA1_Transform", "Reverse_Forged/16",
         "Floor_FourCompressions_OpenSSL", "<= 11", [](double r) { return r <= 11.0; }},
        {"reverse forged, 16 secrets changed in place / stored", "Reverse_Forged_ChangedInPlace/16",
         "Reverse_Forged/16", "-", nullptr},
        {"unique id / forward plain", "UniqueId", "Forward_Plain", "-", nullptr},
    };
    std::printf("\n| Ratio | Value | Target | Met |\n|---|---|---|---|\n");
    for (const Ratio &r : ratios) {
        const auto a = recorder.ns.find(r.numerator), b = recorder.ns.find(r.denominator);
        if (a == recorder.ns.end() || b == recorder.ns.end() || b->second == 0) continue;
        const double value = a->second / b->second;
        std::printf("| %s | %.2f | %s | %s |\n", r.what, value, r.target,
                    r.met == nullptr ? "-"
                    : r.met(value)   ? "yes"
                                     : "NO");
    }
    return 0;
}
