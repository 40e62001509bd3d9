// bench_util.h - what every benchmark here shares: repetitions interleaved
// across contenders (a busy spell on the shared machine then weighs on all of
// them), medians of CPU time kept as they are reported, and result rows in the
// one table format that bench/all.sh gathers.
#ifndef BENCH_UTIL_H
#define BENCH_UTIL_H

#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

class median_reporter : public benchmark::ConsoleReporter {
public:
    std::map<std::string, double> median_cpu; // seconds, by benchmark name
    median_reporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_ColorTabular : OO_Tabular) {}
    void ReportRuns(const std::vector<Run> &runs) override
    {
        for (const Run &r : runs)
            if (r.run_type == Run::RT_Aggregate && r.aggregate_name == "median")
                median_cpu[r.run_name.function_name] =
                    r.GetAdjustedCPUTime() / benchmark::GetTimeUnitMultiplier(r.time_unit);
        ConsoleReporter::ReportRuns(runs);
    }
    double operator[](const std::string &name) const
    {
        const auto it = median_cpu.find(name);
        return it == median_cpu.end() ? 0.0 : it->second;
    }
};

// Runs every registered benchmark with interleaved repetitions (the command
// line can still override) and returns the medians.
inline void run_interleaved(int argc, char **argv, median_reporter &reporter, int repetitions = 11)
{
    std::vector<char *> args(argv, argv + argc);
    std::string reps = "--benchmark_repetitions=" + std::to_string(repetitions),
                interleave = "--benchmark_enable_random_interleaving=true",
                only = "--benchmark_report_aggregates_only=true";
    args.insert(args.begin() + 1, {reps.data(), interleave.data(), only.data()});
    int count = static_cast<int>(args.size());
    benchmark::Initialize(&count, args.data());
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
}

// One row of the project's performance table: our median against a baseline's
// from the same run (in seconds), and their ratio.
inline void table_row(const std::string &what, double ours, const std::string &baseline, double base)
{
    if (ours <= 0 || base <= 0)
        return;
    printf("| %s | %.3f ms | %s | %.3f ms | %.2f |\n", what.c_str(), ours * 1e3, baseline.c_str(), base * 1e3,
           ours / base);
}

// A loader as a caller meets it: a path in, a malloc'd buffer and its size out.
using file_decoder = uint32_t *(*)(const char *, uint32_t *, uint32_t *);

// True when fn decodes path to the expected pixels, each passed through
// `adjust` first when given (for decoders with another channel order).
inline bool decodes_to(file_decoder fn, const std::string &path, const uint32_t *expected, uint32_t width,
                       uint32_t height, uint32_t (*adjust)(uint32_t) = nullptr)
{
    uint32_t w = 0, h = 0;
    uint32_t *got = fn(path.c_str(), &w, &h);
    bool same = got && w == width && h == height;
    for (size_t i = 0; same && i < size_t(w) * h; ++i)
        same = (adjust ? adjust(got[i]) : got[i]) == expected[i];
    free(got);
    return same;
}

// Registers "name/label": fn loading path and releasing the pixels, repeatedly.
inline void register_decoder(const std::string &name, const std::string &label, file_decoder fn,
                             const std::string &path, int64_t pixels)
{
    benchmark::RegisterBenchmark((name + "/" + label).c_str(),
                                 [fn, path, pixels](benchmark::State &state) {
                                     for (auto _ : state) {
                                         uint32_t w, h;
                                         uint32_t *p = fn(path.c_str(), &w, &h);
                                         benchmark::DoNotOptimize(p);
                                         free(p);
                                     }
                                     state.SetItemsProcessed(state.iterations() * pixels);
                                 })
        ->Unit(benchmark::kMillisecond)
        ->MinTime(0.2);
}

#endif
