// bench_main.cpp - entry point of the KRMM benchmarks.
//
// One extra thread is created and joined before anything is measured: until a
// process has had a second thread, glibc's allocator takes single-thread
// shortcuts (no atomic operations on its arenas) that no real host of the
// library would see, and the raw-heap references would look faster than they are.
#include <thread>

#include <benchmark/benchmark.h>

int main(int argc, char** argv) {
    std::thread([] {}).join();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
