// Every parameter set an optimiser evaluated, with its metric triple, in evaluation order. Kept only for
// callers that ask: an optimiser without a log pays one null test per evaluation.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "calibration/problem.hpp"

namespace vardex::calibration {

struct SampleLog {
    std::vector<double> params;   // row-major, one row per evaluation
    std::vector<double> triples;  // rmse, nse, kge of each evaluation, row-major

    void add(std::span<const double> row, const Triple& triple) {
        params.insert(params.end(), row.begin(), row.end());
        triples.insert(triples.end(), triple.begin(), triple.end());
    }
    std::size_t rows() const { return triples.size() / 3; }
    // Where the log stands, and going back there (what a failed call had added).
    struct Mark {
        std::size_t params = 0, triples = 0;
    };
    Mark mark() const { return {params.size(), triples.size()}; }
    void rollback(Mark m) {
        params.resize(m.params);
        triples.resize(m.triples);
    }
};

}  // namespace vardex::calibration
