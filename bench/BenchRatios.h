#pragma once

// A console reporter that, after the usual table, prints every figure next to
// its reference: the median of each over all repetitions of this run, and the
// ratio of those two medians (not the median of per-repetition ratios, which
// pairs up unrelated noise).
//
// A value is either a benchmark's real time per iteration, in seconds (counter
// left empty), or one of its counters. Benchmarks are named as in the table
// without the suffixes for iterations, repetitions and time type, e.g.
// "BM_Nacti/lines:10000".

#include <algorithm>
#include <benchmark/benchmark.h>
#include <cstdio>
#include <map>
#include <string>
#include <unistd.h>
#include <utility>
#include <vector>

class TRatioReporter : public benchmark::ConsoleReporter {
public:
    // Colours only on a terminal, so that a saved run reads as plain text.
    TRatioReporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_Defaults : OO_Tabular) {}

    struct TValue {
        std::string Benchmark;
        std::string Counter; // empty: real time per iteration, in seconds
    };

    // Adds a line "<title>: figure <median> | reference <median> | ratio <r>".
    // `scale` multiplies the ratio, e.g. 1/N for a per-item cost of N items.
    void Compare(std::string title, TValue figure, TValue reference, double scale = 1) {
        FLines.push_back({std::move(title), std::move(figure), std::move(reference), scale});
    }

    void ReportRuns(const std::vector<Run>& runs) override {
        benchmark::ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.run_type != Run::RT_Iteration || run.error_occurred || run.iterations == 0)
                continue;
            std::string name = run.run_name.function_name;
            if (!run.run_name.args.empty())
                name += "/" + run.run_name.args;
            FSamples[{name, ""}].push_back(run.real_accumulated_time /
                                           static_cast<double>(run.iterations));
            for (const auto& [counter, value] : run.counters)
                FSamples[{name, counter}].push_back(value.value);
        }
    }

    void Finalize() override {
        benchmark::ConsoleReporter::Finalize();
        if (FLines.empty())
            return;
        std::printf("\nEach figure beside its reference: medians over the repetitions, and the "
                    "ratio of the medians.\n");
        for (const TLine& line : FLines) {
            const double figure = Median(line.Figure);
            const double reference = Median(line.Reference);
            std::printf("%-66s %11.4g | ref %11.4g | ratio %8.3f\n", line.Title.c_str(), figure,
                        reference, reference == 0 ? 0.0 : figure / reference * line.Scale);
        }
        std::fflush(stdout);
    }

private:
    struct TLine {
        std::string Title;
        TValue Figure;
        TValue Reference;
        double Scale;
    };

    double Median(const TValue& value) const {
        const auto found = FSamples.find({value.Benchmark, value.Counter});
        if (found == FSamples.end() || found->second.empty())
            return 0;
        std::vector<double> samples = found->second;
        const auto middle = samples.begin() + static_cast<std::ptrdiff_t>(samples.size() / 2);
        std::nth_element(samples.begin(), middle, samples.end());
        if (samples.size() % 2 == 1)
            return *middle;
        return (*middle + *std::max_element(samples.begin(), middle)) / 2;
    }

    std::vector<TLine> FLines;
    std::map<std::pair<std::string, std::string>, std::vector<double>> FSamples;
};

// The usual benchmark main, with the comparisons set up by `compare`.
template <typename Compare> int RunBenchmarksWithRatios(int argc, char** argv, Compare compare) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    TRatioReporter reporter;
    compare(reporter);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
