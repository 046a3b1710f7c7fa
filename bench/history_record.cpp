// What recording one run costs: its start and its end with one image, in a
// full history (10,000 runs, so every run also prunes the oldest), on the
// disk of --work (default /var/tmp). The run itself does nothing.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "scheduler/run_record.h"

namespace fs = std::filesystem;

namespace {

std::string folder() {
    const char* work = std::getenv("PICSIFTER_BENCH_WORK");
    static const fs::path made = fs::path(work ? work : "/var/tmp") /
                                 ("picsifter-bench-history-" + std::to_string(::getpid()));
    fs::create_directories(made);
    return made.string() + "/";
}

psf::RunSummary one_image(const psf::m_psf::StoredLookup& = {}) {
    psf::RunSummary s;
    s.pages_read = s.images_found = s.images_copied = 1;
    s.written = {{"http://127.0.0.1/a.jpg", "/tmp/a.jpg", 10000, "", "\"e\""}};
    return s;
}

void RecordOneRun(benchmark::State& state) {
    const bool on = state.range(0) != 0;
    const std::string dir = folder();
    psf::RunSpec spec;
    spec.title = "Gallery";
    spec.start_address = "http://127.0.0.1/";
    const psf::SystemClock clock;
    std::string said;
    {
        // Filled once: 10,000 runs.
        psf::RunRecorder fill(dir, [&](const std::string& w) { said = w; });
        for (int i = 0; i < psf::HistoryRuns; ++i)
            fill.record(spec, psf::StartedBy::Due, clock, one_image);
    }
    for (auto _ : state) {
        // A new recorder each time, as each command of the runner makes one.
        psf::RunRecorder recorder(on ? dir : std::string(), {});
        const psf::RunSummary s =
            on ? recorder.record(spec, psf::StartedBy::Due, clock, one_image) : one_image();
        benchmark::DoNotOptimize(s);
    }
    if (!said.empty()) state.SkipWithError(said.c_str());
    fs::remove_all(dir);
}
BENCHMARK(RecordOneRun)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond)->Iterations(200);

}  // namespace

BENCHMARK_MAIN();
